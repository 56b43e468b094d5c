#pragma once

#include "bmcmon/dbus_types.hpp"

namespace bmcmon
{

/** A reader of one value that something else keeps current. */
class ReadInterface
{
  public:
    virtual ~ReadInterface() = default;

    /** The last value stored and when it was stored. */
    virtual SensorReading read() = 0;

    /** Whether the value's source is to be treated as failed. */
    virtual bool isFailed() = 0;
};

} // namespace bmcmon
