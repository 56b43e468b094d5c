#include "child.hpp"

#include "testkit/emulator.hpp"
#include "testkit/wait.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

namespace kntest
{

pid_t forkChild(const std::function<int()>& body)
{
    pid_t pid = ::fork();
    if (pid == 0)
    {
        int status = 99;
        try
        {
            status = body();
        }
        catch (...)
        {
            status = 98;
        }
        ::_exit(status);
    }
    return pid;
}

pid_t forkProgram(const std::string& program,
                  const std::vector<std::string>& argv,
                  const std::function<void()>& prepare)
{
    testkit::HostCommand command = testkit::hostCommand(program, argv);
    std::vector<char*> args;
    for (auto& arg : command.argv)
    {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    return forkChild([&] {
        if (prepare)
        {
            prepare();
        }
        ::execv(command.program.c_str(), args.data());
        return 127;
    });
}

std::optional<int> waitChild(pid_t pid, std::chrono::milliseconds deadline)
{
    int status = 0;
    bool ended = testkit::waitUntil(
        [&] {
        pid_t got = ::waitpid(pid, &status, WNOHANG);
        return got == pid || (got < 0 && errno != EINTR);
        },
        deadline);
    if (!ended)
    {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return std::nullopt;
    }
    if (WIFSIGNALED(status))
    {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

namespace
{

// The state letter of /proc/<pid>/stat, or 'X' when it is gone.
char processState(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)),
                     std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size())
    {
        return 'X';
    }
    return text[close + 2];
}

} // namespace

bool waitSleeping(pid_t pid, std::chrono::milliseconds deadline)
{
    return testkit::waitUntil(
        [pid] {
        char state = processState(pid);
        return state == 'S' || state == 'Z' || state == 'X';
        },
        deadline);
}

Gate::Gate()
{
    if (::pipe(fds) != 0)
    {
        fds[0] = fds[1] = -1;
    }
}

Gate::~Gate()
{
    for (int fd : fds)
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }
}

void Gate::wait()
{
    ::close(fds[1]);
    fds[1] = -1;
    char byte = 0;
    while (::read(fds[0], &byte, 1) < 0 && errno == EINTR)
    {}
}

void Gate::open()
{
    ::close(fds[1]);
    fds[1] = -1;
}

} // namespace kntest
