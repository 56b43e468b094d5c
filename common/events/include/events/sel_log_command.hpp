#pragma once

#include <string>

namespace events
{

/** The log-util command line that records an event as an IPMI SEL system
 *  event record (generator 20h, event data 50 FF FF) of a sensor:
 *
 *    log-util PRIORITY=<p> MESSAGE_ID=b370836ccf2f4850ac5bee185b77893a
 *        IPMI_SEL_RECORD_ID=0 IPMI_SEL_RECORD_TYPE=2 IPMI_SEL_DATA=50FFFF
 *        IPMI_SEL_GENERATOR_ID=20 IPMI_SEL_SENSOR_PATH=<path>
 *        IPMI_SEL_EVENT_DIR=<dir>
 *
 *  No word is quoted; a sensor path that is not plain text is made one
 *  shell word (see shellWord). */
class SelLogCommand
{
  public:
    static constexpr int priorityFault = 4;
    static constexpr int priorityClear = 6;
    /** Event direction: assertion (e.g. a fan removed) and deassertion. */
    static constexpr int directionAssert = 1;
    static constexpr int directionDeassert = 0;

    /** The journal message id that marks an entry as a SEL record. */
    static constexpr const char* selMessageId =
        "b370836ccf2f4850ac5bee185b77893a";

    SelLogCommand(int priority, std::string sensorPath, int direction);

    std::string str() const;

  private:
    int priority;
    std::string sensorPath;
    int direction;
};

} // namespace events
