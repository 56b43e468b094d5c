#include "events/sel_log_command.hpp"

#include "events/shell_command.hpp"

#include <utility>

namespace events
{

SelLogCommand::SelLogCommand(int priority, std::string sensorPath,
                             int direction) :
    priority(priority),
    sensorPath(std::move(sensorPath)), direction(direction)
{}

std::string SelLogCommand::str() const
{
    return "log-util PRIORITY=" + std::to_string(priority) +
           " MESSAGE_ID=" + selMessageId +
           " IPMI_SEL_RECORD_ID=0 IPMI_SEL_RECORD_TYPE=2 IPMI_SEL_DATA=50FFFF"
           " IPMI_SEL_GENERATOR_ID=20 " +
           shellWord("IPMI_SEL_SENSOR_PATH=" + sensorPath) +
           " IPMI_SEL_EVENT_DIR=" + std::to_string(direction);
}

} // namespace events
