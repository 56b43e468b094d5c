#include "power_cap_dbus_passive.hpp"

#include "bmcmon/property_decode.hpp"

#include <iostream>
#include <variant>

namespace bmcmon
{

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
        return
            [this,
             c = std::get<uint32_t>(readVariant<std::variant<uint32_t>>(m))] {
            setPowerCap(c);
            };
    }
    return [this, b = std::get<bool>(readVariant<std::variant<bool>>(m))] {
        setPowerCapEnable(b);
    };
}

void PowerCapDbusPassive::storeSetting(const PowerCapSetting& setting, bool)
{
    setPowerCap(setting.cap);
    setPowerCapEnable(setting.enabled);
}

} // namespace bmcmon
