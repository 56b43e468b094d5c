#include "health.hpp"

#include "constants.hpp"
#include "journal/journal.hpp"
#include "led.hpp"
#include "util.hpp"

#include <syslog.h>

#include <chrono>
#include <optional>
#include <variant>

namespace openbmc::vigilhub
{

namespace
{

constexpr const char* journalFile = "../git/src/health";
// Lines of the warnings for what is ignored while running.
constexpr int badSignalLine = 77;
constexpr int ledFailureLine = 111;
constexpr int foreignSignalLine = 82;
/** Least time between two entries about signals of other senders. */
constexpr std::chrono::seconds foreignSignalLogPeriod{60};

/** NameOwnerChanged of the LED group manager's name, from the bus. */
std::string ledOwnerRule()
{
    return "type='signal',sender='org.freedesktop.DBus',"
           "path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
           "member='NameOwnerChanged',arg0='" +
           ledService + "'";
}

std::string matchRule(const std::string& path)
{
    return "type='signal',path='" + path +
           "',member='PropertiesChanged',"
           "interface='org.freedesktop.DBus.Properties',arg0='" +
           statusInterface + "',";
}

/** The Health value a PropertiesChanged body carries, nullopt when it
 *  carries none. Throws when the body cannot be read or Health is not a
 *  boolean. */
std::optional<bool> readHealth(sdbus::Message& msg)
{
    std::string interface;
    msg.read(interface);

    if (!msg.enterContainer('a', "{sv}"))
    {
        throw util::DBusError("changed properties are not a{sv} but '" +
                              msg.signature() + "'");
    }
    std::optional<bool> health;
    while (msg.enterContainer('e', "sv"))
    {
        std::string name;
        msg.read(name);
        if (name == healthProperty)
        {
            auto [type, contents] = msg.peekType();
            if (type != 'v' || contents != "b")
            {
                throw util::DBusError("Health is of type '" + contents +
                                      "', not a boolean");
            }
            std::variant<bool> value;
            msg.read(value);
            health = std::get<bool>(value);
        }
        else
        {
            msg.skip("v");
        }
        msg.exitContainer();
    }
    msg.exitContainer();
    return health;
}

} // namespace

Health::Health(boost::asio::io_context& io,
               const std::vector<std::string>& names) :
    retryTimer(io)
{
    items.reserve(names.size());
    for (const auto& name : names)
    {
        items.push_back(HealthItem{false, nullptr, name});
    }
}

void Health::start()
{
    sdbus::Bus& bus = serviceBus();
    ownName = bus.uniqueName();
    for (std::size_t i = 0; i < items.size(); ++i)
    {
        HealthItem& item = items[i];
        item.match = std::make_unique<sdbus::Match>(
            bus, matchRule(basePath + item.name),
            [this, i](sdbus::Message& msg) { propertiesChanged(i, msg); });
        item.status = true;
    }
    ledOwnerMatch = std::make_unique<sdbus::Match>(bus, ledOwnerRule(),
                                                   [this](sdbus::Message& msg) {
        ledManagerChanged(msg);
    });

    overall = combined();

    journal::printWithLocation(LOG_INFO, journalFile, 57, "start",
                               "Start health monitor. current health state: %d",
                               overall ? 1 : 0);

    safeAssert(ledGroupName, !overall);
}

void Health::propertiesChanged(std::size_t idx, sdbus::Message& msg)
{
    std::optional<bool> value;
    try
    {
        value = readHealth(msg);
    }
    catch (const std::exception& e)
    {
        // A malformed signal, from whichever sender, must not end the
        // service and lose every flag.
        journal::printWithLocation(
            LOG_WARNING, journalFile, badSignalLine, "propertiesChanged",
            "Ignoring unreadable properties changed signal. idx: %d, "
            "sender: %s, error: %s",
            static_cast<int>(idx), msg.sender().c_str(), e.what());
        return;
    }
    if (!value)
    {
        return;
    }
    // Anyone may emit a signal on these paths; only the flags this service
    // publishes, whose changes it signals itself, count.
    if (msg.sender() != ownName)
    {
        auto now = std::chrono::steady_clock::now();
        if (!lastForeignLog || now - *lastForeignLog >= foreignSignalLogPeriod)
        {
            lastForeignLog = now;
            journal::printWithLocation(
                LOG_WARNING, journalFile, foreignSignalLine,
                "propertiesChanged",
                "Ignoring properties changed signal of another sender. "
                "idx: %d, sender: %s",
                static_cast<int>(idx), msg.sender().c_str());
        }
        return;
    }

    items[idx].status = *value;
    const bool newStatus = combined();

    journal::printWithLocation(
        LOG_INFO, journalFile, 93, "propertiesChanged",
        "properties changed. idx: %d, value: %d, current: %d, newStatus: %d",
        static_cast<int>(idx), *value ? 1 : 0, overall ? 1 : 0,
        newStatus ? 1 : 0);

    if (newStatus == overall)
    {
        return;
    }
    try
    {
        actOn(newStatus);
    }
    catch (const std::exception& e)
    {
        // The state acted on stays as it was, so the next change of a flag
        // calls the LED group manager again, and so does the retry.
        journal::printWithLocation(
            LOG_WARNING, journalFile, ledFailureLine, "propertiesChanged",
            "Safe assert failed, will retry on the next change. name: %s, "
            "asserted: %d, error: %s",
            ledGroupName.c_str(), newStatus ? 0 : 1, e.what());
    }
}

void Health::ledManagerChanged(sdbus::Message& msg)
{
    std::string name;
    std::string oldOwner;
    std::string newOwner;
    try
    {
        msg.read(name, oldOwner, newOwner);
    }
    catch (const std::exception&)
    {
        // The rule names the bus daemon as sender, which sends no other
        // body; there is nothing to act on.
        return;
    }
    if (!newOwner.empty())
    {
        retry();
    }
}

bool Health::combined() const
{
    bool status = true;
    for (const auto& item : items)
    {
        status = status && item.status;
    }
    return status;
}

void Health::actOn(bool status)
{
    try
    {
        safeAssert(ledGroupName, !status);
    }
    catch (...)
    {
        armRetry();
        throw;
    }
    overall = status;
    retryTimer.cancel();
}

void Health::retry()
{
    try
    {
        actOn(combined());
    }
    catch (const std::exception&)
    {
        // Logged when the change was first acted on; the timer tries again.
    }
}

void Health::armRetry()
{
    // Re-arming cancels a wait still pending: one retry at a time.
    retryTimer.expires_after(retryInterval);
    retryTimer.async_wait([this](const boost::system::error_code& ec) {
        if (!ec)
        {
            retry();
        }
    });
}

} // namespace openbmc::vigilhub
