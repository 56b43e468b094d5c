#include "fan_events.hpp"

#include "events/redfish_log_command.hpp"
#include "events/sel_log_command.hpp"
#include "events/shell_command.hpp"
#include "events/snmp_trap_command.hpp"
#include "events/trap_oid_table.hpp"

#include <string>

namespace bmcmon
{

namespace
{

using events::RedfishLogCommand;
using events::SelLogCommand;
using events::SnmpTrapCommand;
using events::TrapBinding;
using events::TrapOidTable;

std::string fanName(int fanId)
{
    return "FAN" + std::to_string(fanId);
}

std::string fanSensorPath(int fanId)
{
    return "/xyz/openbmc_project/sensors/fan_tach/" + fanName(fanId);
}

} // namespace

void logFanRemoved(int fanId, std::ostream& err)
{
    const std::string name = fanName(fanId);
    events::runCommands(
        {SelLogCommand(SelLogCommand::priorityFault, fanSensorPath(fanId),
                       SelLogCommand::directionAssert)
             .str(),
         RedfishLogCommand(RedfishLogCommand::priorityFault, "FanRemoved",
                           {name}, name + " removed.")
             .str(),
         SnmpTrapCommand(TrapOidTable::fanRemoved,
                         {TrapBinding::text(TrapOidTable::objectName, name),
                          TrapBinding::integer(TrapOidTable::state,
                                               TrapOidTable::stateFault)},
                         true)
             .str()},
        err);
}

void logFanInserted(int fanId, std::ostream& err)
{
    const std::string name = fanName(fanId);
    events::runCommands(
        {RedfishLogCommand(RedfishLogCommand::priorityClear, "FanInserted",
                           {name}, name + " inserted.")
             .str(),
         SelLogCommand(SelLogCommand::priorityClear, fanSensorPath(fanId),
                       SelLogCommand::directionDeassert)
             .str(),
         SnmpTrapCommand(TrapOidTable::fanInserted,
                         {TrapBinding::text(TrapOidTable::objectName, name),
                          TrapBinding::integer(TrapOidTable::state,
                                               TrapOidTable::stateClear)},
                         true)
             .str()},
        err);
}

void logFanRedundancyLost(int count, std::ostream& err)
{
    events::runCommands(
        {RedfishLogCommand(RedfishLogCommand::priorityFault,
                           "FanRedundancyLost", {},
                           "Fan redundancy lost. " + std::to_string(count) +
                               " sys FANs (FAN*) removed.")
             .str(),
         SnmpTrapCommand(TrapOidTable::fanRedundancyLost,
                         {TrapBinding::integer(TrapOidTable::state,
                                               TrapOidTable::stateFault)},
                         true)
             .str()},
        err);
}

void logFanRedundancyRegained(std::ostream& err)
{
    events::runCommands(
        {RedfishLogCommand(RedfishLogCommand::priorityClear,
                           "FanRedundancyRegained", {},
                           "Fan redundancy regained.")
             .str(),
         SnmpTrapCommand(TrapOidTable::fanRedundancyRegained,
                         {TrapBinding::integer(TrapOidTable::state,
                                               TrapOidTable::stateClear)},
                         true)
             .str()},
        err);
}

} // namespace bmcmon
