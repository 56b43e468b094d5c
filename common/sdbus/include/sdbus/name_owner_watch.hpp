#pragma once

#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace sdbus
{

/** Follows the owner of one well-known name: the unique name of the
 *  connection that holds it, asked of the bus when the watch is made and
 *  then kept from the bus daemon's NameOwnerChanged signals. A signal that
 *  claims to come from a service can so be checked against its owner: the
 *  bus daemon stamps every message with its sender, a path proves nothing.
 *
 *  The match is added before the owner is asked, so no change is missed.
 *  The bus must be driven by this thread's event loop. */
class NameOwnerWatch
{
  public:
    /** Called with the new owner each time the name gets one. */
    using Callback = std::function<void(const std::string& owner)>;

    /** Longest wait for the bus daemon's answer at creation. */
    static constexpr std::chrono::seconds askTimeout{2};

    /** Throws SdBusError "sd_bus_add_match" when the match is refused. A
     *  name without an owner, or an owner that cannot be asked, leaves the
     *  owner empty until the name gets one. */
    NameOwnerWatch(Bus& bus, const std::string& name, Callback onNewOwner = {});

    NameOwnerWatch(const NameOwnerWatch&) = delete;
    NameOwnerWatch& operator=(const NameOwnerWatch&) = delete;

    /** The unique name holding the name now; empty while nobody does. */
    const std::string& owner() const
    {
        return current;
    }
    const std::string& name() const
    {
        return wellKnown;
    }

  private:
    void handleChange(Message& message);

    std::string wellKnown;
    std::string current;
    Callback onNewOwner;
    std::unique_ptr<Match> match;
};

/** The owner of `name` now, asked of the bus daemon within `timeout`;
 *  empty when it has none or cannot be asked. */
std::string askNameOwner(Bus& bus, const std::string& name,
                         std::chrono::microseconds timeout);

} // namespace sdbus
