#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_passive_redundancy.hpp"
#include "bmcmon/object_watch.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "factories.hpp"
#include "sdbus/bus.hpp"
#include "setting_dbus_passive.hpp"

#include <chrono>
#include <memory>
#include <string>

namespace bmcmon
{

/** The host's power state (a HostPowerState code) and the time of its last
 *  change, kept current from the host's PropertiesChanged signals. */
class HostStateDbusPassive : public SettingDbusPassive
{
  public:
    using Setting = int;
    static const SettingReaderTraits traits;
    static void readInitial(DbusHelperInterface& helper,
                            const std::string& service, const std::string& path,
                            int& state)
    {
        helper.readHostState(service, path, state);
    }

    /** Follows `watch` and stores `state` as a change from 0, so a first
     *  state of running or off counts as a change made now. */
    HostStateDbusPassive(
        std::unique_ptr<DbusHelperInterface> helper,
        std::unique_ptr<ObjectWatch> watch, int state,
        const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
        Clocks clocks);

    /** Stores a new state; a change is stamped with the time now and
     *  written on standard error, an unchanged state changes nothing. */
    void setHostState(int state);
    /** The state, and in `changeTime` the steady-clock time of its last
     *  change (the clock's epoch while the state has been 0 since
     *  construction). */
    int getHostState(std::chrono::steady_clock::time_point& changeTime);

  private:
    Store takeChanged(sdbus::Message& m, const std::string& name,
                      const std::string& contents) override;
    void readSetting(DbusHelperInterface& helper, const std::string& service,
                     const std::string& path) override;

    int state = HostPowerState::other;
    std::chrono::steady_clock::time_point changed{};
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
    Clocks clocks = {});

} // namespace bmcmon
