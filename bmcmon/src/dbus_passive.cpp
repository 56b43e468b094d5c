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

std::optional<SensorSource> openSensor(sdbus::Bus& bus, const std::string& type,
                                       const std::string& id,
                                       DbusHelperInterface* helper,
                                       const PassiveSensorConfig& info,
                                       const char* factory, const char* reader)
{
    if (helper == nullptr)
    {
        std::cerr << factory << ": helper=null" << std::endl;
        return std::nullopt;
    }
    if (!validType(type))
    {
        std::cerr << factory << ": invalid type" << std::endl;
        return std::nullopt;
    }

    try
    {
        SensorSource source;
        source.watch =
            watchObject(bus, reader, type, id, *helper, sensorValueInterface);
        source.path = source.watch->getPath();
        const std::string& service = source.watch->getService();
        helper->readSensorValue(service, source.path, source.settings);
        source.failed = helper->readCriticalAlarms(service, source.path);
        if (info.skipDbusMinMax)
        {
            source.settings.min = 0;
            source.settings.max = 0;
        }
        return source;
    }
    catch (const std::exception& e)
    {
        std::cerr << factory << ": exception: " << e.what() << std::endl;
        return std::nullopt;
    }
}

std::unique_ptr<ReadInterface>
    createDbusPassive(sdbus::Bus& bus, const std::string& type,
                      const std::string& id,
                      std::unique_ptr<DbusHelperInterface>&& helper,
                      const PassiveSensorConfig& info,
                      const std::shared_ptr<DbusPassiveRedundancy>& redundancy)
{
    auto source = openSensor(bus, type, id, helper.get(), info,
                             "createDbusPassive", "DbusPassive");
    if (!source)
    {
        return nullptr;
    }
    return std::make_unique<DbusPassive>(type, id, std::move(helper),
                                         std::move(*source), redundancy);
}

DbusPassive::DbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& sensorId,
    std::unique_ptr<DbusHelperInterface> sensorHelper,
    const SensorValueProperties& settings, bool alarmed,
    const std::string& sensorPath,
    const std::shared_ptr<DbusPassiveRedundancy>& failures) :
    DbusPassive(type, sensorId, std::move(sensorHelper),
                SensorSource{.path = sensorPath,
                             .watch = std::make_unique<ObjectWatch>(
                                 bus, "DbusPassive", getMatch(type, sensorId),
                                 sensorPath, ""),
                             .settings = settings,
                             .failed = alarmed},
                failures)
{}

DbusPassive::DbusPassive(
    const std::string& type, const std::string& sensorId,
    std::unique_ptr<DbusHelperInterface> sensorHelper, SensorSource source,
    const std::shared_ptr<DbusPassiveRedundancy>& failures) :
    watch(std::move(source.watch)),
    scale(source.settings.scale), id(sensorId), helper(std::move(sensorHelper)),
    max(applyScale(source.settings.max, source.settings.scale)),
    min(applyScale(source.settings.min, source.settings.scale)),
    failed(source.failed), zeroIsFailure(type == "margin"), path(source.path),
    redundancy(failures)
{
    watch->follow([this](sdbus::Message& m) { handleSensorSignal(m); },
                  [this] { readAgain(); });
    updateValue(source.settings.value, true);
}

void DbusPassive::readAgain()
{
    try
    {
        SensorValueProperties settings;
        helper->readSensorValue(watch->getService(), path, settings);
        setFailed(helper->readCriticalAlarms(watch->getService(), path));
        updateValue(settings.value, false);
    }
    catch (const std::exception& e)
    {
        std::cerr << "DbusPassive: cannot read " << path
                  << " again: " << e.what() << std::endl;
    }
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

    v = applyScale(v, scale);
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
