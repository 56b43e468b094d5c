#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "factories.hpp"
#include "fan_events.hpp"
#include "fan_manager.hpp"
#include "host_state_dbus_passive.hpp"
#include "power_limit_check.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/name_owner_watch.hpp"
#include "thermal_mode_dbus_passive.hpp"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

namespace bmcmon
{

/** The state of the fan daemon and its one monitor step: confirms fan
 *  changes, keeps the fan health flag of the health service in step with
 *  them, and decides and applies the fan mode (broken, power limit, or the
 *  thermal mode the user chose). */
class FanController
{
  public:
    static constexpr const char* healthService = "xyz.openbmc_project.vigilhub";
    static constexpr const char* fanHealthPath =
        "/xyz/openbmc_project/vigilhub/fan";
    /** The custom fan table of the fan-control service; only its
     *  modification time is read. */
    static constexpr const char* customTableFile =
        "/usr/share/breezekeeper/custom-value.dat";
    /** No health or mode decision is taken this long after start-up. */
    static constexpr std::chrono::seconds gracePeriod{30};
    /** The custom table time before any custom table was applied. */
    static constexpr std::time_t noCustomTime = -2147483648LL;

    /** `bus` is the connection on which every reader follows its object;
     *  `helper` is the controller's own, for the health flag;
     *  `helperFactory` gives each reader a helper of its own. */
    FanController(sdbus::Bus& bus, std::unique_ptr<DbusHelperInterface> helper,
                  HelperFactory helperFactory = newSystemHelper,
                  Clocks clocks = {},
                  std::shared_ptr<FanEventReporter> events =
                      std::make_shared<FanEventReporter>());

    FanController(const FanController&) = delete;
    FanController& operator=(const FanController&) = delete;

    /** Starts the grace period, follows the health service (a new owner
     *  starts with every flag true, so the cached flag is forgotten and the
     *  next step reads it and sets it again if need be) and makes the
     *  host-state reader, the power readers and the thermal-mode reader.
     *  Throws std::runtime_error when the host-state or thermal-mode reader
     *  cannot be made: the daemon cannot work without them. */
    void initFanController();

    /** Makes the fan readers and loads the confirmed fan states. */
    void assignFanIds(const std::vector<uint32_t>& ids);

    /** One monitor step: makes the readers still missing, confirms fan
     *  changes, decides and applies the health flag and the fan mode (after
     *  the grace period), then sends the events of the confirmations. A
     *  health service that cannot be asked holds up nothing: the mode is
     *  decided all the same and the flag is tried again next step. */
    void evaluateFanMode();

    /** The fan health flag as a HealthCode; 0 when the reply lacks it.
     *  Throws what the read throws. */
    int readFanHealth();
    /** Writes the fan health flag; failures are reported, not thrown. */
    void writeFanHealth(bool ok);
    /** The modification time of the custom fan table; false when it
     *  cannot be read. */
    bool customFileTime(std::time_t& out);

    FanManager& getFanManager()
    {
        return manager;
    }
    PowerLimitCheck& getPowerLimitCheck()
    {
        return powerLimit;
    }
    HostStateDbusPassive* getHostStateReader() const
    {
        return hostState.get();
    }
    ThermalModeDbusPassive* getThermalModeReader() const
    {
        return thermalMode.get();
    }
    /** The FanMode applied last (0 before the first switch). */
    int getFanMode() const
    {
        return fanMode;
    }
    /** The HealthCode last read from the health service. */
    int getHealthCode() const
    {
        return healthCode;
    }
    std::time_t getCustomTime() const
    {
        return customTime;
    }

  private:
    /** Switches to `mode`, logging `failure` when the switch fails. */
    void switchMode(int mode, const char* failure);
    /** The health cache from the health service; false when it cannot be
     *  asked (written to the journal once until it can again). */
    bool refreshHealthCode();
    /** Sets the flag to `ok` unless the cache says it is so already. */
    void keepFanHealth(bool ok, bool reachable);
    void applyBrokenMode();
    void applyGoodMode();
    void applyCustomMode();

    sdbus::Bus& bus;
    FanManager manager;
    PowerLimitCheck powerLimit;
    int fanMode = 0;
    std::unique_ptr<HostStateDbusPassive> hostState;
    std::chrono::steady_clock::time_point graceDeadline{};
    std::unique_ptr<ThermalModeDbusPassive> thermalMode;
    std::time_t customTime = noCustomTime;
    int healthCode = HealthCode::unknown;
    std::unique_ptr<DbusHelperInterface> helper;
    HelperFactory helperFactory;
    Clocks clocks;
    std::unique_ptr<sdbus::NameOwnerWatch> healthOwner;
    /** The health service could not be asked, and that was written. */
    bool healthUnreachable = false;
};

} // namespace bmcmon
