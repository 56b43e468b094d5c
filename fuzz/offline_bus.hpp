#pragma once

// A bus connection that is never started: objects can be added to it and
// their properties set, and nothing leaves the process.

#include "sdbus/bus.hpp"
#include "sdbus/object_server.hpp"

#include <systemd/sd-bus.h>

#include <cstdlib>

namespace fuzz
{

inline sdbus::Bus offlineBus()
{
    sd_bus* b = nullptr;
    if (sd_bus_new(&b) < 0)
    {
        std::abort();
    }
    return sdbus::Bus(b, true, false);
}

} // namespace fuzz
