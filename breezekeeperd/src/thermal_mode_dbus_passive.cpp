#include "thermal_mode_dbus_passive.hpp"

namespace bmcmon
{

void ThermalModeDbusPassive::setThermalMode(int m)
{
    std::lock_guard<std::mutex> guard(lock);
    mode = m;
    stamp();
}

int ThermalModeDbusPassive::getThermalMode()
{
    return mode;
}

SettingDbusPassive::Store ThermalModeDbusPassive::takeChanged(
    sdbus::Message& m, const std::string& name, const std::string&)
{
    if (name != "Current")
    {
        return nullptr;
    }
    return [this, code = thermalModeCode(readText(m))] {
        storeSetting(code, false);
    };
}

void ThermalModeDbusPassive::storeSetting(const int& setting, bool first)
{
    if (first || setting != FanMode::unknown)
    {
        setThermalMode(setting);
    }
}

} // namespace bmcmon
