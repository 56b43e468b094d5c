// Starting outside programs without a shell.
#pragma once

#include <string>
#include <vector>

namespace kn
{

// Status of a program that could not be started, as a shell reports it.
constexpr int spawnNotStarted = 127 << 8;

// Runs argv[0], found on PATH, with the arguments given and waits for it.
// With output, what it printed on standard output is captured there (at
// most outputLimit bytes; the rest is read and dropped). Returns the wait
// status as system() gives it, spawnNotStarted when nothing started.
int spawnWait(const std::vector<std::string>& argv,
              std::string* output = nullptr, size_t outputLimit = 4096);

} // namespace kn
