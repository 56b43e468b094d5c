#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_types.hpp"
#include "setting_dbus_passive.hpp"

#include <cstdint>

namespace bmcmon
{

/** The power cap (watts) and its enable flag, kept current from the
 *  setting's PropertiesChanged signals: PowerCapEnable (a boolean) and
 *  PowerCap (an unsigned 32-bit number); a value of another type is
 *  reported on standard error and ignored. */
class PowerCapDbusPassive :
    public SettingReader<PowerCapDbusPassive, PowerCapSetting>
{
  public:
    static constexpr SettingReaderTraits traits = {
        .reader = "PowerCapDbusPassive",
        .factory = "createPowerCapDbusPassive",
        .interface = "xyz.openbmc_project.Control.Power.Cap"};
    static constexpr auto helperRead = &DbusHelperInterface::readPowerCap;

    using SettingReader::SettingReader;

    /** Stores the cap and stamps it with the time now. */
    void setPowerCap(uint32_t cap);
    /** Stores the flag; the time stays. */
    void setPowerCapEnable(bool enabled);
    uint32_t getPowerCap();
    bool getPowerCapEnable();

  private:
    Store takeChanged(sdbus::Message& m, const std::string& name,
                      const std::string& contents) override;
    /** Nothing: a read clears what it does not find. */
    PowerCapSetting current() override
    {
        return {};
    }
    void storeSetting(const PowerCapSetting& setting, bool first) override;

    uint32_t cap = 0;
    bool enabled = false;
};

/** A power-cap reader of the object that getSensorPath(type, id) names:
 *  (bus, type, id, helper (taken over on success), config, redundancy[,
 *  clocks]); nothing when the helper is missing or the setting cannot be
 *  read (standard error says why). */
inline constexpr SettingReaderFactory<PowerCapDbusPassive>
    createPowerCapDbusPassive{};

} // namespace bmcmon
