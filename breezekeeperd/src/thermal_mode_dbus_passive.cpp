#include "thermal_mode_dbus_passive.hpp"

#include "bmcmon/property_decode.hpp"

#include <variant>

namespace bmcmon
{

const SettingReaderTraits ThermalModeDbusPassive::traits = {
    .reader = "ThermalModeDbusPassive",
    .factory = "createThermalModeDbusPassive",
    .interface = "xyz.openbmc_project.Control.ThermalMode"};

std::unique_ptr<ThermalModeDbusPassive> createThermalModeDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper, const PassiveSensorConfig&,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clocks clocks)
{
    return createSettingReader<ThermalModeDbusPassive>(
        bus, type, id, std::move(helper), redundancy, std::move(clocks));
}

ThermalModeDbusPassive::ThermalModeDbusPassive(
    std::unique_ptr<DbusHelperInterface> helper,
    std::unique_ptr<ObjectWatch> watch, int initial,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clocks clocks) :
    SettingDbusPassive(traits, std::move(helper), std::move(watch), redundancy,
                       std::move(clocks))
{
    setThermalMode(initial);
}

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
    const int code = thermalModeCode(
        std::get<std::string>(readVariant<std::variant<std::string>>(m)));
    return [this, code] {
        if (code != FanMode::unknown)
        {
            setThermalMode(code);
        }
    };
}

void ThermalModeDbusPassive::readSetting(DbusHelperInterface& helper,
                                         const std::string& service,
                                         const std::string& path)
{
    int m = getThermalMode();
    readInitial(helper, service, path, m);
    if (m != FanMode::unknown)
    {
        setThermalMode(m);
    }
}

} // namespace bmcmon
