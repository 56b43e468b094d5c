#pragma once

#include <chrono>
#include <iostream>
#include <string>
#include <vector>

namespace events
{

/** Size of the buffer a command line is formatted into: a longer line is
 *  cut to commandBufferSize - 1 characters. */
inline constexpr std::size_t commandBufferSize = 1024;

/** `text` as one shell word inside double quotes. Only the characters the
 *  shell still interprets there ($, `, " and \) get a backslash, so the
 *  program run receives `text` unchanged and ordinary text reads as
 *  "text". */
std::string doubleQuoted(const std::string& text);

/** `text` as one bare shell word: unchanged when it holds only characters
 *  that mean nothing to the shell (letters, digits and _ . / : = , + @ % -),
 *  otherwise (and when empty) enclosed in single quotes, so the program run
 *  receives it unchanged as one argument. */
std::string shellWord(const std::string& text);

/** How long a command line may run before it is given up: a little past
 *  the 2 s that busctl's --timeout=2 waits, so that busctl's own failure
 *  is the one reported when it gives up first. */
inline constexpr std::chrono::milliseconds commandTimeout{3000};

/** Runs `command` with /bin/sh -c in a process group of its own and waits
 *  for it at most `timeout`: a line still running then has its whole group
 *  killed (SIGKILL) and reaped, and the status returned is that of the
 *  killed shell. Otherwise returns the wait status as system() does (-1
 *  when no process could be started). Safe to call from any thread. */
int boundedSystem(const char* command,
                  std::chrono::milliseconds timeout = commandTimeout);

/** Runs one command line with boundedSystem(), cut to the buffer size first. A
 *  status other than 0 writes "Failed to exec. Return code: <status>, cmd:
 *  <line>" on `err`. Returns the raw wait status. */
int runCommand(const std::string& command, std::ostream& err = std::cerr);

/** Runs the lines in order; a failing one is reported and the next one
 *  still runs. */
void runCommands(const std::vector<std::string>& commands,
                 std::ostream& err = std::cerr);

} // namespace events
