#pragma once

#include "bmcmon/dbus_types.hpp"

#include <string>

namespace bmcmon
{

/** The fan modes that the fan daemon adds to the thermal modes. */
namespace FanMode
{
/** A fan is confirmed failed: fan control stopped, fans at full speed. */
inline constexpr int broken = 1;
/** The power drawn is close to the enabled power cap. */
inline constexpr int powerLimit = 6;
} // namespace FanMode

/** "Broken", "EnergySave", "LowNoise", "HighPerf", "Custom", "PowerLimit",
 *  and "Unknown" for any other code (0 included). */
std::string fanModeName(int mode);

/** "good", "fail", and "unknown" for any other code. */
std::string healthName(int code);

} // namespace bmcmon
