#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_types.hpp"
#include "setting_dbus_passive.hpp"

namespace bmcmon
{

/** The thermal mode the user chose, as a FanMode code (2 to 5), kept
 *  current from the setting's PropertiesChanged signals. Only the first
 *  read stores 0 for a name that is not one of the four; later ones leave
 *  the mode as it was. */
class ThermalModeDbusPassive : public SettingReader<ThermalModeDbusPassive, int>
{
  public:
    static constexpr SettingReaderTraits traits = {
        .reader = "ThermalModeDbusPassive",
        .factory = "createThermalModeDbusPassive",
        .interface = "xyz.openbmc_project.Control.ThermalMode"};
    static constexpr auto helperRead = &DbusHelperInterface::readThermalMode;

    using SettingReader::SettingReader;

    /** Stores the mode and stamps it with the time now. */
    void setThermalMode(int mode);
    /** The last recognised mode; 0 only when none was recognised at the
     *  first read and none since. */
    int getThermalMode();

  private:
    Store takeChanged(sdbus::Message& m, const std::string& name,
                      const std::string& contents) override;
    int current() override
    {
        return getThermalMode();
    }
    void storeSetting(const int& setting, bool first) override;

    int mode = FanMode::unknown;
};

/** A thermal-mode reader of the object that getSensorPath(type, id)
 *  names: (bus, type, id, helper (taken over on success), config,
 *  redundancy[, clocks]); nothing when the helper is missing or the
 *  setting cannot be read (standard error says why). */
inline constexpr SettingReaderFactory<ThermalModeDbusPassive>
    createThermalModeDbusPassive{};

} // namespace bmcmon
