#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_passive_redundancy.hpp"
#include "bmcmon/dbus_types.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "bmcmon/read_interface.hpp"
#include "factories.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"
#include "sdbus/message.hpp"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace bmcmon
{

/** The host's power state (a HostPowerState code) and the time of its last
 *  change, kept current from the host's PropertiesChanged signals. */
class HostStateDbusPassive : public ReadInterface
{
  public:
    /** Follows the host's signals on `bus` and stores `state` as a change
     *  from 0, so a first state of running or off counts as a change made
     *  now. */
    HostStateDbusPassive(
        sdbus::Bus& bus, const std::string& type, const std::string& id,
        std::unique_ptr<DbusHelperInterface> helper, int state,
        const std::string& path,
        const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
        Clock clock = systemNow);

    HostStateDbusPassive(const HostStateDbusPassive&) = delete;
    HostStateDbusPassive& operator=(const HostStateDbusPassive&) = delete;

    /** Value 0 and the time of the last change. */
    SensorReading read() override;
    /** True only while a redundancy set names the object. */
    bool isFailed() override;

    /** Stores a new state; a change is stamped with the time now and
     *  written on standard error, an unchanged state changes nothing. */
    void setHostState(int state);
    /** The state, and in `changeTime` the time of its last change (the
     *  epoch while the state has been 0 since construction). */
    int getHostState(std::chrono::system_clock::time_point& changeTime);

    /** One PropertiesChanged signal of the host; never throws. */
    void handleHostSignal(sdbus::Message& message);

  private:
    std::unique_ptr<sdbus::Match> match;
    std::string id;
    std::unique_ptr<DbusHelperInterface> helper;
    std::mutex lock;
    int state = HostPowerState::other;
    std::string path;
    std::shared_ptr<DbusPassiveRedundancy> redundancy;
    Clock clock;
    std::chrono::system_clock::time_point updated;
};

/** A host-state reader of the object that getSensorPath(type, id) names,
 *  read once through `helper` (taken over on success); nothing when the
 *  helper is missing or the host cannot be read (standard error says
 *  why). */
std::unique_ptr<HostStateDbusPassive> createHostStateDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper,
    const PassiveSensorConfig& info,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
    Clock clock = systemNow);

} // namespace bmcmon
