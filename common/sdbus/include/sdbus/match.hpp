#pragma once

#include "sdbus/bus.hpp"
#include "sdbus/message.hpp"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>

namespace sdbus
{

/** A signal match that lives as long as this object.
 *
 *  An exception thrown by the callback never unwinds through sd-bus: it is
 *  caught and deferred, so the event loop running the connection rethrows
 *  it (see AsioConnection::run). A callback that must not end the process
 *  catches its own exceptions. */
class Match
{
  public:
    using Callback = std::function<void(Message&)>;

    /** Adds the match; throws SdBusError "sd_bus_add_match" if refused. */
    Match(Bus& bus, const std::string& rule, Callback callback);
    Match(const Match&) = delete;
    Match& operator=(const Match&) = delete;
    ~Match();

  private:
    static int onMessage(sd_bus_message* m, void* userdata,
                         sd_bus_error* error);

    sd_bus_slot* slot = nullptr;
    std::unique_ptr<Callback> callback;
};

} // namespace sdbus
