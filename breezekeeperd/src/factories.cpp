#include "factories.hpp"

#include "bmcmon/dbus_helper.hpp"
#include "sdbus/bus.hpp"

namespace bmcmon
{

std::unique_ptr<DbusHelperInterface> newSystemHelper()
{
    sdbus::Bus bus = sdbus::Bus::newSystem();
    // Completes the handshake with the bus now: a connection that is first
    // used later (the health flag is read 30 s after start-up) would
    // otherwise still be unauthenticated then, and the bus drops such
    // connections after its authentication timeout.
    bus.uniqueName();
    return std::make_unique<DbusHelper>(std::move(bus));
}

} // namespace bmcmon
