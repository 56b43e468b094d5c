#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_types.hpp"
#include "setting_dbus_passive.hpp"

#include <chrono>

namespace bmcmon
{

/** The host's power state (a HostPowerState code) and the time of its last
 *  change, kept current from the host's PropertiesChanged signals. The
 *  first state stored counts as a change from 0, so a first state of
 *  running or off is a change made then. */
class HostStateDbusPassive : public SettingReader<HostStateDbusPassive, int>
{
  public:
    static constexpr SettingReaderTraits traits = {
        .reader = "HostStateDbusPassive",
        .factory = "createHostStateDbusPassive",
        .interface = "xyz.openbmc_project.State.Host"};
    static constexpr auto helperRead = &DbusHelperInterface::readHostState;

    using SettingReader::SettingReader;

    /** Stores a new state; a change is stamped with the time now and
     *  written on standard error, an unchanged state changes nothing. */
    void setHostState(int state);
    /** The state, and in `changeTime` the steady-clock time of its last
     *  change (the clock's epoch while the state has been 0). */
    int getHostState(std::chrono::steady_clock::time_point& changeTime);

  private:
    Store takeChanged(sdbus::Message& m, const std::string& name,
                      const std::string& contents) override;
    int current() override;
    void storeSetting(const int& setting, bool first) override;

    int state = HostPowerState::other;
    std::chrono::steady_clock::time_point changed{};
};

/** A host-state reader of the object that getSensorPath(type, id) names:
 *  (bus, type, id, helper (taken over on success), config, redundancy[,
 *  clocks]); nothing when the helper is missing or the host cannot be read
 *  (standard error says why). */
inline constexpr SettingReaderFactory<HostStateDbusPassive>
    createHostStateDbusPassive{};

} // namespace bmcmon
