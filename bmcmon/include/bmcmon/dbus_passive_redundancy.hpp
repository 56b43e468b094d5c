#pragma once

#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"
#include "sdbus/message.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace bmcmon
{

/** The sensor paths that the fan-redundancy objects on D-Bus declare
 *  failed: filled from the object mapper and every object's GetAll at
 *  construction, then kept current from their PropertiesChanged signals:
 *  those of the owner of a service that the object mapper names for the
 *  object (others are dropped, with a priority 4 journal entry at most
 *  once a minute).
 *
 *  The connection is used for the match and for every call; it must outlive
 *  this object and be driven by the event loop of this thread. */
class DbusPassiveRedundancy
{
  public:
    /** Throws sdbus::SdBusError when the signal match cannot be added. */
    explicit DbusPassiveRedundancy(sdbus::Bus& bus);

    DbusPassiveRedundancy(const DbusPassiveRedundancy&) = delete;
    DbusPassiveRedundancy& operator=(const DbusPassiveRedundancy&) = delete;

    const std::set<std::string>& getFailedSet() const
    {
        return failedSet;
    }

  private:
    void populateFailures();
    void handleRedundancySignal(sdbus::Message& message);
    /** Whether the signal's sender holds the object it names. */
    bool fromHolder(sdbus::Message& message);

    sdbus::Bus& bus;
    std::unique_ptr<sdbus::Match> match;
    std::set<std::string> failedSet;
    std::optional<std::chrono::steady_clock::time_point> lastForeignLog;
};

} // namespace bmcmon
