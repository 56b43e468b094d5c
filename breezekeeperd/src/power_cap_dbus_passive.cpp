#include "power_cap_dbus_passive.hpp"

#include "bmcmon/property_decode.hpp"
#include "bmcmon/sensor_util.hpp"
#include "changed_properties.hpp"
#include "sdbus/error.hpp"

#include <iostream>
#include <optional>
#include <variant>

namespace bmcmon
{

namespace
{
constexpr const char* powerCapInterface =
    "xyz.openbmc_project.Control.Power.Cap";
} // namespace

std::unique_ptr<PowerCapDbusPassive> createPowerCapDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper, const PassiveSensorConfig&,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clock clock)
{
    if (helper == nullptr)
    {
        std::cerr << "createPowerCapDbusPassive: helper=null" << std::endl;
        return nullptr;
    }
    std::string path;
    PowerCapSetting setting;
    try
    {
        path = getSensorPath(type, id);
        std::string service = helper->lookupService(powerCapInterface, path);
        helper->readPowerCap(service, path, setting);
    }
    catch (const std::exception& e)
    {
        std::cerr << "createPowerCapDbusPassive: exception: " << e.what()
                  << std::endl;
        return nullptr;
    }
    return std::make_unique<PowerCapDbusPassive>(
        bus, type, id, std::move(helper), setting, path, redundancy,
        std::move(clock));
}

PowerCapDbusPassive::PowerCapDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& capId,
    std::unique_ptr<DbusHelperInterface> capHelper,
    const PowerCapSetting& setting, const std::string& capPath,
    const std::shared_ptr<DbusPassiveRedundancy>& failures, Clock now) :
    id(capId),
    helper(std::move(capHelper)), path(capPath), redundancy(failures),
    clock(std::move(now))
{
    try
    {
        match = std::make_unique<sdbus::Match>(bus, getMatch(type, capId),
                                               [this](sdbus::Message& m) {
            handlePowerCapSignal(m);
        });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "PowerCapDbusPassive: no signals will be followed for "
                  << path << ": " << e.what() << std::endl;
    }
    setPowerCap(setting.cap);
    setPowerCapEnable(setting.enabled);
}

SensorReading PowerCapDbusPassive::read()
{
    std::lock_guard<std::mutex> guard(lock);
    return {0.0, updated};
}

bool PowerCapDbusPassive::isFailed()
{
    return redundancy && redundancy->getFailedSet().contains(path);
}

void PowerCapDbusPassive::setPowerCap(uint32_t c)
{
    std::lock_guard<std::mutex> guard(lock);
    cap = c;
    updated = clock();
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

void PowerCapDbusPassive::handlePowerCapSignal(sdbus::Message& message)
{
    std::optional<bool> newEnabled;
    std::optional<uint32_t> newCap;
    try
    {
        std::string intf;
        message.read(intf);
        if (intf != powerCapInterface)
        {
            return;
        }
        forEachChanged(message, [&](const std::string& name,
                                    const std::string& contents) {
            if (name != "PowerCapEnable" && name != "PowerCap")
            {
                return false;
            }
            const char* wanted = (name == "PowerCap") ? "u" : "b";
            if (contents != wanted)
            {
                std::cerr << "PowerCapDbusPassive: ignoring " << name << " of "
                          << path << ": unexpected type " << contents
                          << std::endl;
                return false;
            }
            if (name == "PowerCap")
            {
                newCap = std::get<uint32_t>(
                    readVariant<std::variant<uint32_t>>(message));
            }
            else
            {
                newEnabled =
                    std::get<bool>(readVariant<std::variant<bool>>(message));
            }
            return true;
        });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "PowerCapDbusPassive: ignoring unreadable signal of "
                  << path << ": " << e.what() << std::endl;
        return;
    }
    if (newEnabled)
    {
        setPowerCapEnable(*newEnabled);
    }
    if (newCap)
    {
        setPowerCap(*newCap);
    }
}

} // namespace bmcmon
