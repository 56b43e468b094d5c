#include "global_manager.hpp"

#include "sdbus/error.hpp"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <vector>

namespace bmcmon
{

namespace
{

constexpr const char* internalFailure =
    "xyz.openbmc_project.Common.Error.InternalFailure";

} // namespace

GlobalManager::GlobalManager(sdbus::AsioConnection& sensorConn,
                             std::shared_ptr<sdbus::AsioConnection> serviceConn,
                             DbusHelper* helper) :
    sensorConnection(sensorConn),
    serviceConnection(std::move(serviceConn)),
    stats(&sensorConnection.bus(), helper)
{}

bool GlobalManager::init(int /*interval*/, const std::string& configDir)
{
    try
    {
        serviceConnection->bus().requestName(wattkeeperService);

        if (!server)
        {
            server = std::make_unique<sdbus::ObjectServer>(*serviceConnection);
            iface = server->addInterface(wattkeeperPath, wattkeeperInterface);
        }
        if (!registerProperties())
        {
            std::cerr << "Register property failed." << std::endl;
            return false;
        }
        registerMethods();
        iface->initialize();

        stats.initStatistics(configDir);
    }
    catch (const std::exception& e)
    {
        std::cerr << "Exception during global manager init. Message: "
                  << e.what() << std::endl;
        return false;
    }
    return true;
}

bool GlobalManager::registerProperties()
{
    return iface->registerProperty<int32_t>(
               "AlarmThreshold", 0,
               [this](const int32_t& watts, int32_t&) {
        setAlarmThreshold(watts);
        // The stored copy stays as it is: every Get asks the statistics.
        return true;
               },
               [this](const int32_t&) { return stats.getAlarmThreshold(); },
               sdbus::flags::emitsChange) &&
        iface->registerProperty<double>(
            "MaxPower", 0.0, nullptr,
            [this](const double&) { return stats.getMaxPower(); },
            sdbus::flags::constant) &&
        iface->registerProperty<double>(
            "AvgPower", 0.0, nullptr,
            [this](const double&) { return stats.getAvgPower(); },
            sdbus::flags::constant) &&
        iface->registerProperty<int64_t>(
            "StatStartTimestamp", 0, nullptr,
            [this](const int64_t&) { return stats.getStatStartTimestamp(); },
            sdbus::flags::constant);
}

void GlobalManager::registerMethods()
{
    iface->registerMethod("GetPowerHistoryDataRange",
                          [this](int64_t start, int64_t end) {
        return stats.getHistoryRange(start, end);
    });
    iface->registerMethod("CleanPowerHistoryData",
                          [this]() { cleanHistory(); });
    iface->registerMethod("GetStatSummary", [this]() { return statSummary(); });
}

void GlobalManager::setAlarmThreshold(int32_t watts)
{
    if (!PowerStatistics::thresholdFits(watts))
    {
        throw sdbus::MethodError("org.freedesktop.DBus.Error.InvalidArgs",
                                 "The threshold does not fit in milliwatts");
    }
    if (!stats.setAlarmThreshold(watts))
    {
        throw sdbus::MethodError(internalFailure,
                                 "The threshold could not be stored");
    }
}

void GlobalManager::cleanHistory()
{
    if (!stats.cleanHistory())
    {
        throw sdbus::MethodError(internalFailure,
                                 "There is no configuration folder");
    }
}

void GlobalManager::sample()
{
    stats.takeSample();
}

std::string GlobalManager::statSummary()
{
    auto now = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), "%" PRId64 ",%.3f,%.3f,%" PRId64,
                  stats.getStatStartTimestamp(), stats.getAvgPower(),
                  stats.getMaxPower(), static_cast<int64_t>(now));
    return buffer;
}

} // namespace bmcmon
