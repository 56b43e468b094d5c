#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_passive_redundancy.hpp"
#include "bmcmon/dbus_types.hpp"
#include "bmcmon/object_watch.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "factories.hpp"
#include "sdbus/bus.hpp"
#include "setting_dbus_passive.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace bmcmon
{

/** The power cap (watts) and its enable flag, kept current from the
 *  setting's PropertiesChanged signals: PowerCapEnable (a boolean) and
 *  PowerCap (an unsigned 32-bit number); a value of another type is
 *  reported on standard error and ignored. */
class PowerCapDbusPassive : public SettingDbusPassive
{
  public:
    using Setting = PowerCapSetting;
    static const SettingReaderTraits traits;
    static void readInitial(DbusHelperInterface& helper,
                            const std::string& service, const std::string& path,
                            PowerCapSetting& setting)
    {
        helper.readPowerCap(service, path, setting);
    }

    /** Follows `watch` and stores `setting`. */
    PowerCapDbusPassive(
        std::unique_ptr<DbusHelperInterface> helper,
        std::unique_ptr<ObjectWatch> watch, const PowerCapSetting& setting,
        const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
        Clocks clocks);

    /** Stores the cap and stamps it with the time now. */
    void setPowerCap(uint32_t cap);
    /** Stores the flag; the time stays. */
    void setPowerCapEnable(bool enabled);
    uint32_t getPowerCap();
    bool getPowerCapEnable();

  private:
    Store takeChanged(sdbus::Message& m, const std::string& name,
                      const std::string& contents) override;
    void readSetting(DbusHelperInterface& helper, const std::string& service,
                     const std::string& path) override;

    uint32_t cap = 0;
    bool enabled = false;
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
    Clocks clocks = {});

} // namespace bmcmon
