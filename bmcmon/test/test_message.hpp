#pragma once

#include "sdbus/bus.hpp"
#include "sdbus/message.hpp"

#include <systemd/sd-bus.h>

#include <string>

namespace bmcmon::test
{

/** Makes a message built here readable, as if it had been received. */
inline sdbus::Message& sealed(sdbus::Message& m)
{
    sdbus::detail::check(sd_bus_message_seal(m.get(), 1, 0),
                         "sd_bus_message_seal");
    sdbus::detail::check(sd_bus_message_rewind(m.get(), 1),
                         "sd_bus_message_rewind");
    return m;
}

/** A PropertiesChanged signal of `path` carrying `args`, readable. */
template <typename... Args>
sdbus::Message propertiesChanged(sdbus::Bus& bus, const std::string& path,
                                 const Args&... args)
{
    sdbus::Message m = bus.newSignal(path, "org.freedesktop.DBus.Properties",
                                     "PropertiesChanged");
    m.append(args...);
    return sealed(m);
}

} // namespace bmcmon::test
