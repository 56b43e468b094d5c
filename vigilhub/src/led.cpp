#include "led.hpp"

#include "constants.hpp"
#include "journal/journal.hpp"
#include "sdbus/message.hpp"
#include "util.hpp"

#include <syslog.h>

#include <variant>

namespace openbmc::vigilhub
{

sdbus::Bus& serviceBus()
{
    static sdbus::Bus bus = sdbus::Bus::defaultSystem();
    return bus;
}

void safeAssert(const std::string& name, bool asserted)
{
    sdbus::Bus& bus = serviceBus();
    const std::string path = ledGroupPathPrefix + name;

    sdbus::Message get = bus.newMethodCall(
        ledService, path, "org.freedesktop.DBus.Properties", "Get");
    get.append(ledGroupInterface, ledProperty);
    sdbus::Message reply = bus.call(get, ledCallTimeout);
    if (reply.isMethodError())
    {
        throw util::DBusPropertyError("DBus get property failed", ledService,
                                      path, ledGroupInterface, ledProperty);
    }

    // A value of another type than boolean reads as false.
    std::variant<bool> value;
    reply.read(value);
    const bool current = std::get<bool>(value);

    journal::printWithLocation(
        LOG_INFO, "../git/src/led", 49, "safeAssert",
        "Safe assert. name: %s, current: %d, asserted: %d", name.c_str(),
        current ? 1 : 0, asserted ? 1 : 0);

    if (current == asserted)
    {
        return;
    }

    sdbus::Message set = bus.newMethodCall(
        ledService, path, "org.freedesktop.DBus.Properties", "Set");
    set.append(ledGroupInterface, ledProperty, std::variant<bool>(asserted));
    sdbus::Message setReply = bus.call(set, ledCallTimeout);
    if (setReply.isMethodError())
    {
        throw util::DBusPropertyError("DBus set property failed", ledService,
                                      path, ledGroupInterface, ledProperty);
    }
}

} // namespace openbmc::vigilhub
