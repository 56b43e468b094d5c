#pragma once

#include <iostream>

namespace bmcmon
{

// The fan events. Each runs its command lines through the shell, in order:
// log-util lines (an IPMI SEL record, a Redfish message) and the busctl
// call of the logging service's Create method with the trap. A line that
// fails is reported on `err` ("Failed to exec. ...") and the next one still
// runs; nothing is returned.

/** SEL (assertion), Redfish "FanRemoved", trap with state 4. */
void logFanRemoved(int fanId, std::ostream& err = std::cerr);
/** Redfish "FanInserted", SEL (deassertion), trap with state 1. */
void logFanInserted(int fanId, std::ostream& err = std::cerr);
/** Redfish "FanRedundancyLost" naming the count of failed fans, trap with
 *  state 4. */
void logFanRedundancyLost(int count, std::ostream& err = std::cerr);
/** Redfish "FanRedundancyRegained", trap with state 1. */
void logFanRedundancyRegained(std::ostream& err = std::cerr);

/** Where the fan manager sends its events: by default the functions
 *  above. */
class FanEventReporter
{
  public:
    virtual ~FanEventReporter() = default;

    virtual void fanRemoved(int fanId)
    {
        logFanRemoved(fanId);
    }
    virtual void fanInserted(int fanId)
    {
        logFanInserted(fanId);
    }
    virtual void fanRedundancyLost(int count)
    {
        logFanRedundancyLost(count);
    }
    virtual void fanRedundancyRegained()
    {
        logFanRedundancyRegained();
    }
};

} // namespace bmcmon
