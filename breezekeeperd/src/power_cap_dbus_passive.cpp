#include "power_cap_dbus_passive.hpp"

#include "bmcmon/property_decode.hpp"

#include <iostream>
#include <variant>

namespace bmcmon
{

const SettingReaderTraits PowerCapDbusPassive::traits = {
    .reader = "PowerCapDbusPassive",
    .factory = "createPowerCapDbusPassive",
    .interface = "xyz.openbmc_project.Control.Power.Cap"};

std::unique_ptr<PowerCapDbusPassive> createPowerCapDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper, const PassiveSensorConfig&,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clocks clocks)
{
    return createSettingReader<PowerCapDbusPassive>(
        bus, type, id, std::move(helper), redundancy, std::move(clocks));
}

PowerCapDbusPassive::PowerCapDbusPassive(
    std::unique_ptr<DbusHelperInterface> helper,
    std::unique_ptr<ObjectWatch> watch, const PowerCapSetting& setting,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clocks clocks) :
    SettingDbusPassive(traits, std::move(helper), std::move(watch), redundancy,
                       std::move(clocks))
{
    setPowerCap(setting.cap);
    setPowerCapEnable(setting.enabled);
}

void PowerCapDbusPassive::setPowerCap(uint32_t c)
{
    std::lock_guard<std::mutex> guard(lock);
    cap = c;
    stamp();
}

void PowerCapDbusPassive::setPowerCapEnable(bool b)
{
    std::lock_guard<std::mutex> guard(lock);
    enabled = b;
}

uint32_t PowerCapDbusPassive::getPowerCap()
{
    return cap;
}

bool PowerCapDbusPassive::getPowerCapEnable()
{
    return enabled;
}

SettingDbusPassive::Store
    PowerCapDbusPassive::takeChanged(sdbus::Message& m, const std::string& name,
                                     const std::string& contents)
{
    if (name != "PowerCapEnable" && name != "PowerCap")
    {
        return nullptr;
    }
    const bool isCap = (name == "PowerCap");
    if (contents != (isCap ? "u" : "b"))
    {
        std::cerr << "PowerCapDbusPassive: ignoring " << name << " of "
                  << getPath() << ": unexpected type " << contents << std::endl;
        return nullptr;
    }
    if (isCap)
    {
        const uint32_t c =
            std::get<uint32_t>(readVariant<std::variant<uint32_t>>(m));
        return [this, c] { setPowerCap(c); };
    }
    const bool b = std::get<bool>(readVariant<std::variant<bool>>(m));
    return [this, b] { setPowerCapEnable(b); };
}

void PowerCapDbusPassive::readSetting(DbusHelperInterface& helper,
                                      const std::string& service,
                                      const std::string& path)
{
    PowerCapSetting setting;
    readInitial(helper, service, path, setting);
    setPowerCap(setting.cap);
    setPowerCapEnable(setting.enabled);
}

} // namespace bmcmon
