#pragma once

// The simulated platform of the fan daemon's tests: fan tachometers, the
// host state, the thermal mode, the power cap, the total power, the LED
// group that the health service drives, and the logging service.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace bmcmon::test
{

inline constexpr const char* fanService = "xyz.openbmc_project.FanSensor";
inline constexpr const char* hostService = "xyz.openbmc_project.State.Host";
inline constexpr const char* settingsService = "xyz.openbmc_project.Settings";
inline constexpr const char* powerService = "xyz.openbmc_project.PowerSensor";
inline constexpr const char* ledService =
    "xyz.openbmc_project.LED.GroupManager";
inline constexpr const char* loggingService = "xyz.openbmc_project.Logging";
inline constexpr const char* vigilhubService = "xyz.openbmc_project.vigilhub";
inline constexpr const char* fanFlagPath = "/xyz/openbmc_project/vigilhub/fan";
inline constexpr const char* sensorValueIntf =
    "xyz.openbmc_project.Sensor.Value";

inline std::string simFanPath(uint32_t id)
{
    return "/xyz/openbmc_project/sensors/fan_tach/FAN" + std::to_string(id);
}

inline nlohmann::json sensor(const std::string& path, double value)
{
    return {{"path", path},
            {"interfaces",
             {{sensorValueIntf,
               {{"properties",
                 {{"Value", {"d", value}},
                  {"Scale", {"x", 0}},
                  {"MinValue", {"d", 0.0}},
                  {"MaxValue", {"d", 20000.0}}}}}},
              {"xyz.openbmc_project.Sensor.Threshold.Critical",
               {{"properties",
                 {{"CriticalAlarmLow", {"b", false}},
                  {"CriticalAlarmHigh", {"b", false}}}}}}}}};
}

/** Fans with these tachometer values (FAN0 first), a running host, the
 *  given thermal mode, a cap of 1000 W enabled and 300 W drawn. */
inline nlohmann::json platformConfig(const std::vector<double>& fans,
                                     const std::string& thermalMode)
{
    using json = nlohmann::json;
    json fanObjects = json::array();
    for (std::size_t i = 0; i < fans.size(); ++i)
    {
        fanObjects.push_back(sensor(simFanPath(i), fans[i]));
    }
    auto single =
        [](const std::string& path, const std::string& intf, json properties) {
        return json{
            {"path", path},
            {"interfaces", {{intf, {{"properties", std::move(properties)}}}}}};
    };
    return {
        {"services",
         {{{"name", fanService}, {"objects", fanObjects}},
          {{"name", hostService},
           {"objects",
            {single("/xyz/openbmc_project/state/host0",
                    "xyz.openbmc_project.State.Host",
                    {{"CurrentHostState",
                      {"s", "xyz.openbmc_project.State.Host.HostState."
                            "Running"}}})}}},
          {{"name", settingsService},
           {"objects",
            {single("/xyz/openbmc_project/control/thermal",
                    "xyz.openbmc_project.Control.ThermalMode",
                    {{"Current", {"s", thermalMode}}}),
             single("/xyz/openbmc_project/control/host0/power_cap",
                    "xyz.openbmc_project.Control.Power.Cap",
                    {{"PowerCap", {"u", 1000}},
                     {"PowerCapEnable", {"b", true}}})}}},
          {{"name", powerService},
           {"objects",
            {sensor("/xyz/openbmc_project/sensors/power/total_power", 300.0)}}},
          {{"name", ledService},
           {"objectManager", "/xyz/openbmc_project/led/groups"},
           {"objects",
            {single("/xyz/openbmc_project/led/groups/system_fault",
                    "xyz.openbmc_project.Led.Group",
                    {{"Asserted", {"b", false}}})}}},
          {{"name", loggingService},
           {"objects",
            {{{"path", "/xyz/openbmc_project/logging"},
              {"interfaces",
               {{"xyz.openbmc_project.Logging.Create",
                 {{"methods",
                   {{"Create", {{"in", "ssa{ss}"}, {"out", ""}}}}}}}}}}}}}}}};
}

} // namespace bmcmon::test
