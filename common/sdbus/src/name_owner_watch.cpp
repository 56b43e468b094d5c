#include "sdbus/name_owner_watch.hpp"

#include "sdbus/error.hpp"

namespace sdbus
{

namespace
{

std::string ownerRule(const std::string& name)
{
    return "type='signal',sender='org.freedesktop.DBus',"
           "path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
           "member='NameOwnerChanged',arg0='" +
           name + "'";
}

} // namespace

std::string askNameOwner(Bus& bus, const std::string& name,
                         std::chrono::microseconds timeout)
{
    try
    {
        Message call =
            bus.newMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "GetNameOwner");
        call.append(name);
        Message reply = bus.call(call, timeout);
        std::string owner;
        reply.read(owner);
        return owner;
    }
    catch (const Exception&)
    {
        // NameHasNoOwner, or a bus that does not answer: nobody known.
        return {};
    }
}

NameOwnerWatch::NameOwnerWatch(Bus& bus, const std::string& name,
                               Callback callback) :
    wellKnown(name),
    onNewOwner(std::move(callback))
{
    match = std::make_unique<Match>(bus, ownerRule(name),
                                    [this](Message& m) { handleChange(m); });
    current = askNameOwner(bus, name, askTimeout);
}

void NameOwnerWatch::handleChange(Message& message)
{
    std::string changed;
    std::string oldOwner;
    std::string newOwner;
    try
    {
        message.read(changed, oldOwner, newOwner);
    }
    catch (const Exception&)
    {
        // Only the bus daemon matches the rule; it sends no other body.
        return;
    }
    if (changed != wellKnown)
    {
        return;
    }
    current = newOwner;
    if (!newOwner.empty() && onNewOwner)
    {
        onNewOwner(newOwner);
    }
}

} // namespace sdbus
