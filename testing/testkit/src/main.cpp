#include "testkit/main.hpp"

#include "testkit/private_bus.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace testkit
{

namespace
{

namespace fs = std::filesystem;

constexpr const char* runPrefix = "testkit-run-";

// Removes the run folders of test binaries that died without cleaning up
// (a crash, a timeout): their names carry the pid of their owner.
void sweepStaleRuns(const fs::path& base)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(base, ec))
    {
        const std::string name = entry.path().filename();
        if (name.rfind(runPrefix, 0) != 0)
        {
            continue;
        }
        const long pid =
            std::strtol(name.c_str() + std::strlen(runPrefix), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
        {
            fs::remove_all(entry.path(), ec);
        }
    }
}

// Every temp folder of this run (and of its children, through TMPDIR) goes
// into one folder, removed at the end.
std::optional<TempDir> makeRunFolder()
{
    const char* env = std::getenv("TMPDIR");
    const fs::path base = (env != nullptr && *env != '\0') ? env : "/tmp";
    sweepStaleRuns(base);
    try
    {
        TempDir run(std::string(runPrefix) + std::to_string(getpid()));
        fs::permissions(run.path(),
                        fs::perms::owner_all | fs::perms::group_read |
                            fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);
        setenv("TMPDIR", run.path().c_str(), 1);
        return run;
    }
    catch (const std::exception& e)
    {
        std::cerr << "testkit: no run folder: " << e.what() << "\n";
        return std::nullopt;
    }
}

} // namespace

int runTests(int argc, char** argv, const SandboxOptions& options,
             bool privateBus)
{
    // Before gtest or anything else can start a thread.
    const std::string refused = enterSandbox(options);
    ::testing::InitGoogleMock(&argc, argv);
    if (!refused.empty())
    {
        std::cerr << "testkit: running without the sandbox: " << refused
                  << "\n";
    }
    std::optional<TempDir> run = makeRunFolder();
    std::unique_ptr<PrivateBus> busDaemon;
    if (privateBus)
    {
        try
        {
            busDaemon = std::make_unique<PrivateBus>();
        }
        catch (const std::exception& e)
        {
            std::cerr << "testkit: no private bus: " << e.what() << "\n";
            return 1;
        }
    }
    else
    {
        // Nothing started from here may reach this machine's system bus.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/testkit", 1);
        setenv("DBUS_STARTER_BUS_TYPE", "system", 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    const int result = RUN_ALL_TESTS();
    busDaemon.reset();
    return result;
}

} // namespace testkit
