#include "testkit/commands.hpp"
#include "testkit/emulator.hpp"
#include "testkit/main.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/tempdir.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace
{

using testkit::Process;
using namespace std::chrono_literals;

Process sh(const std::string& script)
{
    return Process({.argv = {"sh", "-c", script}});
}

TEST(ProcessTest, ReportsExitCodeOrSignal)
{
    Process exits = sh("exit 7");
    EXPECT_EQ(exits.waitExit(), 7);
    Process killed = sh("kill -USR1 $$");
    EXPECT_EQ(killed.waitExit(), 128 + SIGUSR1);
    EXPECT_FALSE(killed.running());
}

TEST(ProcessTest, CapturesStdoutAndStderrApart)
{
    Process p = sh("echo out; echo err >&2; read x; echo $?");
    EXPECT_TRUE(p.waitForOutput("err", true));
    ASSERT_EQ(p.waitExit(), 0);
    // stdin is /dev/null: read fails at once.
    EXPECT_EQ(p.out(), "out\n1\n");
    EXPECT_EQ(p.err(), "err\n");
    EXPECT_FALSE(p.waitForOutput("never", false, 10s));
}

TEST(ProcessTest, EnvironmentAndPathReachTheChild)
{
    testkit::TempDir bin;
    {
        std::ofstream script(bin / "hello-tool");
        script << "#!/bin/sh\necho \"hello $GREETING\"\n";
    }
    std::filesystem::permissions(bin / "hello-tool",
                                 std::filesystem::perms::owner_all);
    Process p({.argv = {"hello-tool"},
               .env = {{"GREETING", "there"}},
               .pathPrepend = {bin.path().string()}});
    EXPECT_EQ(p.waitExit(), 0);
    EXPECT_EQ(p.out(), "hello there\n");
}

TEST(ProcessTest, UnstartableProgramThrows)
{
    EXPECT_THROW(Process({.argv = {"/nonexistent/program"}}),
                 std::system_error);
    EXPECT_THROW(Process({.argv = {"testkit-no-such-command"}}),
                 std::system_error);
}

TEST(ProcessTest, TerminateEscalatesAndDestructorReaps)
{
    Process stubborn = sh("trap '' TERM; echo ready; exec sleep 600");
    ASSERT_TRUE(stubborn.waitForOutput("ready"));
    EXPECT_EQ(stubborn.waitExit(20ms), std::nullopt);
    EXPECT_EQ(stubborn.terminate(100ms), 128 + SIGKILL);

    pid_t pid = 0;
    {
        Process sleeper({.argv = {"sleep", "600"}});
        pid = sleeper.pid();
        EXPECT_TRUE(sleeper.running());
    }
    // Gone and reaped: no zombie left behind.
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ProcessTest, WaitForBusNameSeesTheOwner)
{
    const char* owner = std::getenv("NAME_OWNER");
    ASSERT_NE(owner, nullptr);
    Process p({.argv = {owner, "org.example.TestkitProbe"}});
    EXPECT_TRUE(p.waitForBusName("org.example.TestkitProbe"));
    EXPECT_EQ(p.terminate(), 0);

    // A child that ends without the name answers at once, not at the
    // deadline; the deadline is long so that a hang fails the test run.
    Process quits = sh("exit 0");
    EXPECT_FALSE(quits.waitForBusName("org.example.Never", 600s));
}

// In a cross build the programs built here run under the emulator named in
// MESON_EXE_WRAPPER; the system's tools and scripts run as they are.
TEST(ProcessTest, OnlyProgramsBuiltHereGetTheEmulator)
{
    const char* owner = std::getenv("NAME_OWNER");
    ASSERT_NE(owner, nullptr);
    const char* given = std::getenv("MESON_EXE_WRAPPER");
    const std::string emulator = given != nullptr ? given : "";
    testkit::TempDir dir;
    const std::string wrapper = (dir / "wrapper").string();
    const std::string calls = (dir / "calls").string();
    {
        // Records its arguments, then runs them as the real emulator (or,
        // natively, the system) would.
        std::ofstream script(wrapper);
        script << "#!/bin/sh\necho \"$*\" >>'" << calls << "'\n";
        if (emulator.empty())
        {
            script << "[ \"$1\" = -0 ] && shift 2\n";
        }
        script << "exec " << emulator << " \"$@\"\n";
    }
    std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
    setenv("MESON_EXE_WRAPPER", wrapper.c_str(), 1);

    Process p({.argv = {owner, "org.example.TestkitWrapped"}});
    EXPECT_TRUE(p.waitForBusName("org.example.TestkitWrapped"));
    EXPECT_EQ(p.terminate(), 0);
    const std::string script = (dir / "script").string();
    {
        std::ofstream out(script);
        out << "#!/bin/sh\nexit 3\n";
    }
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    EXPECT_EQ(testkit::run({script}).status, 3);
    if (given != nullptr)
    {
        // Natively the system's tools are of the test's machine too.
        EXPECT_EQ(testkit::run({"sh", "-c", "exit 0"}).status, 0);
    }
    EXPECT_EQ(testkit::hostCommand(script, {"name", "a"}).argv,
              (std::vector<std::string>{"name", "a"}));
    EXPECT_EQ(testkit::hostCommand(owner, {"alias", "a"}).argv,
              (std::vector<std::string>{wrapper, "-0", "alias", owner, "a"}));
    EXPECT_EQ(testkit::hostShellCommand({owner, "it's"}),
              "'" + wrapper + "' '" + owner + "' 'it'\\''s'");

    if (given != nullptr)
    {
        setenv("MESON_EXE_WRAPPER", given, 1);
    }
    else
    {
        unsetenv("MESON_EXE_WRAPPER");
    }
    std::ifstream in(calls);
    std::string recorded((std::istreambuf_iterator<char>(in)),
                         std::istreambuf_iterator<char>());
    EXPECT_EQ(recorded, std::string(owner) + " org.example.TestkitWrapped\n");
}

TEST(CommandsTest, RunReturnsStatusAndOutput)
{
    auto r = testkit::run({"sh", "-c", "echo a; echo b >&2; exit 3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "a\n");
    EXPECT_EQ(r.err, "b\n");
    EXPECT_EQ(testkit::run({"sleep", "600"}, 50ms).status, -1);
}

TEST(PrivateBusTest, ChildrenReachOnlyThePrivateBus)
{
    ASSERT_NE(testkit::bus(), nullptr);
    EXPECT_EQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"),
              testkit::bus()->address());
    EXPECT_EQ(testkit::bus()->address(),
              "unix:path=" + testkit::bus()->socketPath());
    EXPECT_EQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr);

    auto r = testkit::busctl({"call", "org.freedesktop.DBus",
                              "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "GetConnectionUnixProcessID", "s",
                              "org.freedesktop.DBus"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The bus daemon answering is our own child.
    EXPECT_EQ(r.out.rfind("u ", 0), 0U) << r.out;
    pid_t daemon = std::stoi(r.out.substr(2));
    std::ifstream stat("/proc/" + std::to_string(daemon) + "/stat");
    std::string pid, comm, state;
    pid_t parent = 0;
    stat >> pid >> comm >> state >> parent;
    EXPECT_EQ(parent, getpid());
}

} // namespace

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {});
}
