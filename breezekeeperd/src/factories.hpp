#pragma once

#include "bmcmon/dbus_helper_interface.hpp"

#include <chrono>
#include <functional>
#include <memory>

namespace bmcmon
{

/** The system-clock time of now. Every decision of the daemon that depends
 *  on time (confirmation delays, the grace period, the time of a host
 *  state change) asks one of these, so that it can be run on another
 *  clock. */
using Clock = std::function<std::chrono::system_clock::time_point()>;

/** Makes a query helper on a connection of its own. Each reader gets one;
 *  the daemon's make a new connection to the system bus each time. */
using HelperFactory = std::function<std::unique_ptr<DbusHelperInterface>()>;

/** The system clock. */
std::chrono::system_clock::time_point systemNow();

/** A new bmcmon::DbusHelper on a new connection to the system bus, ready
 *  for use (connected and authenticated). Throws sdbus::SdBusError when the
 *  bus cannot be reached. */
std::unique_ptr<DbusHelperInterface> newSystemHelper();

} // namespace bmcmon
