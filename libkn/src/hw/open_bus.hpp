// An I2C bus opened by number, owned as any other descriptor.
#pragma once

#include "libkn/i2c.h"

#include "core/descriptor.hpp"

namespace kn
{

// An open bus (or none), closed once when it goes.
class OpenBus
{
  public:
    OpenBus() = default;
    explicit OpenBus(int bus) : fd(i2c_open(bus)) {}

    bool isOpen() const
    {
        return fd.isOpen();
    }
    int get() const
    {
        return fd.get();
    }
    // Closes this bus and opens another one instead.
    bool reopen(int bus)
    {
        fd.reset(i2c_open(bus));
        return isOpen();
    }
    void close()
    {
        fd.close();
    }

  private:
    Descriptor fd;
};

} // namespace kn
