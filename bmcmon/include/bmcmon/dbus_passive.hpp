#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_passive_redundancy.hpp"
#include "bmcmon/dbus_types.hpp"
#include "bmcmon/object_watch.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "bmcmon/read_interface.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/message.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace bmcmon
{

/** What a sensor reader's factory finds before it builds the reader: the
 *  sensor's object path, the watch of that object (made before the first
 *  read) and the first read of its value and critical alarms. */
struct SensorSource
{
    std::string path;
    std::unique_ptr<ObjectWatch> watch;
    SensorValueProperties settings;
    bool failed = false;
};

/** The steps every sensor reader's factory takes, `factory` and `reader`
 *  naming them in what is written: refuses an empty helper and a type that
 *  is not a sensor's, looks up the sensor's service, makes the watch on
 *  `bus` and reads the sensor; `skipDbusMinMax` drops the range read.
 *  Nothing when a step fails (standard error says why). */
std::optional<SensorSource> openSensor(sdbus::Bus& bus, const std::string& type,
                                       const std::string& id,
                                       DbusHelperInterface* helper,
                                       const PassiveSensorConfig& info,
                                       const char* factory, const char* reader);

/** The latest value of one D-Bus sensor, read once at creation and then
 *  kept current from the sensor's PropertiesChanged signals (value,
 *  critical alarms and operational status). Its value and alarms are read
 *  again whenever the sensor is published anew (see ObjectWatch). */
class DbusPassive : public ReadInterface
{
  public:
    /** Follows the sensor's signals on `bus` (the event loop's connection)
     *  from now on. A match that cannot be added leaves the reader without
     *  signals; standard error says so. Its service being unknown, the
     *  sensor is never read again. */
    DbusPassive(sdbus::Bus& bus, const std::string& type, const std::string& id,
                std::unique_ptr<DbusHelperInterface> helper,
                const SensorValueProperties& settings, bool failed,
                const std::string& path,
                const std::shared_ptr<DbusPassiveRedundancy>& redundancy);
    /** A reader of what openSensor found, following its watch. */
    DbusPassive(const std::string& type, const std::string& id,
                std::unique_ptr<DbusHelperInterface> helper,
                SensorSource source,
                const std::shared_ptr<DbusPassiveRedundancy>& redundancy);

    DbusPassive(const DbusPassive&) = delete;
    DbusPassive& operator=(const DbusPassive&) = delete;

    SensorReading read() override;
    /** Failed while the redundancy set names the sensor, while the last
     *  value offered was not finite (or, for a margin, not above zero),
     *  while a critical alarm is raised, or while it is not functional. */
    bool isFailed() override;

    double getValue();
    /** False while the sensor's service has no owner: its value is then
     *  only the last one it published. */
    bool serviceUp() const
    {
        return watch->serviceUp();
    }
    /** Stores the value and stamps it with the time now. */
    void setValue(double value);
    void setFailed(bool value);
    void setFunctional(bool value);

    /** Takes a value as the sensor publishes it: applies the scale and the
     *  range, then stores it. A value that is not finite only marks the
     *  reading bad, unless `force` stores it all the same. */
    void updateValue(double value, bool force);

    /** Handles one PropertiesChanged signal of the sensor. Never throws:
     *  what cannot be used is reported on standard error and ignored. */
    void handleSensorSignal(sdbus::Message& message);

    /** Reads the sensor's value and alarms again, as at creation; a value
     *  is taken as a signal's would be. A failed read is reported and
     *  leaves everything as it was. */
    void readAgain();

  private:
    std::unique_ptr<ObjectWatch> watch;
    int64_t scale;
    std::string id;
    std::unique_ptr<DbusHelperInterface> helper;
    std::mutex lock;
    double value = 0.0;
    double max;
    double min;
    bool failed;
    bool functional = true;
    bool zeroIsFailure;
    bool badReading = false;
    bool zeroReading = false;
    std::string path;
    std::shared_ptr<DbusPassiveRedundancy> redundancy;
    std::chrono::system_clock::time_point updated;
};

/** A reader of the sensor of this type and id, or nothing when the type is
 *  not one of a sensor or the sensor cannot be read (standard error says
 *  why). Signals are followed on `bus`. The helper is taken over only when
 *  a reader is returned. */
std::unique_ptr<ReadInterface>
    createDbusPassive(sdbus::Bus& bus, const std::string& type,
                      const std::string& id,
                      std::unique_ptr<DbusHelperInterface>&& helper,
                      const PassiveSensorConfig& info,
                      const std::shared_ptr<DbusPassiveRedundancy>& redundancy);

} // namespace bmcmon
