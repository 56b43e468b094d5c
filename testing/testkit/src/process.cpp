#include "testkit/process.hpp"

#include "bus_guard.hpp"
#include "find_program.hpp"
#include "testkit/emulator.hpp"
#include "testkit/wait.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace testkit
{

namespace
{

std::string readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in),
            std::istreambuf_iterator<char>()};
}

int openOrThrow(const std::string& path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        throw std::system_error(errno, std::generic_category(), path);
    }
    return fd;
}

} // namespace

Process::Process(Options options) : dir("testkit-process")
{
    if (options.argv.empty())
    {
        throw std::invalid_argument("Process: empty argv");
    }
    std::map<std::string, std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
    {
        std::string entry(*e);
        size_t eq = entry.find('=');
        if (eq != std::string::npos)
        {
            env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
        }
    }
    for (auto& [key, value] : options.env)
    {
        env[key] = value;
    }
    if (!env.contains("PATH"))
    {
        env["PATH"] = "/usr/local/bin:/usr/bin:/bin";
    }
    if (!options.pathPrepend.empty())
    {
        std::string path;
        for (const auto& p : options.pathPrepend)
        {
            path += p + ":";
        }
        env["PATH"] = path + env["PATH"];
    }
    // The project's own programs may need the emulator of a cross build.
    HostCommand command =
        hostCommand(findProgram(options.argv[0], env["PATH"]), options.argv);
    const std::string program = command.program;

    // Everything the child needs is prepared here: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : env)
    {
        envStrings.push_back(key + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& s : envStrings)
    {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (auto& s : command.argv)
    {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    int input = openOrThrow("/dev/null", O_RDONLY);
    int output = openOrThrow(dir / "stdout", O_WRONLY | O_CREAT | O_TRUNC);
    int errors = openOrThrow(dir / "stderr", O_WRONLY | O_CREAT | O_TRUNC);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
    {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    const pid_t parent = getpid();

    childPid = fork();
    if (childPid == 0)
    {
        auto place = [](int fd, int target) {
            if (fd == target)
            {
                fcntl(fd, F_SETFD, 0);
            }
            else
            {
                dup2(fd, target);
            }
        };
        place(input, 0);
        place(output, 1);
        place(errors, 2);
        int reportFd = report[1];
        if (reportFd != 3)
        {
            reportFd = dup3(report[1], 3, O_CLOEXEC);
        }
        if (syscall(SYS_close_range, 4U, ~0U, 0U) != 0)
        {
            for (int fd = 4; fd < 4096; ++fd)
            {
                close(fd);
            }
        }
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
        {
            _exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl
        {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
        {
            sigaction(sig, &dfl, nullptr);
        }
        execve(program.c_str(), argv.data(), envp.data());
        int err = errno;
        if (write(reportFd, &err, sizeof(err)) < 0)
        {
            _exit(126);
        }
        _exit(127);
    }
    const int forkErr = errno;
    close(input);
    close(output);
    close(errors);
    close(report[1]);
    if (childPid < 0)
    {
        close(report[0]);
        throw std::system_error(forkErr, std::generic_category(), "fork");
    }
    int execErr = 0;
    ssize_t n = 0;
    do
    {
        n = read(report[0], &execErr, sizeof(execErr));
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n == static_cast<ssize_t>(sizeof(execErr)))
    {
        reap(true);
        throw std::system_error(execErr, std::generic_category(),
                                "exec " + program);
    }
}

Process::~Process()
{
    if (childPid > 0 && !reap(false))
    {
        terminate();
    }
}

bool Process::reap(bool block)
{
    if (status)
    {
        return true;
    }
    int st = 0;
    pid_t r = 0;
    do
    {
        r = waitpid(childPid, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == childPid)
    {
        status = WIFSIGNALED(st) ? 128 + WTERMSIG(st) : WEXITSTATUS(st);
        return true;
    }
    if (r < 0)
    {
        status = -1; // reaped elsewhere; nothing more to learn
        return true;
    }
    return false;
}

bool Process::waitForBusName(const std::string& name,
                             std::chrono::milliseconds deadline)
{
    requireBusAddress("waitForBusName");
    sd_bus* bus = nullptr;
    bool owned = false;
    bool exited = false;
    waitUntil(
        [&] {
        if (!running())
        {
            exited = true;
            return true;
        }
        if (bus == nullptr)
        {
            if (sd_bus_open_system(&bus) < 0)
            {
                bus = nullptr;
                return false;
            }
            sd_bus_set_method_call_timeout(bus, 2'000'000);
        }
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int has = 0;
        int r = sd_bus_call_method(bus, "org.freedesktop.DBus",
                                   "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner",
                                   &error, &reply, "s", name.c_str());
        if (r >= 0)
        {
            r = sd_bus_message_read(reply, "b", &has);
        }
        else if (!sd_bus_is_open(bus))
        {
            bus = sd_bus_flush_close_unref(bus);
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
        owned = r >= 0 && has != 0;
        return owned;
        },
        deadline);
    sd_bus_flush_close_unref(bus);
    return owned && !exited;
}

std::optional<int> Process::waitExit(std::chrono::milliseconds deadline)
{
    if (waitUntil([this] { return reap(false); }, deadline))
    {
        return status;
    }
    return std::nullopt;
}

bool Process::running()
{
    return !reap(false);
}

int Process::terminate(std::chrono::milliseconds grace)
{
    if (reap(false))
    {
        return *status;
    }
    ::kill(childPid, SIGTERM);
    if (!waitUntil([this] { return reap(false); }, grace))
    {
        ::kill(childPid, SIGKILL);
        reap(true);
    }
    return *status;
}

void Process::kill(int signal)
{
    if (!reap(false))
    {
        ::kill(childPid, signal);
    }
}

std::string Process::out() const
{
    return readFile(dir / "stdout");
}

std::string Process::err() const
{
    return readFile(dir / "stderr");
}

bool Process::waitForOutput(const std::string& needle, bool fromStderr,
                            std::chrono::milliseconds deadline)
{
    auto seen = [&] {
        return (fromStderr ? err() : out()).find(needle) != std::string::npos;
    };
    waitUntil([&] { return seen() || !running(); }, deadline);
    return seen();
}

} // namespace testkit
