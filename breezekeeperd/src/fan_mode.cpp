#include "fan_mode.hpp"

namespace bmcmon
{

std::string fanModeName(int mode)
{
    switch (mode)
    {
        case FanMode::broken:
            return "Broken";
        case FanMode::energySave:
            return "EnergySave";
        case FanMode::lowNoise:
            return "LowNoise";
        case FanMode::highPerformance:
            return "HighPerf";
        case FanMode::custom:
            return "Custom";
        case FanMode::powerLimit:
            return "PowerLimit";
        default:
            return "Unknown";
    }
}

std::string healthName(int code)
{
    switch (code)
    {
        case HealthCode::good:
            return "good";
        case HealthCode::fail:
            return "fail";
        default:
            return "unknown";
    }
}

} // namespace bmcmon
