#pragma once

#include "bmcmon/dbus_types.hpp"

#include <string>

namespace bmcmon
{

/** Synchronous queries of other services on D-Bus, as the fan and power
 *  daemons make them. Every call waits for its reply in the calling
 *  thread. */
class DbusHelperInterface
{
  public:
    virtual ~DbusHelperInterface() = default;

    /** The name of the service that holds `path` with `intf`, the first in
     *  name order when several do. Throws std::runtime_error
     *  "Unable to find Object: <path>" when none does. */
    virtual std::string lookupService(const std::string& intf,
                                      const std::string& path) = 0;

    /** Reads xyz.openbmc_project.Sensor.Value of a sensor. */
    virtual void readSensorValue(const std::string& service,
                                 const std::string& path,
                                 SensorValueProperties& prop) = 0;

    /** Reads the power cap and its enable flag. */
    virtual void readPowerCap(const std::string& service,
                              const std::string& path,
                              PowerCapSetting& setting) = 0;

    /** Reads the host's power state as a HostPowerState code; `state` is
     *  left alone when the host publishes none. */
    virtual void readHostState(const std::string& service,
                               const std::string& path, int& state) = 0;

    /** Reads the thermal mode as a FanMode code; `mode` is left alone when
     *  the setting publishes none. */
    virtual void readThermalMode(const std::string& service,
                                 const std::string& path, int& mode) = 0;

    /** Reads a health flag as a HealthCode; `code` is left alone when the
     *  object publishes none. */
    virtual void readHealth(const std::string& service, const std::string& path,
                            int& code) = 0;

    /** Sets a health flag from a HealthCode: good sets it true, unknown
     *  sends nothing, anything else sets it false. Failures are reported
     *  on standard error, never thrown. */
    virtual void writeHealth(const std::string& service,
                             const std::string& path, const int& code) = 0;

    /** Whether a sensor has a critical alarm raised; false when the sensor
     *  cannot be asked. */
    virtual bool readCriticalAlarms(const std::string& service,
                                    const std::string& path) = 0;

    /** Sends an error to the logging service; failures are reported on
     *  standard error, never thrown. */
    virtual void postLogEntry(const std::string& message) = 0;
};

} // namespace bmcmon
