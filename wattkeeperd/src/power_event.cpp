#include "power_event.hpp"

#include "events/redfish_log_command.hpp"
#include "events/shell_command.hpp"

#include <string>

namespace bmcmon
{

void logPowerOverThreshold(DbusHelper*, int32_t power, int32_t threshold)
{
    const std::string p = std::to_string(power / 1000);
    const std::string t = std::to_string(threshold / 1000);
    events::RedfishLogCommand command(
        events::RedfishLogCommand::priorityFault, "PowerOverThreshold", {p, t},
        "Power consumption exceeded threshold. Power: " + p +
            ", Threshold: " + t + ".");
    events::runCommand(command.str());
}

} // namespace bmcmon
