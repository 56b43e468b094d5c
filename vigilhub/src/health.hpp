#pragma once

#include "sdbus/match.hpp"
#include "sdbus/message.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

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
 *  the system-fault LED group asserted while it is false.
 *
 *  A failed call of the LED group manager is made good without waiting for
 *  the next change of a flag: the combination of the current flags is
 *  applied again when the manager's name gets an owner, and every
 *  retryInterval while the last call failed. */
class Health
{
  public:
    static constexpr std::chrono::seconds retryInterval{10};

    /** Items in the given order; their position is their index. The retry
     *  timer runs on `io`. */
    Health(boost::asio::io_context& io, const std::vector<std::string>& names);

    Health(const Health&) = delete;
    Health& operator=(const Health&) = delete;

    /** Subscribes to every item's object, marks every item healthy and
     *  brings the LED group into line. Throws when the LED group manager
     *  fails. */
    void start();

    /** The match callback of item `idx`. Never throws: a signal that cannot
     *  be read and a failure of the LED group manager are logged. */
    void propertiesChanged(std::size_t idx, sdbus::Message& msg);

    /** The match callback of the LED group manager's NameOwnerChanged: a
     *  manager that (re)appears gets the current combination. */
    void ledManagerChanged(sdbus::Message& msg);

  private:
    /** The AND of every item's status. */
    bool combined() const;
    /** Brings the LED group into line with `status`, which then is the
     *  state acted on. On failure arms the retry and rethrows. */
    void actOn(bool status);
    /** Applies the current combination once; a failure is not logged
     *  again, it was when first met. */
    void retry();
    void armRetry();

    std::vector<HealthItem> items;
    /** The combined state last acted on. */
    bool overall = true;
    std::unique_ptr<sdbus::Match> ledOwnerMatch;
    boost::asio::steady_timer retryTimer;
    /** The unique name of the service's connection: the one sender whose
     *  signals are acted on. */
    std::string ownName;
    /** When a signal of another sender was last logged. */
    std::optional<std::chrono::steady_clock::time_point> lastForeignLog;
};

} // namespace openbmc::vigilhub
