#include "fan_dbus_passive.hpp"

#include "bmcmon/sensor_util.hpp"
#include "changed_properties.hpp"
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

double powerOfTen(int64_t scale)
{
    return std::pow(10.0, static_cast<double>(scale));
}

} // namespace

std::unique_ptr<ReadInterface> createFanDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    uint32_t fanId, std::unique_ptr<DbusHelperInterface>&& helper,
    const PassiveSensorConfig& info, ManagerSubscriber* subscriber)
{
    if (helper == nullptr)
    {
        std::cerr << "createFanDbusPassive: helper=null" << std::endl;
        return nullptr;
    }
    if (!validType(type))
    {
        std::cerr << "createFanDbusPassive: invalid type" << std::endl;
        return nullptr;
    }

    std::string path = getSensorPath(type, id);
    SensorValueProperties settings;
    bool failed = false;
    try
    {
        std::string service = helper->lookupService(sensorValueInterface, path);
        helper->readSensorValue(service, path, settings);
        failed = helper->readCriticalAlarms(service, path);
    }
    catch (const std::exception& e)
    {
        std::cerr << "createFanDbusPassive: exception: " << e.what()
                  << std::endl;
        return nullptr;
    }
    if (info.skipDbusMinMax)
    {
        settings.min = 0;
        settings.max = 0;
    }
    return std::make_unique<FanDbusPassive>(bus, type, id, fanId,
                                            std::move(helper), settings, failed,
                                            path, subscriber);
}

FanDbusPassive::FanDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& sensorId,
    uint32_t fan, std::unique_ptr<DbusHelperInterface> sensorHelper,
    const SensorValueProperties& settings, bool alarmed,
    const std::string& sensorPath, ManagerSubscriber* manager) :
    scale(settings.scale),
    id(sensorId), fanId(fan), helper(std::move(sensorHelper)),
    max(settings.max * powerOfTen(settings.scale)),
    min(settings.min * powerOfTen(settings.scale)), failed(alarmed),
    subscriber(manager), path(sensorPath)
{
    try
    {
        match = std::make_unique<sdbus::Match>(bus, getMatch(type, sensorId),
                                               [this](sdbus::Message& m) {
            handleFanSignal(m);
        });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "FanDbusPassive: no signals will be followed for " << path
                  << ": " << e.what() << std::endl;
    }
    updateFanValue(settings.value, true);
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
    if ((std::isnan(v) || std::fabs(v) > std::numeric_limits<double>::max()) &&
        !force)
    {
        return;
    }
    v *= powerOfTen(scale);
    scaleSensorReading(min, max, v);
    setFanValue(v);
}

void FanDbusPassive::setFanValue(double v)
{
    double old = 0.0;
    bool flipped = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        old = value;
        bool wasFailed = failed;
        value = v;
        failed = (v < 1.0);
        updated = std::chrono::system_clock::now();
        flipped = (failed != wasFailed);
    }
    if (!flipped)
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
    std::optional<double> newValue;
    std::optional<bool> low;
    std::optional<bool> high;
    std::string intf;
    try
    {
        message.read(intf);
        if (intf != sensorValueInterface && intf != criticalInterface)
        {
            return;
        }
        forEachChanged(
            message, [&](const std::string& name, const std::string& contents) {
                bool wanted = (intf == sensorValueInterface)
                                  ? name == "Value"
                                  : (name == "CriticalAlarmLow" ||
                                     name == "CriticalAlarmHigh");
                if (!wanted)
                {
                    return false;
                }
                bool usable = (name == "Value") ? isNumberSignature(contents)
                                                : contents == "b";
                if (!usable)
                {
                    std::cerr << "FanDbusPassive: ignoring " << name << " of "
                              << path << ": unexpected type " << contents
                              << std::endl;
                    return false;
                }
                auto v = readVariant<ChangedPropertyValue>(message);
                if (name == "Value")
                {
                    newValue = toDouble(v);
                }
                else if (name == "CriticalAlarmLow")
                {
                    low = std::get<bool>(v);
                }
                else
                {
                    high = std::get<bool>(v);
                }
                return true;
            });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "FanDbusPassive: ignoring unreadable signal of " << path
                  << ": " << e.what() << std::endl;
        return;
    }

    if (newValue)
    {
        updateFanValue(*newValue, false);
    }
    if (low || high)
    {
        std::lock_guard<std::mutex> guard(lock);
        failed = low.value_or(false) || high.value_or(false);
    }
}

} // namespace bmcmon
