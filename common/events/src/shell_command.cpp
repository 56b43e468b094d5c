#include "events/shell_command.hpp"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <thread>

extern char** environ;

namespace events
{

std::string doubleQuoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text)
    {
        if (c == '$' || c == '`' || c == '"' || c == '\\')
        {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string shellWord(const std::string& text)
{
    constexpr std::string_view plain = "abcdefghijklmnopqrstuvwxyz"
                                       "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                       "0123456789_./:=,+@%-";
    if (!text.empty() && text.find_first_not_of(plain) == std::string::npos)
    {
        return text;
    }
    std::string out = "'";
    for (char c : text)
    {
        if (c == '\'')
        {
            out += "'\\''";
        }
        else
        {
            out += c;
        }
    }
    return out + "'";
}

namespace
{

using Clock = std::chrono::steady_clock;

/** Reaps `pid` if it has ended; false while it still runs. */
bool reaped(pid_t pid, int& status)
{
    pid_t r = 0;
    do
    {
        r = ::waitpid(pid, &status, WNOHANG);
    } while (r < 0 && errno == EINTR);
    // An error (the child reaped elsewhere) ends the wait too.
    return r != 0;
}

/** Waits for `pid` to end until `deadline` through a pidfd. Returns false
 *  when the kernel (or an emulator) offers no pidfd. */
bool waitWithPidfd(pid_t pid, Clock::time_point deadline, int& status,
                   bool& ended)
{
#ifdef SYS_pidfd_open
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
    {
        return false;
    }
    ended = false;
    while (!ended)
    {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 Clock::now());
        if (left.count() <= 0)
        {
            ended = reaped(pid, status);
            break;
        }
        pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno != EINTR)
        {
            ::close(fd);
            return false;
        }
        if (r > 0)
        {
            ended = reaped(pid, status);
        }
    }
    ::close(fd);
    return true;
#else
    (void)pid;
    (void)deadline;
    (void)status;
    (void)ended;
    return false;
#endif
}

/** Waits for `pid` to end until `deadline` by asking in short steps. */
bool waitByPolling(pid_t pid, Clock::time_point deadline, int& status)
{
    using namespace std::chrono_literals;
    while (!reaped(pid, status))
    {
        if (Clock::now() >= deadline)
        {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

} // namespace

int boundedSystem(const char* command, std::chrono::milliseconds timeout)
{
    // Everything the child needs is made before fork: between fork and exec
    // a multi-threaded process may only make async-signal-safe calls.
    char shell[] = "/bin/sh";
    char name[] = "sh";
    char flag[] = "-c";
    std::string line = command;
    char* argv[] = {name, flag, line.data(), nullptr};

    pid_t pid = ::fork();
    if (pid < 0)
    {
        return -1;
    }
    if (pid == 0)
    {
        ::setpgid(0, 0);
        ::execve(shell, argv, environ);
        ::_exit(127);
    }
    // Also set here, so that the group exists whichever side runs first.
    ::setpgid(pid, pid);

    auto deadline = Clock::now() + timeout;
    int status = 0;
    bool ended = false;
    if (!waitWithPidfd(pid, deadline, status, ended))
    {
        ended = waitByPolling(pid, deadline, status);
    }
    if (!ended)
    {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
        {}
    }
    return status;
}

int runCommand(const std::string& command, std::ostream& err)
{
    char buffer[commandBufferSize];
    std::snprintf(buffer, sizeof(buffer), "%s", command.c_str());
    int status = boundedSystem(buffer);
    if (status != 0)
    {
        err << "Failed to exec. Return code: " << status << ", cmd: " << buffer
            << std::endl;
    }
    return status;
}

void runCommands(const std::vector<std::string>& commands, std::ostream& err)
{
    for (const auto& command : commands)
    {
        runCommand(command, err);
    }
}

} // namespace events
