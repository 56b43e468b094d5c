#pragma once

#include <string>
#include <vector>

namespace events
{

/** The log-util command line that records an event as a Redfish message:
 *
 *    log-util PRIORITY=<p> REDFISH_MESSAGE_ID=OpenBMC.0.1.<id>
 *        "REDFISH_MESSAGE_ARGS=<a1>,<a2>..." "MESSAGE=<text>"
 *
 *  The last two words are double-quoted, so log-util receives each as one
 *  argument, blanks included; text of any origin is escaped for the shell
 *  (see doubleQuoted), which leaves ordinary text as it is. */
class RedfishLogCommand
{
  public:
    /** Journal priority of a fault and of its clearing. */
    static constexpr int priorityFault = 4;
    static constexpr int priorityClear = 6;

    /** `messageId` is what follows "OpenBMC.0.1.", e.g. "FanRemoved";
     *  `args` are joined with commas (none gives an empty list). */
    RedfishLogCommand(int priority, std::string messageId,
                      std::vector<std::string> args, std::string message);

    /** The command line. */
    std::string str() const;

  private:
    int priority;
    std::string messageId;
    std::vector<std::string> args;
    std::string message;
};

} // namespace events
