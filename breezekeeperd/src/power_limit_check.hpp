#pragma once

#include "bmcmon/read_interface.hpp"
#include "factories.hpp"
#include "power_cap_dbus_passive.hpp"
#include "sdbus/bus.hpp"

#include <chrono>
#include <memory>

namespace bmcmon
{

/** Whether the server draws so much of its enabled power cap that the fans
 *  go to the power-limit mode: entering takes more than 80 % of the cap,
 *  leaving takes falling to half the cap or below. */
class PowerLimitCheck
{
  public:
    /** How often a missing reader is tried again. */
    static constexpr std::chrono::seconds readerRetryDelay{10};

    /** `bus` is the connection on which the two readers follow their
     *  objects. */
    explicit PowerLimitCheck(sdbus::Bus& bus, Clocks clocks = {});

    PowerLimitCheck(const PowerLimitCheck&) = delete;
    PowerLimitCheck& operator=(const PowerLimitCheck&) = delete;

    /** (Re)makes the total-power and power-cap readers, each with a helper
     *  of its own from `helperFactory`. A reader that cannot be made stays
     *  missing (its factory says why on standard error). */
    void createPowerSensors(const HelperFactory& helperFactory);

    /** Tries again to make the readers that are missing, at most every
     *  readerRetryDelay. */
    void remakeMissingReaders(const HelperFactory& helperFactory);

    /** The test above, remembered for the next call. Off when the cap is
     *  disabled, when either reader is missing, or when the power is not a
     *  number. */
    bool inPowerLimitRange();

    bool getInRange() const
    {
        return inRange;
    }
    PowerCapDbusPassive* getPowerCapReader() const
    {
        return powerCap.get();
    }
    ReadInterface* getTotalPowerReader() const
    {
        return totalPower.get();
    }

  private:
    void makeTotalPowerReader(const HelperFactory& helperFactory);
    void makePowerCapReader(const HelperFactory& helperFactory);

    sdbus::Bus& bus;
    std::unique_ptr<PowerCapDbusPassive> powerCap;
    std::unique_ptr<ReadInterface> totalPower;
    bool inRange = false;
    Clocks clocks;
    std::chrono::steady_clock::time_point lastTried{};
};

} // namespace bmcmon
