#include "thermal_mode_dbus_passive.hpp"

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
constexpr const char* thermalModeInterface =
    "xyz.openbmc_project.Control.ThermalMode";
} // namespace

std::unique_ptr<ThermalModeDbusPassive> createThermalModeDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper, const PassiveSensorConfig&,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clock clock)
{
    if (helper == nullptr)
    {
        std::cerr << "createThermalModeDbusPassive: helper=null" << std::endl;
        return nullptr;
    }
    std::string path;
    int mode = FanMode::unknown;
    try
    {
        path = getSensorPath(type, id);
        std::string service = helper->lookupService(thermalModeInterface, path);
        helper->readThermalMode(service, path, mode);
    }
    catch (const std::exception& e)
    {
        std::cerr << "createThermalModeDbusPassive: exception: " << e.what()
                  << std::endl;
        return nullptr;
    }
    return std::make_unique<ThermalModeDbusPassive>(
        bus, type, id, std::move(helper), mode, path, redundancy,
        std::move(clock));
}

ThermalModeDbusPassive::ThermalModeDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& modeId,
    std::unique_ptr<DbusHelperInterface> modeHelper, int initial,
    const std::string& modePath,
    const std::shared_ptr<DbusPassiveRedundancy>& failures, Clock now) :
    id(modeId),
    helper(std::move(modeHelper)), path(modePath), redundancy(failures),
    clock(std::move(now))
{
    try
    {
        match = std::make_unique<sdbus::Match>(bus, getMatch(type, modeId),
                                               [this](sdbus::Message& m) {
            handleThermalModeSignal(m);
        });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "ThermalModeDbusPassive: no signals will be followed for "
                  << path << ": " << e.what() << std::endl;
    }
    setThermalMode(initial);
}

SensorReading ThermalModeDbusPassive::read()
{
    std::lock_guard<std::mutex> guard(lock);
    return {0.0, updated};
}

bool ThermalModeDbusPassive::isFailed()
{
    return redundancy && redundancy->getFailedSet().contains(path);
}

void ThermalModeDbusPassive::setThermalMode(int m)
{
    std::lock_guard<std::mutex> guard(lock);
    mode = m;
    updated = clock();
}

int ThermalModeDbusPassive::getThermalMode()
{
    return mode;
}

void ThermalModeDbusPassive::handleThermalModeSignal(sdbus::Message& message)
{
    std::optional<std::string> current;
    try
    {
        std::string intf;
        message.read(intf);
        if (intf != thermalModeInterface)
        {
            return;
        }
        forEachChanged(message,
                       [&](const std::string& name, const std::string&) {
            if (name != "Current")
            {
                return false;
            }
            current = std::get<std::string>(
                readVariant<std::variant<std::string>>(message));
            return true;
        });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "ThermalModeDbusPassive: ignoring unreadable signal of "
                  << path << ": " << e.what() << std::endl;
        return;
    }
    if (current)
    {
        int code = thermalModeCode(*current);
        if (code != FanMode::unknown)
        {
            setThermalMode(code);
        }
    }
}

} // namespace bmcmon
