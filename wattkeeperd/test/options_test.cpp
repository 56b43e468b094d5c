// The command line and start-up of the real daemon: the interval check, the
// defaults, the journal line and a bus name already taken.

#include "daemon_fixture.hpp"
#include "history_file.hpp"
#include "power_statistics.hpp"
#include "testkit/journal.hpp"
#include "testkit/main.hpp"

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using ::testing::HasSubstr;

TEST_F(DaemonTest, IntervalOutsideOneToSixtyIsRefused)
{
    for (const char* value : {"0", "61", "-1", "abc", "", "4294967297"})
    {
        auto p = spawn({"-i", value});
        auto status = p->waitExit();
        ASSERT_TRUE(status.has_value()) << value;
        EXPECT_EQ(*status, 255) << value;
        EXPECT_EQ(p->err(), "Sample interval should be in (0, 60)\n") << value;
    }
    EXPECT_FALSE(std::filesystem::exists(configDir()));
}

TEST_F(DaemonTest, IntervalIsReadUpToTheFirstNonDigit)
{
    for (const char* value : {"5abc", "60", " 7"})
    {
        start({"-i", value});
        EXPECT_TRUE(daemon->running()) << value;
        daemon->terminate();
        ASSERT_TRUE(testkit::waitUntil([this] { return !nameOwned(); }, 10s));
    }
}

TEST_F(DaemonTest, CommandLineErrorsAndHelpComeFromTheParser)
{
    auto help = spawn({"--help"});
    EXPECT_EQ(help->waitExit(), 0);
    EXPECT_THAT(help->out(), HasSubstr("OpenBMC Fan Control Daemon"));
    EXPECT_THAT(help->out(), HasSubstr("Sampling interval, default 1s"));

    auto bad = spawn({"--no-such-option"});
    auto status = bad->waitExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_NE(*status, 255);
}

TEST_F(DaemonTest, HelpAndBadIntervalNeedNoBus)
{
    const std::map<std::string, std::string> noBus{
        {"DBUS_SYSTEM_BUS_ADDRESS",
         "unix:path=" + (dir.path() / "no-bus.sock").string()}};
    auto help = spawn({"--help"}, true, noBus);
    EXPECT_EQ(help->waitExit(), 0) << help->err();
    EXPECT_THAT(help->out(), HasSubstr("Sampling interval, default 1s"));

    auto bad = spawn({"-i", "0"}, true, noBus);
    EXPECT_EQ(bad->waitExit(), 255);
    EXPECT_EQ(bad->err(), "Sample interval should be in (0, 60)\n");
}

TEST_F(DaemonTest, DefaultsUseVarLibWattkeeperAndTheStartIsJournalled)
{
    if (!testkit::sandboxed() || !testkit::journalSandboxed())
    {
        GTEST_SKIP() << testkit::sandboxRefusal();
    }
    testkit::JournalCapture journal;
    daemon = spawn({}, false);
    ASSERT_NO_FATAL_FAILURE(ready());

    auto entry = journal.waitFor([](const testkit::JournalEntry& e) {
        return e.count("MESSAGE") != 0 &&
               e.at("MESSAGE") == "wattkeeper started";
    });
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->at("PRIORITY"), "6");
    EXPECT_EQ(entry->at("CODE_FUNC"), "main");
    EXPECT_THAT(entry->at("CODE_FILE"), HasSubstr("main.cpp"));

    EXPECT_TRUE(fileHolds("/var/lib/wattkeeper/history.dat",
                          HistoryFile::encode(std::vector<HistoryRecord>(
                              PowerStatistics::recordCount))));
}

TEST_F(DaemonTest, BusNameAlreadyTakenEndsTheSecondDaemon)
{
    start();
    auto second = spawn({"-i", "1"});
    auto status = second->waitExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 255);
    EXPECT_THAT(second->err(),
                HasSubstr("Exception during global manager init. Message: "
                          "sd_bus_request_name"));
    EXPECT_THAT(second->err(),
                HasSubstr("Failed of initing global manager service\n"));
    EXPECT_TRUE(daemon->running());
}

} // namespace
} // namespace bmcmon::test

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv,
                             {.overlays = {"/var"}, .journal = true});
}
