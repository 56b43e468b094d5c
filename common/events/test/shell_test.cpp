// Command lines run through the real shell against recording stand-ins of
// log-util and busctl: what the programs receive, argument by argument.

#include "events/redfish_log_command.hpp"
#include "events/shell_command.hpp"
#include "events/snmp_trap_command.hpp"
#include "events/trap_oid_table.hpp"
#include "testkit/stubs.hpp"
#include "testkit/tempdir.hpp"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace events
{
namespace
{

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ShellCommand : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        stubs.add("log-util");
        stubs.add("busctl");
        const char* old = std::getenv("PATH");
        savedPath = old != nullptr ? old : "";
        setenv("PATH", (stubs.path() + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("PATH", savedPath.c_str(), 1);
    }

    testkit::CommandStubs stubs;
    std::string savedPath;
    std::ostringstream err;
};

TEST_F(ShellCommand, QuotedWordsArriveAsSingleArguments)
{
    RedfishLogCommand cmd(4, "FanRemoved", {"FAN0"}, "FAN0 removed.");
    EXPECT_EQ(runCommand(cmd.str(), err), 0);
    EXPECT_THAT(stubs.calls("log-util"),
                ElementsAre(ElementsAre(
                    "PRIORITY=4", "REDFISH_MESSAGE_ID=OpenBMC.0.1.FanRemoved",
                    "REDFISH_MESSAGE_ARGS=FAN0", "MESSAGE=FAN0 removed.")));
    EXPECT_EQ(err.str(), "");
}

TEST_F(ShellCommand, ShellTextInArgumentsArrivesVerbatim)
{
    testkit::TempDir dir("events-shell");
    const std::string marker = (dir.path() / "ran").string();
    const std::string hostile = "a \"b\" $HOME `touch " + marker +
                                "` $(touch " + marker + ") \\ 'c' ; * \n end";
    RedfishLogCommand redfish(4, "PhysicalDiskRemoved", {hostile}, hostile);
    SnmpTrapCommand bare(TrapOidTable::driveRemoved,
                         {TrapBinding::text(TrapOidTable::objectName, hostile),
                          TrapBinding::text(TrapOidTable::objectName, "")},
                         false);
    SnmpTrapCommand quoted(
        TrapOidTable::driveRemoved,
        {TrapBinding::text(TrapOidTable::objectName, hostile)}, true);

    runCommands({redfish.str(), bare.str(), quoted.str()}, err);

    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_THAT(
        stubs.calls("log-util"),
        ElementsAre(ElementsAre(
            "PRIORITY=4", "REDFISH_MESSAGE_ID=OpenBMC.0.1.PhysicalDiskRemoved",
            "REDFISH_MESSAGE_ARGS=" + hostile, "MESSAGE=" + hostile)));
    auto calls = stubs.calls("busctl");
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_THAT(
        calls[0],
        ElementsAre("--timeout=2", "call", "xyz.openbmc_project.Logging",
                    "/xyz/openbmc_project/logging",
                    "xyz.openbmc_project.Logging.Create", "Create", "ssa{ss}",
                    TrapOidTable::driveRemoved, SnmpTrapCommand::severity, "2",
                    TrapOidTable::objectName, "s" + hostile,
                    TrapOidTable::objectName, "s"));
    EXPECT_THAT(
        calls[1],
        ElementsAre("--timeout=2", "call", "xyz.openbmc_project.Logging",
                    "/xyz/openbmc_project/logging",
                    "xyz.openbmc_project.Logging.Create", "Create", "ssa{ss}",
                    TrapOidTable::driveRemoved, SnmpTrapCommand::severity, "1",
                    TrapOidTable::objectName, "s" + hostile));
    EXPECT_EQ(err.str(), "");
}

TEST_F(ShellCommand, FailureIsReportedAndTheNextCommandRuns)
{
    stubs.setStatus("log-util", 1);
    RedfishLogCommand first(4, "FanRemoved", {"FAN1"}, "FAN1 removed.");
    SnmpTrapCommand second(TrapOidTable::fanRemoved, {}, true);

    EXPECT_EQ(runCommand(first.str(), err), 256);
    EXPECT_EQ(err.str(),
              "Failed to exec. Return code: 256, cmd: " + first.str() + "\n");

    err.str("");
    runCommands({first.str(), second.str()}, err);
    EXPECT_EQ(stubs.calls("log-util").size(), 2U);
    EXPECT_EQ(stubs.calls("busctl").size(), 1U);
    EXPECT_THAT(err.str(), HasSubstr("Return code: 256"));
}

TEST_F(ShellCommand, MissingCommandIsReported)
{
    EXPECT_NE(runCommand("no-such-command-here PRIORITY=4", err), 0);
    EXPECT_THAT(err.str(),
                HasSubstr(", cmd: no-such-command-here PRIORITY=4\n"));
}

TEST_F(ShellCommand, OverlongLineIsCutAndNeverRunHalfQuoted)
{
    RedfishLogCommand cmd(4, "FanRemoved", {}, std::string(2000, 'x'));
    EXPECT_NE(runCommand(cmd.str(), err), 0);
    EXPECT_THAT(stubs.calls("log-util"), IsEmpty());
    const std::string line = err.str();
    const std::string prefix = ", cmd: ";
    auto at = line.find(prefix);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(line.size() - at - prefix.size() - 1, commandBufferSize - 1);
}

} // namespace
} // namespace events
