#pragma once

#include <systemd/sd-bus.h>

#include <memory>

namespace platformsim
{

struct BusCloser
{
    void operator()(sd_bus* bus) const
    {
        sd_bus_flush_close_unref(bus);
    }
};

struct MessageUnref
{
    void operator()(sd_bus_message* m) const
    {
        sd_bus_message_unref(m);
    }
};

struct SlotUnref
{
    void operator()(sd_bus_slot* slot) const
    {
        sd_bus_slot_unref(slot);
    }
};

using BusPtr = std::unique_ptr<sd_bus, BusCloser>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

/** Takes a new reference on a message. */
inline MessagePtr refMessage(sd_bus_message* m)
{
    return MessagePtr(sd_bus_message_ref(m));
}

} // namespace platformsim
