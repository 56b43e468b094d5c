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

/** The thermal mode the user chose, as a FanMode code (2 to 5), kept
 *  current from the setting's PropertiesChanged signals. */
class ThermalModeDbusPassive : public ReadInterface
{
  public:
    /** Follows the setting's signals on `bus` and stores `mode`. */
    ThermalModeDbusPassive(
        sdbus::Bus& bus, const std::string& type, const std::string& id,
        std::unique_ptr<DbusHelperInterface> helper, int mode,
        const std::string& path,
        const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
        Clock clock = systemNow);

    ThermalModeDbusPassive(const ThermalModeDbusPassive&) = delete;
    ThermalModeDbusPassive& operator=(const ThermalModeDbusPassive&) = delete;

    /** Value 0 and the time the mode was last stored. */
    SensorReading read() override;
    /** True only while a redundancy set names the object. */
    bool isFailed() override;

    /** Stores the mode and stamps it with the time now. */
    void setThermalMode(int mode);
    /** The last recognised mode; 0 only when none was recognised at the
     *  first read and none since. */
    int getThermalMode();

    /** One PropertiesChanged signal of the setting; a mode name that is
     *  not one of the four leaves the mode as it was. Never throws. */
    void handleThermalModeSignal(sdbus::Message& message);

  private:
    std::unique_ptr<sdbus::Match> match;
    std::string id;
    std::unique_ptr<DbusHelperInterface> helper;
    std::mutex lock;
    int mode = FanMode::unknown;
    std::string path;
    std::shared_ptr<DbusPassiveRedundancy> redundancy;
    Clock clock;
    std::chrono::system_clock::time_point updated;
};

/** A thermal-mode reader of the object that getSensorPath(type, id) names,
 *  read once through `helper` (taken over on success); nothing when the
 *  helper is missing or the setting cannot be read (standard error says
 *  why). */
std::unique_ptr<ThermalModeDbusPassive> createThermalModeDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper,
    const PassiveSensorConfig& info,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
    Clock clock = systemNow);

} // namespace bmcmon
