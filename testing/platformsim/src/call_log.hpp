#pragma once

#include <systemd/sd-bus.h>

#include <cstddef>
#include <deque>
#include <string>

namespace platformsim
{

/** One call received by a simulated service. */
struct CallRecord
{
    std::string service;
    std::string path;
    std::string interface;
    std::string member;
    std::string detail;
};

/** The calls that the simulated services received, in order, and the
 *  optional one-line-per-event trace on standard output. */
class CallLog
{
  public:
    /** The oldest records are dropped beyond limit, so that a simulator
     *  left running for days keeps a bounded memory. */
    CallLog(bool verbose, size_t limit) : verbose(verbose), limit(limit) {}

    void record(CallRecord call);

    /** Traces a signal that a service sent (the message must be sealed). */
    void signalSent(const std::string& service, sd_bus_message* signal);

    const std::deque<CallRecord>& records() const
    {
        return calls;
    }

    void clear()
    {
        calls.clear();
    }

  private:
    bool verbose;
    size_t limit;
    std::deque<CallRecord> calls;
};

} // namespace platformsim
