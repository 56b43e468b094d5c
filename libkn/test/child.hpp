// Forked children for the tests that need a second process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kntest
{

// Runs body in a forked child, which exits with body's result (an escaping
// exception or a failed gtest assertion in the child does not reach the
// parent's test: check the status instead).
pid_t forkChild(const std::function<int()>& body);

// Runs a program of the project in a forked child (under the emulator of a
// cross build), argv[0] being the name it sees; prepare runs in the child
// just before.
pid_t forkProgram(const std::string& program,
                  const std::vector<std::string>& argv,
                  const std::function<void()>& prepare = {});

// The child's exit status (128 + signal when killed); nullopt when it is
// still running at the deadline, in which case it is killed and reaped.
std::optional<int>
    waitChild(pid_t pid,
              std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Waits until the process sleeps in the kernel or has ended.
bool waitSleeping(
    pid_t pid, std::chrono::milliseconds deadline = std::chrono::seconds(20));

// A pipe to line up processes: each child blocks in wait() until the
// parent calls open() (or the pipe is closed).
class Gate
{
  public:
    Gate();
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // In a child: waits for the gate to open.
    void wait();
    // In the parent: lets every waiting child through.
    void open();

  private:
    int fds[2];
};

} // namespace kntest
