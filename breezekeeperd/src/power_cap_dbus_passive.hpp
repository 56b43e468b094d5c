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
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace bmcmon
{

/** The power cap (watts) and its enable flag, kept current from the
 *  setting's PropertiesChanged signals. */
class PowerCapDbusPassive : public ReadInterface
{
  public:
    /** Follows the setting's signals on `bus` and stores `setting`. */
    PowerCapDbusPassive(
        sdbus::Bus& bus, const std::string& type, const std::string& id,
        std::unique_ptr<DbusHelperInterface> helper,
        const PowerCapSetting& setting, const std::string& path,
        const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
        Clock clock = systemNow);

    PowerCapDbusPassive(const PowerCapDbusPassive&) = delete;
    PowerCapDbusPassive& operator=(const PowerCapDbusPassive&) = delete;

    /** Value 0 and the time the cap was last stored. */
    SensorReading read() override;
    /** True only while a redundancy set names the object. */
    bool isFailed() override;

    /** Stores the cap and stamps it with the time now. */
    void setPowerCap(uint32_t cap);
    /** Stores the flag; the time stays. */
    void setPowerCapEnable(bool enabled);
    uint32_t getPowerCap();
    bool getPowerCapEnable();

    /** One PropertiesChanged signal of the setting: PowerCapEnable (a
     *  boolean) first, then PowerCap (an unsigned 32-bit number); a value
     *  of another type is reported on standard error and ignored. Never
     *  throws. */
    void handlePowerCapSignal(sdbus::Message& message);

  private:
    std::unique_ptr<sdbus::Match> match;
    std::string id;
    std::unique_ptr<DbusHelperInterface> helper;
    std::mutex lock;
    uint32_t cap = 0;
    bool enabled = false;
    std::string path;
    std::shared_ptr<DbusPassiveRedundancy> redundancy;
    Clock clock;
    std::chrono::system_clock::time_point updated;
};

/** A power-cap reader of the object that getSensorPath(type, id) names,
 *  read once through `helper` (taken over on success); nothing when the
 *  helper is missing or the setting cannot be read (standard error says
 *  why). */
std::unique_ptr<PowerCapDbusPassive> createPowerCapDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper,
    const PassiveSensorConfig& info,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
    Clock clock = systemNow);

} // namespace bmcmon
