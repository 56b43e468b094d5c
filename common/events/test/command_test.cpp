// The command lines of the system's events, word for word.

#include "events/redfish_log_command.hpp"
#include "events/sel_log_command.hpp"
#include "events/shell_command.hpp"
#include "events/snmp_trap_command.hpp"
#include "events/trap_oid_table.hpp"

#include <string>

#include <gtest/gtest.h>

namespace events
{
namespace
{

const std::string fanTach = "/xyz/openbmc_project/sensors/fan_tach/FAN";
const std::string createCall =
    "busctl --timeout=2 call xyz.openbmc_project.Logging "
    "/xyz/openbmc_project/logging "
    "xyz.openbmc_project.Logging.Create Create ssa{ss} ";

TEST(EventCommand, FanRemovedLines)
{
    EXPECT_EQ(SelLogCommand(SelLogCommand::priorityFault, fanTach + "0",
                            SelLogCommand::directionAssert)
                  .str(),
              "log-util PRIORITY=4 MESSAGE_ID=b370836ccf2f4850ac5bee185b77893a "
              "IPMI_SEL_RECORD_ID=0 IPMI_SEL_RECORD_TYPE=2 "
              "IPMI_SEL_DATA=50FFFF IPMI_SEL_GENERATOR_ID=20 "
              "IPMI_SEL_SENSOR_PATH=/xyz/openbmc_project/sensors/fan_tach/FAN0 "
              "IPMI_SEL_EVENT_DIR=1");
    EXPECT_EQ(RedfishLogCommand(RedfishLogCommand::priorityFault, "FanRemoved",
                                {"FAN0"}, "FAN0 removed.")
                  .str(),
              "log-util PRIORITY=4 REDFISH_MESSAGE_ID=OpenBMC.0.1.FanRemoved "
              "\"REDFISH_MESSAGE_ARGS=FAN0\" \"MESSAGE=FAN0 removed.\"");
    EXPECT_EQ(
        SnmpTrapCommand(TrapOidTable::fanRemoved,
                        {TrapBinding::text(TrapOidTable::objectName, "FAN0"),
                         TrapBinding::integer(TrapOidTable::state,
                                              TrapOidTable::stateFault)},
                        true)
            .str(),
        createCall + "\"1.3.6.1.4.1.61842.1.1.1.500.11.5.3\" "
                     "\"xyz.openbmc_project.Logging.Entry.Level.Error\" 2 "
                     "\"1.3.6.1.4.1.61842.1.1.1.500.1.2\" \"sFAN0\" "
                     "\"1.3.6.1.4.1.61842.1.1.1.500.1.4\" \"i4\"");
}

TEST(EventCommand, FanInsertedLines)
{
    EXPECT_EQ(RedfishLogCommand(RedfishLogCommand::priorityClear, "FanInserted",
                                {"FAN5"}, "FAN5 inserted.")
                  .str(),
              "log-util PRIORITY=6 REDFISH_MESSAGE_ID=OpenBMC.0.1.FanInserted "
              "\"REDFISH_MESSAGE_ARGS=FAN5\" \"MESSAGE=FAN5 inserted.\"");
    EXPECT_EQ(SelLogCommand(SelLogCommand::priorityClear, fanTach + "5",
                            SelLogCommand::directionDeassert)
                  .str(),
              "log-util PRIORITY=6 MESSAGE_ID=b370836ccf2f4850ac5bee185b77893a "
              "IPMI_SEL_RECORD_ID=0 IPMI_SEL_RECORD_TYPE=2 "
              "IPMI_SEL_DATA=50FFFF IPMI_SEL_GENERATOR_ID=20 "
              "IPMI_SEL_SENSOR_PATH=/xyz/openbmc_project/sensors/fan_tach/FAN5 "
              "IPMI_SEL_EVENT_DIR=0");
    EXPECT_EQ(
        SnmpTrapCommand(TrapOidTable::fanInserted,
                        {TrapBinding::text(TrapOidTable::objectName, "FAN5"),
                         TrapBinding::integer(TrapOidTable::state,
                                              TrapOidTable::stateClear)},
                        true)
            .str(),
        createCall + "\"1.3.6.1.4.1.61842.1.1.1.500.11.5.1\" "
                     "\"xyz.openbmc_project.Logging.Entry.Level.Error\" 2 "
                     "\"1.3.6.1.4.1.61842.1.1.1.500.1.2\" \"sFAN5\" "
                     "\"1.3.6.1.4.1.61842.1.1.1.500.1.4\" \"i1\"");
}

TEST(EventCommand, RedundancyLinesWithoutArguments)
{
    EXPECT_EQ(
        RedfishLogCommand(RedfishLogCommand::priorityFault, "FanRedundancyLost",
                          {}, "Fan redundancy lost. 3 sys FANs (FAN*) removed.")
            .str(),
        "log-util PRIORITY=4 REDFISH_MESSAGE_ID=OpenBMC.0.1.FanRedundancyLost "
        "\"REDFISH_MESSAGE_ARGS=\" "
        "\"MESSAGE=Fan redundancy lost. 3 sys FANs (FAN*) removed.\"");
    EXPECT_EQ(SnmpTrapCommand(TrapOidTable::fanRedundancyLost,
                              {TrapBinding::integer(TrapOidTable::state, 4)},
                              true)
                  .str(),
              createCall + "\"1.3.6.1.4.1.61842.1.1.1.500.11.5.5\" "
                           "\"xyz.openbmc_project.Logging.Entry.Level.Error\" "
                           "1 \"1.3.6.1.4.1.61842.1.1.1.500.1.4\" \"i4\"");
    EXPECT_EQ(RedfishLogCommand(6, "FanRedundancyRegained", {},
                                "Fan redundancy regained.")
                  .str(),
              "log-util PRIORITY=6 "
              "REDFISH_MESSAGE_ID=OpenBMC.0.1.FanRedundancyRegained "
              "\"REDFISH_MESSAGE_ARGS=\" \"MESSAGE=Fan redundancy regained.\"");
    EXPECT_EQ(SnmpTrapCommand(TrapOidTable::fanRedundancyRegained,
                              {TrapBinding::integer(TrapOidTable::state, 1)},
                              true)
                  .str(),
              createCall + "\"1.3.6.1.4.1.61842.1.1.1.500.11.5.6\" "
                           "\"xyz.openbmc_project.Logging.Entry.Level.Error\" "
                           "1 \"1.3.6.1.4.1.61842.1.1.1.500.1.4\" \"i1\"");
}

TEST(EventCommand, SeveralArgumentsAreCommaSeparated)
{
    EXPECT_EQ(RedfishLogCommand(4, "PowerOverThreshold", {"100", "90"},
                                "Power consumption exceeded threshold. "
                                "Power: 100, Threshold: 90.")
                  .str(),
              "log-util PRIORITY=4 "
              "REDFISH_MESSAGE_ID=OpenBMC.0.1.PowerOverThreshold "
              "\"REDFISH_MESSAGE_ARGS=100,90\" \"MESSAGE=Power consumption "
              "exceeded threshold. Power: 100, Threshold: 90.\"");
}

TEST(EventCommand, BareTrapWordsForPlainText)
{
    EXPECT_EQ(
        SnmpTrapCommand(TrapOidTable::driveRemoved,
                        {TrapBinding::text(TrapOidTable::objectName, "PD_0_3"),
                         TrapBinding::integer(TrapOidTable::state, 4)},
                        false)
            .str(),
        createCall + "1.3.6.1.4.1.61842.1.1.1.500.11.3.5 "
                     "xyz.openbmc_project.Logging.Entry.Level.Error 2 "
                     "1.3.6.1.4.1.61842.1.1.1.500.1.2 sPD_0_3 "
                     "1.3.6.1.4.1.61842.1.1.1.500.1.4 i4");
}

TEST(EventCommand, TrapIdentifiersShareThePrefix)
{
    const std::string prefix = TrapOidTable::prefix;
    EXPECT_EQ(prefix, "1.3.6.1.4.1.61842.1.1.1.500");
    for (const std::string oid :
         {TrapOidTable::fanInserted, TrapOidTable::fanRemoved,
          TrapOidTable::fanRedundancyLost, TrapOidTable::fanRedundancyRegained,
          TrapOidTable::driveInserted, TrapOidTable::driveRemoved,
          TrapOidTable::objectName, TrapOidTable::state})
    {
        EXPECT_EQ(oid.substr(0, prefix.size()), prefix) << oid;
    }
    EXPECT_EQ(std::string(TrapOidTable::driveInserted), prefix + ".11.3.3");
}

TEST(ShellQuoting, OrdinaryTextIsLeftAlone)
{
    EXPECT_EQ(doubleQuoted("MESSAGE=FAN1 removed. (FAN*) 100%, a-b"),
              "\"MESSAGE=FAN1 removed. (FAN*) 100%, a-b\"");
    EXPECT_EQ(shellWord("sPD_0_3"), "sPD_0_3");
    EXPECT_EQ(shellWord("a.b/c:d=e,f+g@h%i-j"), "a.b/c:d=e,f+g@h%i-j");
}

TEST(ShellQuoting, SpecialCharactersAreEscaped)
{
    EXPECT_EQ(doubleQuoted("a\"b$c`d\\e'f"), "\"a\\\"b\\$c\\`d\\\\e'f\"");
    EXPECT_EQ(shellWord(""), "''");
    EXPECT_EQ(shellWord("two words"), "'two words'");
    EXPECT_EQ(shellWord("it's"), "'it'\\''s'");
    EXPECT_EQ(shellWord("~root"), "'~root'");
}

} // namespace
} // namespace events
