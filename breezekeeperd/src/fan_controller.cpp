#include "fan_controller.hpp"

#include "bmcmon/dbus_types.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "fan_mode.hpp"
#include "journal/journal.hpp"

#include <sys/stat.h>
#include <syslog.h>

#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

namespace bmcmon
{

FanController::FanController(sdbus::Bus& readerBus,
                             std::unique_ptr<DbusHelperInterface> ownHelper,
                             HelperFactory factory, Clocks now,
                             std::shared_ptr<FanEventReporter> events) :
    bus(readerBus),
    manager(readerBus, factory, now, std::move(events)),
    powerLimit(readerBus, now), helper(std::move(ownHelper)),
    helperFactory(std::move(factory)), clocks(std::move(now))
{}

void FanController::initFanController()
{
    graceDeadline = clocks.steady() + gracePeriod;
    healthOwner = std::make_unique<sdbus::NameOwnerWatch>(
        bus, healthService,
        [this](const std::string&) { healthCode = HealthCode::unknown; });

    hostState = createHostStateDbusPassive(
        bus, "host", "host0", helperFactory(),
        PassiveSensorConfig{.type = "host",
                            .readPath = "/xyz/openbmc_project/state/host0",
                            .skipDbusMinMax = true},
        nullptr, clocks);

    powerLimit.createPowerSensors(helperFactory);

    thermalMode = createThermalModeDbusPassive(
        bus, "ThermalMode", "ThermalMode", helperFactory(),
        PassiveSensorConfig{.type = "ThermalMode",
                            .readPath = "/xyz/openbmc_project/control/thermal",
                            .skipDbusMinMax = true},
        nullptr, clocks);

    if (!hostState)
    {
        throw std::runtime_error(
            "Cannot monitor fans without the host state reader");
    }
    if (!thermalMode)
    {
        throw std::runtime_error(
            "Cannot monitor fans without the thermal mode reader");
    }
}

void FanController::assignFanIds(const std::vector<uint32_t>& ids)
{
    manager.setupFans(ids);
}

int FanController::readFanHealth()
{
    int code = HealthCode::unknown;
    helper->readHealth(healthService, fanHealthPath, code);
    return code;
}

void FanController::writeFanHealth(bool ok)
{
    std::cerr << "Set fan health state. Health: " << healthName(healthCode)
              << " -> health of " << (ok ? 1 : 0) << std::endl;
    helper->writeHealth(healthService, fanHealthPath,
                        ok ? HealthCode::good : HealthCode::fail);
}

bool FanController::customFileTime(std::time_t& out)
{
    struct stat st
    {};
    if (::stat(customTableFile, &st) != 0)
    {
        return false;
    }
    out = st.st_mtime;
    return true;
}

void FanController::switchMode(int mode, const char* failure)
{
    if (manager.applyFanMode(mode))
    {
        fanMode = mode;
    }
    else
    {
        std::cerr << failure << std::endl;
    }
}

bool FanController::refreshHealthCode()
{
    try
    {
        healthCode = readFanHealth();
        healthUnreachable = false;
        return true;
    }
    catch (const std::exception& e)
    {
        if (!healthUnreachable)
        {
            journal::log(LOG_WARNING,
                         std::string("Fan health state cannot be read, fan "
                                     "mode decided without it. Error: ") +
                             e.what());
            healthUnreachable = true;
        }
        return false;
    }
}

void FanController::keepFanHealth(bool ok, bool reachable)
{
    const int wanted = ok ? HealthCode::good : HealthCode::fail;
    if (!reachable || healthCode == wanted)
    {
        return;
    }
    writeFanHealth(ok);
    refreshHealthCode();
}

void FanController::evaluateFanMode()
{
    manager.remakeMissingReaders();
    powerLimit.remakeMissingReaders(helperFactory);

    std::chrono::steady_clock::time_point changeTime{};
    const int host =
        hostState ? hostState->getHostState(changeTime) : HostPowerState::other;
    const bool ok = manager.confirmFanChanges(host, changeTime);

    if (clocks.steady() >= graceDeadline)
    {
        // The health service is asked at most once for the cache in a
        // step; when it cannot be, the flag waits for the next step.
        const bool reachable =
            healthCode != HealthCode::unknown || refreshHealthCode();
        keepFanHealth(ok, reachable);
        if (ok)
        {
            applyGoodMode();
        }
        else
        {
            applyBrokenMode();
        }
    }
    // After the switch: a failure's full speed never waits for its events.
    manager.sendFanEvents();
}

void FanController::applyBrokenMode()
{
    if (fanMode == FanMode::broken)
    {
        return;
    }
    std::cerr << "Fan is failed. Transfer Mode: " << fanModeName(fanMode)
              << " -> Broken" << std::endl;
    switchMode(FanMode::broken, "Run Fan System failed");
}

void FanController::applyGoodMode()
{
    if (powerLimit.inPowerLimitRange())
    {
        if (fanMode == FanMode::powerLimit)
        {
            return;
        }
        std::cerr << "In power Limit range. Transfer Mode: "
                  << fanModeName(fanMode) << " -> PowerLimit" << std::endl;
        switchMode(FanMode::powerLimit, "Run Fan system failed");
        return;
    }

    const int mode =
        thermalMode ? thermalMode->getThermalMode() : FanMode::unknown;
    if (mode == FanMode::custom)
    {
        applyCustomMode();
        return;
    }
    if (mode == fanMode)
    {
        return;
    }
    std::cerr << "Fan mode is changed. Transfer Mode: " << fanModeName(fanMode)
              << " -> " << fanModeName(mode) << std::endl;
    switchMode(mode, "Run Fan System failed");
}

void FanController::applyCustomMode()
{
    std::time_t fileTime = 0;
    if (!customFileTime(fileTime))
    {
        return;
    }
    if (fanMode == FanMode::custom && fileTime == customTime)
    {
        return;
    }
    std::cerr << "Fan custom mode is changed. Transfer Mode: "
              << fanModeName(fanMode)
              << " -> Custom, Custom timestamp: " << customTime << " -> "
              << fileTime << std::endl;
    if (manager.applyFanMode(FanMode::custom))
    {
        fanMode = FanMode::custom;
        customTime = fileTime;
    }
    else
    {
        std::cerr << "Run Fan System failed" << std::endl;
    }
}

} // namespace bmcmon
