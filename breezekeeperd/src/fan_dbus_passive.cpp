#include "fan_dbus_passive.hpp"

#include "bmcmon/sensor_util.hpp"
#include "changed_properties.hpp"
#include "sdbus/error.hpp"

#include <cmath>
#include <iostream>
#include <optional>

namespace bmcmon
{

namespace
{

constexpr const char* sensorValueInterface = "xyz.openbmc_project.Sensor.Value";
constexpr const char* criticalInterface =
    "xyz.openbmc_project.Sensor.Threshold.Critical";

/** What one signal of a tachometer changes. */
struct FanChange
{
    std::optional<double> value;
    std::optional<bool> low;
    std::optional<bool> high;
};

/** Takes the changed property `name` (of type `contents`) at m's variant
 *  into `change` when it is one the reader follows on that interface and
 *  of a usable type; false to have it skipped (an unusable type is
 *  reported). */
bool takeFanProperty(sdbus::Message& m, bool valueInterface,
                     const std::string& name, const std::string& contents,
                     const std::string& path, FanChange& change)
{
    const bool wanted = valueInterface ? name == "Value"
                                       : (name == "CriticalAlarmLow" ||
                                          name == "CriticalAlarmHigh");
    if (!wanted)
    {
        return false;
    }
    const bool usable =
        valueInterface ? isNumberSignature(contents) : contents == "b";
    if (!usable)
    {
        std::cerr << "FanDbusPassive: ignoring " << name << " of " << path
                  << ": unexpected type " << contents << std::endl;
        return false;
    }
    auto v = readVariant<ChangedPropertyValue>(m);
    if (valueInterface)
    {
        change.value = toDouble(v);
    }
    else if (name == "CriticalAlarmLow")
    {
        change.low = std::get<bool>(v);
    }
    else
    {
        change.high = std::get<bool>(v);
    }
    return true;
}

} // namespace

std::unique_ptr<ReadInterface> createFanDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    uint32_t fanId, std::unique_ptr<DbusHelperInterface>&& helper,
    const PassiveSensorConfig& info, ManagerSubscriber* subscriber)
{
    auto source = openSensor(bus, type, id, helper.get(), info,
                             "createFanDbusPassive", "FanDbusPassive");
    if (!source)
    {
        return nullptr;
    }
    return std::make_unique<FanDbusPassive>(id, fanId, std::move(helper),
                                            std::move(*source), subscriber);
}

FanDbusPassive::FanDbusPassive(
    const std::string& sensorId, uint32_t fan,
    std::unique_ptr<DbusHelperInterface> sensorHelper, SensorSource source,
    ManagerSubscriber* manager) :
    watch(std::move(source.watch)),
    scale(source.settings.scale), id(sensorId), fanId(fan),
    helper(std::move(sensorHelper)),
    max(applyScale(source.settings.max, source.settings.scale)),
    min(applyScale(source.settings.min, source.settings.scale)),
    failed(source.failed), subscriber(manager), path(source.path)
{
    watch->follow([this](sdbus::Message& m) { handleFanSignal(m); },
                  [this] { readAgain(); });
    updateFanValue(source.settings.value, true);
    if (subscriber != nullptr)
    {
        subscriber->notifyStateChanged(fanId);
    }
}

SensorReading FanDbusPassive::read()
{
    std::lock_guard<std::mutex> guard(lock);
    return {value, updated};
}

bool FanDbusPassive::isFailed()
{
    std::lock_guard<std::mutex> guard(lock);
    return failed;
}

void FanDbusPassive::updateFanValue(double v, bool force)
{
    if (!std::isfinite(v) && !force)
    {
        return;
    }
    v = applyScale(v, scale);
    scaleSensorReading(min, max, v);
    setFanValue(v);
}

void FanDbusPassive::setFanValue(double v)
{
    double old = 0.0;
    bool changed = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        old = value;
        const bool wasFailed = failed;
        // The first value has no previous one to differ from.
        const bool verdictChanged = hasValue && ((old < 1.0) != (v < 1.0));
        value = v;
        hasValue = true;
        failed = (v < 1.0);
        updated = std::chrono::system_clock::now();
        changed = (failed != wasFailed) || verdictChanged;
    }
    if (!changed)
    {
        return;
    }
    if (subscriber != nullptr)
    {
        subscriber->notifyStateChanged(fanId);
    }
    std::cerr << "Fan state changed. id: " << fanId << ", value: " << old
              << " -> " << v << std::endl;
}

void FanDbusPassive::handleFanSignal(sdbus::Message& message)
{
    FanChange change;
    try
    {
        std::string intf;
        message.read(intf);
        if (intf != sensorValueInterface && intf != criticalInterface)
        {
            return;
        }
        const bool valueInterface = (intf == sensorValueInterface);
        forEachChanged(
            message, [&](const std::string& name, const std::string& contents) {
                return takeFanProperty(message, valueInterface, name, contents,
                                       path, change);
            });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "FanDbusPassive: ignoring unreadable signal of " << path
                  << ": " << e.what() << std::endl;
        return;
    }

    if (change.value)
    {
        updateFanValue(*change.value, false);
    }
    if (change.low || change.high)
    {
        std::lock_guard<std::mutex> guard(lock);
        failed = change.low.value_or(false) || change.high.value_or(false);
    }
}

void FanDbusPassive::readAgain()
{
    try
    {
        SensorValueProperties settings;
        helper->readSensorValue(watch->getService(), path, settings);
        const bool alarmed =
            helper->readCriticalAlarms(watch->getService(), path);
        if (std::isfinite(settings.value))
        {
            updateFanValue(settings.value, false);
            return;
        }
        std::lock_guard<std::mutex> guard(lock);
        failed = alarmed;
    }
    catch (const std::exception& e)
    {
        std::cerr << "FanDbusPassive: cannot read " << path
                  << " again: " << e.what() << std::endl;
    }
}

} // namespace bmcmon
