#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_passive.hpp"
#include "bmcmon/dbus_types.hpp"
#include "bmcmon/object_watch.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "bmcmon/read_interface.hpp"
#include "manager_subscriber.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/message.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace bmcmon
{

/** The tachometer of one fan: its last reading and whether the fan is
 *  failed, that is, whether the reading is below 1.0. A change of the
 *  failed flag, or of the verdict of the reading, is told to the
 *  subscriber. */
class FanDbusPassive : public ReadInterface
{
  public:
    /** A reader of what openSensor found: follows its watch from now on,
     *  stores the first value and then notifies the subscriber once, so the
     *  fan gets confirmed at the next pass. The subscriber must outlive the
     *  reader. */
    FanDbusPassive(const std::string& id, uint32_t fanId,
                   std::unique_ptr<DbusHelperInterface> helper,
                   SensorSource source, ManagerSubscriber* subscriber);

    FanDbusPassive(const FanDbusPassive&) = delete;
    FanDbusPassive& operator=(const FanDbusPassive&) = delete;

    SensorReading read() override;
    /** The failed flag as stored: from the last reading, or from a
     *  critical alarm signal received since. */
    bool isFailed() override;

    /** Takes a value as the sensor publishes it: applies the scale (and the
     *  range, when one is set) and stores it. A value that is not finite is
     *  ignored unless `force` is set. */
    void updateFanValue(double value, bool force);
    /** Stores the value. When the failed flag flips, or the value is on the
     *  other side of 1.0 than the previous one (a critical alarm may have
     *  set the flag in between), tells the subscriber once and writes a
     *  line on standard error. */
    void setFanValue(double value);

    /** One PropertiesChanged signal of the sensor. Never throws: a signal
     *  or property that cannot be used is reported on standard error and
     *  ignored. */
    void handleFanSignal(sdbus::Message& message);

    /** Reads the sensor again, as at creation: a finite value decides the
     *  flag as a signal's would; otherwise the critical alarms set it. A
     *  failed read is reported and changes nothing. */
    void readAgain();

  private:
    std::unique_ptr<ObjectWatch> watch;
    int64_t scale;
    std::string id;
    uint32_t fanId;
    std::unique_ptr<DbusHelperInterface> helper;
    std::mutex lock;
    double value = 0.0;
    bool hasValue = false;
    double max;
    double min;
    bool failed;
    ManagerSubscriber* subscriber;
    std::string path;
    std::chrono::system_clock::time_point updated;
};

/** A reader of the tachometer of fan `fanId` (sensor `id`, e.g. "FAN3"), or
 *  nothing when the helper is missing, the type is not a sensor type or
 *  the sensor cannot be read (standard error says why). The helper is
 *  taken over only when a reader is returned. */
std::unique_ptr<ReadInterface> createFanDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    uint32_t fanId, std::unique_ptr<DbusHelperInterface>&& helper,
    const PassiveSensorConfig& info, ManagerSubscriber* subscriber);

} // namespace bmcmon
