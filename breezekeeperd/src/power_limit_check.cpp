#include "power_limit_check.hpp"

#include "bmcmon/dbus_passive.hpp"
#include "bmcmon/passive_sensor_config.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace bmcmon
{

namespace
{

/** Watts as a signed 32-bit count, truncated toward zero; values beyond
 *  the range are held at its ends. */
int32_t wholeWatts(double watts)
{
    if (watts >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    {
        return std::numeric_limits<int32_t>::max();
    }
    if (watts <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(watts);
}

} // namespace

PowerLimitCheck::PowerLimitCheck(sdbus::Bus& readerBus, Clocks now) :
    bus(readerBus), clocks(std::move(now))
{}

void PowerLimitCheck::createPowerSensors(const HelperFactory& helperFactory)
{
    lastTried = clocks.steady();
    makeTotalPowerReader(helperFactory);
    makePowerCapReader(helperFactory);
}

void PowerLimitCheck::remakeMissingReaders(const HelperFactory& helperFactory)
{
    const auto now = clocks.steady();
    if ((totalPower && powerCap) || now - lastTried < readerRetryDelay)
    {
        return;
    }
    lastTried = now;
    if (!totalPower)
    {
        makeTotalPowerReader(helperFactory);
    }
    if (!powerCap)
    {
        makePowerCapReader(helperFactory);
    }
}

void PowerLimitCheck::makeTotalPowerReader(const HelperFactory& helperFactory)
{
    totalPower = createDbusPassive(
        bus, "power", "total_power", helperFactory(),
        PassiveSensorConfig{
            .type = "power",
            .readPath = "/xyz/openbmc_project/sensors/power/total_power",
            .skipDbusMinMax = true},
        nullptr);
}

void PowerLimitCheck::makePowerCapReader(const HelperFactory& helperFactory)
{
    powerCap = createPowerCapDbusPassive(
        bus, "powercap", "power_cap", helperFactory(),
        PassiveSensorConfig{.type = "powercap",
                            .readPath =
                                "/xyz/openbmc_project/control/host0/power_cap",
                            .skipDbusMinMax = true},
        nullptr, clocks);
}

bool PowerLimitCheck::inPowerLimitRange()
{
    const double watts = totalPower ? totalPower->read().value : 0.0;
    if (!powerCap || !totalPower || !powerCap->getPowerCapEnable() ||
        std::isnan(watts))
    {
        inRange = false;
        return false;
    }
    // The cap is used as a signed number; the threshold is worked out in
    // 64 bits so that no cap overflows it.
    const int64_t cap = static_cast<int32_t>(powerCap->getPowerCap());
    const int64_t power = wholeWatts(watts);
    const int64_t threshold = inRange ? cap / 2 : cap * 80 / 100;
    inRange = threshold < power;
    return inRange;
}

} // namespace bmcmon
