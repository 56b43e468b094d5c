#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_passive_redundancy.hpp"
#include "bmcmon/object_watch.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "factories.hpp"
#include "sdbus/bus.hpp"
#include "setting_dbus_passive.hpp"

#include <memory>
#include <string>

namespace bmcmon
{

/** The thermal mode the user chose, as a FanMode code (2 to 5), kept
 *  current from the setting's PropertiesChanged signals; a mode name that
 *  is not one of the four leaves the mode as it was. */
class ThermalModeDbusPassive : public SettingDbusPassive
{
  public:
    using Setting = int;
    static const SettingReaderTraits traits;
    static void readInitial(DbusHelperInterface& helper,
                            const std::string& service, const std::string& path,
                            int& mode)
    {
        helper.readThermalMode(service, path, mode);
    }

    /** Follows `watch` and stores `mode`. */
    ThermalModeDbusPassive(
        std::unique_ptr<DbusHelperInterface> helper,
        std::unique_ptr<ObjectWatch> watch, int mode,
        const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
        Clocks clocks);

    /** Stores the mode and stamps it with the time now. */
    void setThermalMode(int mode);
    /** The last recognised mode; 0 only when none was recognised at the
     *  first read and none since. */
    int getThermalMode();

  private:
    Store takeChanged(sdbus::Message& m, const std::string& name,
                      const std::string& contents) override;
    void readSetting(DbusHelperInterface& helper, const std::string& service,
                     const std::string& path) override;

    int mode = FanMode::unknown;
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
    Clocks clocks = {});

} // namespace bmcmon
