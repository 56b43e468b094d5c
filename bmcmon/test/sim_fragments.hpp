#pragma once

// Simulator configuration fragments for the tests of this layer: sensors,
// settings, health flags, fan-redundancy objects and the logging service.

#include "sdbus/bus.hpp"

#include <nlohmann/json.hpp>

#include <limits>
#include <string>
#include <variant>

namespace bmcmon::test
{

inline constexpr const char* sensorService = "xyz.openbmc_project.FanSensor";
inline constexpr const char* fanPath = "/xyz/openbmc_project/sensors/fan_tach/";
inline constexpr const char* valueIntf = "xyz.openbmc_project.Sensor.Value";
inline constexpr const char* criticalIntf =
    "xyz.openbmc_project.Sensor.Threshold.Critical";
inline constexpr const char* statusIntf =
    "xyz.openbmc_project.State.Decorator.OperationalStatus";
inline constexpr const char* redundancyIntf =
    "xyz.openbmc_project.Control.FanRedundancy";

/** Has the simulator publish a NaN value of the sensor at `path` of
 *  `service` (from the service's own connection): JSON carries no NaN, the
 *  control call's variant does. */
inline void publishNaN(const std::string& service, const std::string& path)
{
    sdbus::Bus control = sdbus::Bus::newSystem();
    control.callMethod(
        "local.platformsim", "/local/platformsim", "local.platformsim.Control",
        "SetProperty", service, path, std::string(valueIntf),
        std::string("Value"),
        std::variant<double>(std::numeric_limits<double>::quiet_NaN()));
}

/** The Sensor.Value interface with the given properties. */
inline nlohmann::json valueInterface(nlohmann::json value, int64_t scale = 0,
                                     double min = 0, double max = 0)
{
    return {{"properties",
             {{"Value", std::move(value)},
              {"Scale", {"x", scale}},
              {"MinValue", {"d", min}},
              {"MaxValue", {"d", max}},
              {"Unit", {"s", "xyz.openbmc_project.Sensor.Value.Unit.RPMS"}}}}};
}

/** A sensor object: value, critical thresholds and operational status. */
inline nlohmann::json sensorObject(const std::string& path,
                                   nlohmann::json value, int64_t scale = 0,
                                   double min = 0, double max = 0,
                                   bool alarmLow = false,
                                   bool alarmHigh = false)
{
    return {{"path", path},
            {"interfaces",
             {{valueIntf, valueInterface(std::move(value), scale, min, max)},
              {criticalIntf,
               {{"properties",
                 {{"CriticalAlarmLow", {"b", alarmLow}},
                  {"CriticalAlarmHigh", {"b", alarmHigh}}}}}},
              {statusIntf, {{"properties", {{"Functional", {"b", true}}}}}}}}};
}

/** A fan-redundancy object; collection is [signature, list]. */
inline nlohmann::json redundancyObject(const std::string& path,
                                       nlohmann::json status,
                                       nlohmann::json collection)
{
    nlohmann::json props = {{"Status", std::move(status)}};
    if (!collection.is_null())
    {
        props["Collection"] = std::move(collection);
    }
    return {{"path", path},
            {"interfaces", {{redundancyIntf, {{"properties", props}}}}}};
}

inline nlohmann::json service(const std::string& name, nlohmann::json objects)
{
    return {{"name", name}, {"objects", std::move(objects)}};
}

/** The host state, thermal mode and power cap settings. */
inline nlohmann::json settingsServices(const std::string& hostState,
                                       const std::string& thermalMode,
                                       nlohmann::json powerCap,
                                       nlohmann::json powerCapEnable)
{
    return nlohmann::json::array(
        {service("xyz.openbmc_project.State.Host",
                 {{{"path", "/xyz/openbmc_project/state/host0"},
                   {"interfaces",
                    {{"xyz.openbmc_project.State.Host",
                      {{"properties",
                        {{"CurrentHostState", {"s", hostState}}}}}}}}}}),
         service(
             "xyz.openbmc_project.Settings",
             {{{"path", "/xyz/openbmc_project/control/thermal"},
               {"interfaces",
                {{"xyz.openbmc_project.Control.ThermalMode",
                  {{"properties", {{"Current", {"s", thermalMode}}}}}}}}},
              {{"path", "/xyz/openbmc_project/control/host0/power_cap"},
               {"interfaces",
                {{"xyz.openbmc_project.Control.Power.Cap",
                  {{"properties",
                    {{"PowerCap", std::move(powerCap)},
                     {"PowerCapEnable", std::move(powerCapEnable)}}}}}}}}})});
}

/** The logging service with its "error" method. */
inline nlohmann::json loggingService()
{
    return service(
        "xyz.openbmc_project.Logging",
        {{{"path", "/xyz/openbmc_project/logging/entry"},
          {"interfaces",
           {{"xyz.openbmc_project.Logging.Entry",
             {{"methods", {{"error", {{"in", "s"}, {"out", ""}}}}}}}}}}});
}

} // namespace bmcmon::test
