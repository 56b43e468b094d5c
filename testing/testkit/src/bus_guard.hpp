#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace testkit
{

// Tests never talk to this machine's own system bus: the kit's bus clients
// refuse to start without DBUS_SYSTEM_BUS_ADDRESS (which PrivateBus sets).
inline void requireBusAddress(const std::string& who)
{
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (address == nullptr || *address == '\0')
    {
        throw std::runtime_error(who + ": DBUS_SYSTEM_BUS_ADDRESS is not set "
                                       "(no private bus)");
    }
}

} // namespace testkit
