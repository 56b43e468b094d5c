#pragma once

#include "testkit/tempdir.hpp"

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testkit
{

// A child process: fork and exec with stdin on /dev/null and stdout/stderr
// captured to files. The child gets SIGKILL if the thread that started it
// dies, so nothing outlives a crashed test. Exit statuses are the exit code,
// or 128 + the signal number when a signal ended the process.
class Process
{
  public:
    struct Options
    {
        std::vector<std::string> argv; // argv[0] is looked up on PATH
        std::map<std::string, std::string> env = {}; // added or replaced
        std::vector<std::string> pathPrepend = {};   // put first on PATH
    };

    // Throws std::system_error when the program cannot be executed.
    explicit Process(Options options);
    // Terminates a still running child.
    ~Process();

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const
    {
        return childPid;
    }

    // Waits until the name has an owner on the system bus
    // (DBUS_SYSTEM_BUS_ADDRESS). False if the process exited first or the
    // deadline passed.
    bool waitForBusName(
        const std::string& name,
        std::chrono::milliseconds deadline = std::chrono::seconds(10));

    // The exit status, or nullopt when still running at the deadline.
    std::optional<int>
        waitExit(std::chrono::milliseconds deadline = std::chrono::seconds(10));

    bool running();

    // SIGTERM, then SIGKILL if still running after grace; returns the exit
    // status (also when the child had already ended).
    int terminate(std::chrono::milliseconds grace = std::chrono::seconds(10));

    // Sends a signal to a running child.
    void kill(int signal);

    // Everything written so far.
    std::string out() const;
    std::string err() const;

    // Waits until the needle appears on stdout (or stderr).
    bool waitForOutput(
        const std::string& needle, bool fromStderr = false,
        std::chrono::milliseconds deadline = std::chrono::seconds(10));

  private:
    bool reap(bool block);

    TempDir dir;
    pid_t childPid = -1;
    std::optional<int> status;
};

} // namespace testkit
