#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <variant>

namespace bmcmon
{

/** One D-Bus property value. The order of the alternatives matters: the
 *  integer alternative comes first and is what unknown types default to. */
using DbusPropertyValue = std::variant<int64_t, double, std::string, bool>;

/** The properties of one GetAll reply, by name. */
using DbusPropertyMap = std::map<std::string, DbusPropertyValue>;

/** One changed property of a PropertiesChanged signal of a sensor. */
using ChangedPropertyValue = std::variant<int64_t, double, bool>;

/** The changed properties of one PropertiesChanged signal, by name. */
using ChangedPropertyMap = std::map<std::string, ChangedPropertyValue>;

/** What a sensor publishes on xyz.openbmc_project.Sensor.Value. */
struct SensorValueProperties
{
    /** Power-of-ten exponent: a value v means v x 10^scale. */
    int64_t scale = 0;
    double value = 0.0;
    double min = 0.0;
    double max = 0.0;
    std::string unit;
};

/** What the power-cap service publishes. */
struct PowerCapSetting
{
    bool enabled = false;
    /** In watts. */
    uint32_t cap = 0;
};

/** The last value a reader stored and when it stored it. */
struct SensorReading
{
    double value = 0.0;
    /** The epoch while nothing has been stored. */
    std::chrono::system_clock::time_point updated;
};

/** Codes of the host's power state. */
namespace HostPowerState
{
inline constexpr int other = 0;
inline constexpr int running = 1;
inline constexpr int off = 2;
} // namespace HostPowerState

/** Fan modes. This layer only produces the thermal modes (2 to 5) and 0 for
 *  a mode it does not know; the fan daemon adds its own. */
namespace FanMode
{
inline constexpr int unknown = 0;
inline constexpr int energySave = 2;
inline constexpr int lowNoise = 3;
inline constexpr int highPerformance = 4;
inline constexpr int custom = 5;
} // namespace FanMode

/** Codes of a health flag. */
namespace HealthCode
{
inline constexpr int unknown = 0;
inline constexpr int good = 1;
inline constexpr int fail = 2;
} // namespace HealthCode

inline constexpr const char* hostStateRunning =
    "xyz.openbmc_project.State.Host.HostState.Running";
inline constexpr const char* hostStateOff =
    "xyz.openbmc_project.State.Host.HostState.Off";

/** The HostPowerState code of a CurrentHostState value. */
int hostStateCode(const std::string& state);

/** The FanMode code of a thermal mode's Current value (exact, case
 *  sensitive); 0 for any other text. */
int thermalModeCode(const std::string& mode);

/** Converts a property value to a double: integers to the nearest double,
 *  booleans to 0.0 or 1.0; a string throws std::invalid_argument. */
struct toDoubleVisitor
{
    double operator()(int64_t v) const
    {
        return static_cast<double>(v);
    }
    double operator()(double v) const
    {
        return v;
    }
    double operator()(bool v) const
    {
        return v ? 1.0 : 0.0;
    }
    [[noreturn]] double operator()(const std::string&) const
    {
        throw std::invalid_argument("Cannot translate type to double");
    }
};

inline double toDouble(const DbusPropertyValue& v)
{
    return std::visit(toDoubleVisitor{}, v);
}

inline double toDouble(const ChangedPropertyValue& v)
{
    return std::visit(toDoubleVisitor{}, v);
}

} // namespace bmcmon
