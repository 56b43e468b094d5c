#pragma once

#include "sdbus/bus.hpp"

#include <chrono>
#include <string>

namespace openbmc::vigilhub
{

/** The service's own connection: this thread's default system bus, the
 *  same one main drives with its event loop. Created at first use. */
sdbus::Bus& serviceBus();

/** How long each call of the LED group manager may take: a manager that
 *  owns its name but hangs must not hold the event loop, and with it every
 *  client of the flags. */
constexpr std::chrono::seconds ledCallTimeout{2};

/** Brings the LED group `name` to the wanted state: reads its Asserted
 *  property and writes it only when it differs. Throws sdbus::SdBusError
 *  or util::DBusPropertyError when the group manager fails or does not
 *  answer within ledCallTimeout. */
void safeAssert(const std::string& name, bool asserted);

} // namespace openbmc::vigilhub
