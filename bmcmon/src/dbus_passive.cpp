#include "bmcmon/dbus_passive.hpp"

#include "bmcmon/property_decode.hpp"
#include "bmcmon/sensor_util.hpp"
#include "sdbus/error.hpp"

#include <cmath>
#include <iostream>
#include <limits>
#include <optional>

namespace bmcmon
{

namespace
{

constexpr const char* sensorValueInterface = "xyz.openbmc_project.Sensor.Value";
constexpr const char* criticalInterface =
    "xyz.openbmc_project.Sensor.Threshold.Critical";
constexpr const char* operationalStatusInterface =
    "xyz.openbmc_project.State.Decorator.OperationalStatus";

} // namespace

std::unique_ptr<ReadInterface>
    createDbusPassive(sdbus::Bus& bus, const std::string& type,
                      const std::string& id,
                      std::unique_ptr<DbusHelperInterface>&& helper,
                      const PassiveSensorConfig& info,
                      const std::shared_ptr<DbusPassiveRedundancy>& redundancy)
{
    if (helper == nullptr)
    {
        std::cerr << "createDbusPassive: helper=null" << std::endl;
        return nullptr;
    }
    if (!validType(type))
    {
        std::cerr << "createDbusPassive: invalid type" << std::endl;
        return nullptr;
    }

    try
    {
        std::string path = getSensorPath(type, id);
        std::string service = helper->lookupService(sensorValueInterface, path);
        SensorValueProperties settings;
        helper->readSensorValue(service, path, settings);
        bool failed = helper->readCriticalAlarms(service, path);
        if (info.skipDbusMinMax)
        {
            settings.min = 0;
            settings.max = 0;
        }
        return std::make_unique<DbusPassive>(bus, type, id, std::move(helper),
                                             settings, failed, path,
                                             redundancy);
    }
    catch (const std::exception& e)
    {
        std::cerr << "createDbusPassive: exception: " << e.what() << std::endl;
        return nullptr;
    }
}

DbusPassive::DbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& sensorId,
    std::unique_ptr<DbusHelperInterface> sensorHelper,
    const SensorValueProperties& settings, bool alarmed,
    const std::string& sensorPath,
    const std::shared_ptr<DbusPassiveRedundancy>& failures) :
    scale(settings.scale),
    id(sensorId), helper(std::move(sensorHelper)),
    max(settings.max * std::pow(10.0, static_cast<double>(settings.scale))),
    min(settings.min * std::pow(10.0, static_cast<double>(settings.scale))),
    failed(alarmed), zeroIsFailure(type == "margin"), path(sensorPath),
    redundancy(failures)
{
    try
    {
        match = std::make_unique<sdbus::Match>(bus, getMatch(type, id),
                                               [this](sdbus::Message& m) {
            handleSensorSignal(m);
        });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "DbusPassive: no signals will be followed for " << path
                  << ": " << e.what() << std::endl;
    }
    updateValue(settings.value, true);
}

SensorReading DbusPassive::read()
{
    std::lock_guard<std::mutex> guard(lock);
    return {value, updated};
}

double DbusPassive::getValue()
{
    std::lock_guard<std::mutex> guard(lock);
    return value;
}

void DbusPassive::setValue(double v)
{
    std::lock_guard<std::mutex> guard(lock);
    value = v;
    updated = std::chrono::system_clock::now();
}

void DbusPassive::setFailed(bool v)
{
    failed = v;
}

void DbusPassive::setFunctional(bool v)
{
    functional = v;
}

bool DbusPassive::isFailed()
{
    if (redundancy && redundancy->getFailedSet().contains(path))
    {
        return true;
    }
    if (badReading || zeroReading || failed)
    {
        return true;
    }
    return !functional;
}

void DbusPassive::updateValue(double v, bool force)
{
    badReading = false;
    if (std::isnan(v) || std::fabs(v) > std::numeric_limits<double>::max())
    {
        badReading = true;
        if (!force)
        {
            return;
        }
    }

    v *= std::pow(10.0, static_cast<double>(scale));
    if (zeroIsFailure)
    {
        zeroReading = (v <= 0.0);
    }
    scaleSensorReading(min, max, v);
    setValue(v);
}

namespace
{

/** The boolean that `name` changed to, if the signal carries it; a value of
 *  another type is reported and treated as not carried. */
std::optional<bool> changedBool(const ChangedPropertyMap& changed,
                                const std::string& name,
                                const std::string& path)
{
    auto it = changed.find(name);
    if (it == changed.end())
    {
        return std::nullopt;
    }
    if (!std::holds_alternative<bool>(it->second))
    {
        std::cerr << "DbusPassive: ignoring " << name << " of " << path
                  << ": not a boolean" << std::endl;
        return std::nullopt;
    }
    return std::get<bool>(it->second);
}

} // namespace

void DbusPassive::handleSensorSignal(sdbus::Message& message)
{
    std::string intf;
    ChangedPropertyMap changed;
    try
    {
        message.read(intf);
        changed = readVariantMap<ChangedPropertyValue>(message);
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "DbusPassive: ignoring unreadable signal of " << path
                  << ": " << e.what() << std::endl;
        return;
    }

    if (intf == sensorValueInterface)
    {
        auto it = changed.find("Value");
        if (it != changed.end())
        {
            updateValue(toDouble(it->second), false);
        }
    }
    else if (intf == criticalInterface)
    {
        auto low = changedBool(changed, "CriticalAlarmLow", path);
        auto high = changedBool(changed, "CriticalAlarmHigh", path);
        if (low || high)
        {
            setFailed(low.value_or(false) || high.value_or(false));
        }
    }
    else if (intf == operationalStatusInterface)
    {
        if (auto functionalNow = changedBool(changed, "Functional", path))
        {
            setFunctional(*functionalNow);
        }
    }
}

} // namespace bmcmon
