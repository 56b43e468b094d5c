#pragma once

#include "sdbus/match.hpp"
#include "sdbus/message.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace openbmc::vigilhub
{

/** One watched health object. */
struct HealthItem
{
    /** The last Health value seen; false until start(). */
    bool status = false;
    /** The subscription to the object's PropertiesChanged signal. */
    std::unique_ptr<sdbus::Match> match;
    /** "fan", "power" or "disk": the last element of the object path. */
    std::string name;
};

/** Combines the health flags into the server's overall health and keeps
 *  the system-fault LED group asserted while it is false. */
class Health
{
  public:
    /** Items in the given order; their position is their index. */
    explicit Health(const std::vector<std::string>& names);

    Health(const Health&) = delete;
    Health& operator=(const Health&) = delete;

    /** Subscribes to every item's object, marks every item healthy and
     *  brings the LED group into line. Throws when the LED group manager
     *  fails. */
    void start();

    /** The match callback of item `idx`. Never throws: a signal that cannot
     *  be read and a failure of the LED group manager are logged. */
    void propertiesChanged(std::size_t idx, sdbus::Message& msg);

  private:
    std::vector<HealthItem> items;
    /** The combined state last acted on. */
    bool overall = true;
    /** The unique name of the service's connection: the one sender whose
     *  signals are acted on. */
    std::string ownName;
    /** When a signal of another sender was last logged. */
    std::optional<std::chrono::steady_clock::time_point> lastForeignLog;
};

} // namespace openbmc::vigilhub
