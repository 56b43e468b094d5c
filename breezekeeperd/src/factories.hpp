#pragma once

#include "bmcmon/dbus_helper_interface.hpp"

#include <chrono>
#include <functional>
#include <memory>

namespace bmcmon
{

/** The daemon's two clocks, asked for the time now. Every interval (the
 *  confirmation delay, the host's settling time, the grace period, the
 *  retry of a missing reader) is measured on the steady one, so that a step
 *  of the system clock moves none of them; the system clock only stamps
 *  what is shown (SensorReading::updated, the report time of a
 *  confirmation). Tests run the daemon on clocks of their own. */
struct Clocks
{
    std::function<std::chrono::steady_clock::time_point()> steady =
        std::chrono::steady_clock::now;
    std::function<std::chrono::system_clock::time_point()> system =
        std::chrono::system_clock::now;
};

/** Makes a query helper on a connection of its own. Each reader gets one;
 *  the daemon's make a new connection to the system bus each time. */
using HelperFactory = std::function<std::unique_ptr<DbusHelperInterface>()>;

/** A new bmcmon::DbusHelper on a new connection to the system bus, ready
 *  for use (connected and authenticated). Throws sdbus::SdBusError when the
 *  bus cannot be reached. */
std::unique_ptr<DbusHelperInterface> newSystemHelper();

} // namespace bmcmon
