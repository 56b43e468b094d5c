// Processes by name, signals, executable names and the program's folder.
#include "libkn/misc.h"

#include "child.hpp"
#include "testkit/tempdir.hpp"
#include "testkit/wait.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::unique_ptr<char[]> heapBuffer(size_t size, char fill = '#')
{
    std::unique_ptr<char[]> buffer(new char[size]);
    std::memset(buffer.get(), fill, size);
    return buffer;
}

// A sleeping process under a name no other process has: a copy of sleep.
class NamedSleeper
{
  public:
    NamedSleeper()
    {
        name = "knsleep" + std::to_string(getpid());
        program = dir / name;
        fs::copy_file("/bin/sleep", program);
        pid = kntest::forkChild([this] {
            execl(program.c_str(), name.c_str(), "60", nullptr);
            return 127;
        });
    }

    ~NamedSleeper()
    {
        if (pid > 0)
        {
            ::kill(pid, SIGKILL);
            kntest::waitChild(pid);
        }
    }

    NamedSleeper(const NamedSleeper&) = delete;
    NamedSleeper& operator=(const NamedSleeper&) = delete;

    testkit::TempDir dir{"libkn-proc"};
    std::string name;
    fs::path program;
    pid_t pid = -1;
};

std::atomic<int> strayHits{0};

void countStray(int)
{
    strayHits.fetch_add(1);
}

TEST(Processes, PidByName)
{
    NamedSleeper sleeper;
    ASSERT_GT(sleeper.pid, 0);
    EXPECT_TRUE(testkit::waitUntil(
        [&] { return get_pid_by_name(sleeper.name.c_str()) == sleeper.pid; },
        10s));
    EXPECT_EQ(get_pid_by_name("no-process-has-this-name-x"), 0);
}

TEST(Processes, OptionLikeOrEmptyNamesAreRefused)
{
    EXPECT_EQ(get_pid_by_name(""), 0);
    EXPECT_EQ(get_pid_by_name("-s"), 0);
    EXPECT_EQ(get_pid_by_name("-x sleep"), 0);
    EXPECT_EQ(get_pid_by_name(nullptr), 0);
}

TEST(Processes, NameIsOneArgumentNotAShellLine)
{
    testkit::TempDir dir("libkn-proc");
    std::string marker = (dir / "ran").string();
    EXPECT_EQ(get_pid_by_name(("x; touch " + marker).c_str()), 0);
    EXPECT_EQ(get_pid_by_name(("$(touch " + marker + ")").c_str()), 0);
    EXPECT_FALSE(fs::exists(marker));
}

TEST(Processes, SignalReachesTheNamedProcess)
{
    NamedSleeper sleeper;
    ASSERT_TRUE(testkit::waitUntil(
        [&] { return get_pid_by_name(sleeper.name.c_str()) == sleeper.pid; },
        10s));
    EXPECT_EQ(send_signal_to_process(sleeper.name.c_str(), SIGTERM, 7), 0);
    EXPECT_EQ(kntest::waitChild(sleeper.pid), 128 + SIGTERM);
    sleeper.pid = -1;
}

TEST(Processes, NoProcessMeansNoSignal)
{
    // A signal to process id 0 would reach this process's whole group.
    struct sigaction action
    {};
    struct sigaction previous
    {};
    action.sa_handler = countStray;
    sigaction(SIGWINCH, &action, &previous);
    strayHits = 0;
    EXPECT_EQ(send_signal_to_process("no-process-has-this-name-x", SIGWINCH, 1),
              -1);
    EXPECT_EQ(send_signal_to_process("", SIGWINCH, 1), -1);
    sigaction(SIGWINCH, &previous, nullptr);
    EXPECT_EQ(strayHits.load(), 0);
}

TEST(Processes, ExecutableName)
{
    std::string own = fs::read_symlink("/proc/self/exe").filename().string();
    auto buffer = heapBuffer(256);
    EXPECT_EQ(app_name_get(-1, buffer.get(), 256), 0);
    EXPECT_EQ(std::string(buffer.get()), own);
    EXPECT_EQ(app_name_get(getpid(), buffer.get(), 256), 0);
    EXPECT_EQ(std::string(buffer.get()), own);

    auto small = heapBuffer(4);
    EXPECT_EQ(app_name_get(-1, small.get(), 4), 0);
    EXPECT_EQ(std::string(small.get()), own.substr(0, 3));

    NamedSleeper sleeper;
    ASSERT_TRUE(testkit::waitUntil(
        [&] {
        return app_name_get(sleeper.pid, buffer.get(), 256) == 0 &&
               sleeper.name == buffer.get();
        },
        10s));

    EXPECT_EQ(app_name_get(-1, nullptr, 16), -1);
    EXPECT_EQ(app_name_get(-1, buffer.get(), 0), -1);
    EXPECT_EQ(app_name_get(-5, buffer.get(), 256), -1);
}

TEST(Processes, PidExists)
{
    EXPECT_EQ(app_pid_existed(getpid()), 1);
    pid_t child = kntest::forkChild([] { return 0; });
    ASSERT_EQ(kntest::waitChild(child), 0);
    EXPECT_EQ(app_pid_existed(child), 0);
}

TEST(Processes, CurrentPathIsTheProgramsFolder)
{
    std::ifstream cmdline("/proc/self/cmdline");
    std::string command;
    std::getline(cmdline, command, '\0');
    ASSERT_NE(command.find('/'), std::string::npos);
    std::string folder = command.substr(0, command.rfind('/') + 1);

    auto buffer = heapBuffer(KN_CURRENT_PATH_SIZE);
    EXPECT_EQ(GetCurrentPath(buffer.get(), "fru.ini"), 0);
    EXPECT_EQ(std::string(buffer.get()), folder + "fru.ini");

    // A name that does not fit is cut at the buffer's last byte.
    std::string longName(1000, 'n');
    EXPECT_EQ(GetCurrentPath(buffer.get(), longName.c_str()), 0);
    std::string result = buffer.get();
    EXPECT_EQ(result.size(), KN_CURRENT_PATH_SIZE - 1u);
    EXPECT_EQ(result, (folder + longName).substr(0, KN_CURRENT_PATH_SIZE - 1));

    EXPECT_EQ(GetCurrentPath(nullptr, "x"), -1);
}

TEST(Processes, CurrentPathOfACommandWithoutFolder)
{
    // The probe runs under a command path without any '/'.
    const char* probe = std::getenv("LIBKN_PROBE");
    ASSERT_NE(probe, nullptr);
    testkit::TempDir dir("libkn-proc");
    std::string output = (dir / "out").string();
    pid_t child =
        kntest::forkProgram(probe, {"probe", "current-path", "fru.ini"}, [&] {
            int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
        });
    EXPECT_EQ(kntest::waitChild(child), 0);
    std::ifstream in(output);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "fru.ini");
}

} // namespace
