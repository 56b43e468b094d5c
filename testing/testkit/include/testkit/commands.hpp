#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace testkit
{

struct CommandResult
{
    // Exit status (128 + signal when killed), or -1 when the deadline
    // passed and the command was terminated.
    int status;
    std::string out;
    std::string err;
};

// Runs a command (argv[0] looked up on PATH) to its end.
CommandResult
    run(const std::vector<std::string>& argv,
        std::chrono::milliseconds deadline = std::chrono::seconds(20));

// The real busctl on the system bus that DBUS_SYSTEM_BUS_ADDRESS names:
// busctl --system ARGS...
CommandResult busctl(const std::vector<std::string>& args);

} // namespace testkit
