#include "events/redfish_log_command.hpp"

#include "events/shell_command.hpp"

#include <utility>

namespace events
{

RedfishLogCommand::RedfishLogCommand(int priority, std::string messageId,
                                     std::vector<std::string> args,
                                     std::string message) :
    priority(priority),
    messageId(std::move(messageId)), args(std::move(args)),
    message(std::move(message))
{}

std::string RedfishLogCommand::str() const
{
    std::string joined;
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        if (i != 0)
        {
            joined += ',';
        }
        joined += args[i];
    }
    return "log-util PRIORITY=" + std::to_string(priority) + " " +
           shellWord("REDFISH_MESSAGE_ID=OpenBMC.0.1." + messageId) + " " +
           doubleQuoted("REDFISH_MESSAGE_ARGS=" + joined) + " " +
           doubleQuoted("MESSAGE=" + message);
}

} // namespace events
