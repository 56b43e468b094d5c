#pragma once

#include "sdbus/bus.hpp"

#include <string>

namespace openbmc::vigilhub
{

/** The service's own connection: this thread's default system bus, the
 *  same one main drives with its event loop. Created at first use. */
sdbus::Bus& serviceBus();

/** Brings the LED group `name` to the wanted state: reads its Asserted
 *  property and writes it only when it differs. Throws sdbus::SdBusError
 *  or util::DBusPropertyError when the group manager fails. */
void safeAssert(const std::string& name, bool asserted);

} // namespace openbmc::vigilhub
