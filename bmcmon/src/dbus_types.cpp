#include "bmcmon/dbus_types.hpp"

namespace bmcmon
{

int hostStateCode(const std::string& state)
{
    if (state == hostStateRunning)
    {
        return HostPowerState::running;
    }
    if (state == hostStateOff)
    {
        return HostPowerState::off;
    }
    return HostPowerState::other;
}

int thermalModeCode(const std::string& mode)
{
    if (mode == "energy-save")
    {
        return FanMode::energySave;
    }
    if (mode == "low-noise")
    {
        return FanMode::lowNoise;
    }
    if (mode == "high-perf")
    {
        return FanMode::highPerformance;
    }
    if (mode == "custom")
    {
        return FanMode::custom;
    }
    return FanMode::unknown;
}

} // namespace bmcmon
