#include "fan_manager.hpp"

#include "bmcmon/dbus_types.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "fan_dbus_passive.hpp"
#include "fan_ids.hpp"
#include "fan_mode.hpp"
#include "files/regular_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

namespace bmcmon
{

namespace
{

/** The mask bit of a fan; none for ids the masks cannot hold. */
uint32_t fanBit(uint32_t fanId)
{
    return fanId <= maxFanId ? (uint32_t{1} << fanId) : 0;
}

std::string markerPath(uint32_t fanId)
{
    return std::string(FanManager::inventoryDir) + "/f" + std::to_string(fanId);
}

/** The ctime text of a time (it ends with a newline). */
std::string ctimeText(std::chrono::system_clock::time_point t)
{
    std::time_t seconds = static_cast<std::time_t>(
        std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch())
            .count());
    char text[64];
    if (ctime_r(&seconds, text) == nullptr)
    {
        return std::to_string(seconds) + "\n";
    }
    return text;
}

/** Runs a command of a mode switch; a failure is reported, not returned. */
void runModeCommand(const char* command)
{
    int status = std::system(command);
    if (status != 0)
    {
        std::cerr << "Warning. Run script failed. Command: " << command
                  << ", Return: " << status << std::endl;
    }
}

} // namespace

FanManager::FanManager(sdbus::Bus& readerBus, HelperFactory factory, Clocks now,
                       std::shared_ptr<FanEventReporter> reporter) :
    bus(readerBus),
    helperFactory(std::move(factory)), clocks(std::move(now)),
    events(std::move(reporter))
{}

void FanManager::notifyStateChanged(uint32_t fanId)
{
    std::lock_guard<std::mutex> guard(lock);
    pending |= fanBit(fanId);
}

bool FanManager::confirmFanChanges(
    int hostState, std::chrono::steady_clock::time_point hostChangeTime)
{
    const auto now = clocks.steady();
    const auto deadline = hostChangeTime + hostSettleDelay;

    notePendingChanges(takePending(), now);

    if (now < deadline || hostState != HostPowerState::running)
    {
        return confirmed == 0;
    }

    const std::vector<uint32_t> done = confirmSettled(now, deadline);
    if (!done.empty())
    {
        reportRedundancy();
        for (uint32_t id : done)
        {
            changes.erase(id);
        }
    }
    return confirmed == 0;
}

uint32_t FanManager::takePending()
{
    std::lock_guard<std::mutex> guard(lock);
    uint32_t flipped = pending;
    pending = 0;
    return flipped;
}

void FanManager::notePendingChanges(uint32_t flipped,
                                    std::chrono::steady_clock::time_point now)
{
    for (uint32_t id : fanIds)
    {
        // A fan without a reader has no state to confirm: its bit is
        // dropped (its marker still counts).
        if ((flipped & fanBit(id)) == 0 || id >= readers.size() || !readers[id])
        {
            continue;
        }
        const bool current = readers[id]->isFailed();
        const bool recorded = (confirmed & fanBit(id)) != 0;
        auto it = changes.find(id);
        if (it == changes.end())
        {
            changes.emplace(id, PendingFanChange{id, current, now});
            std::cerr << "Fan is added to be confirmed. id: " << id
                      << ", recordFailed: " << recorded
                      << ", currentFailed: " << current << std::endl;
        }
        else if (it->second.failed != current)
        {
            std::cerr << "Change its state to be confirmed. id: " << id
                      << ", recordFailed: " << recorded
                      << ", confirmFailed: " << it->second.failed << " -> "
                      << current << std::endl;
            it->second.failed = current;
            it->second.since = now;
        }
    }
}

std::vector<uint32_t>
    FanManager::confirmSettled(std::chrono::steady_clock::time_point now,
                               std::chrono::steady_clock::time_point deadline)
{
    // The report time is shown on the system clock.
    const auto reportTime =
        clocks.system() +
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            deadline - now);
    std::vector<uint32_t> done;
    for (const auto& [id, change] : changes)
    {
        if (change.since + confirmDelay > now)
        {
            continue;
        }
        const bool recorded = (confirmed & fanBit(id)) != 0;
        std::cerr << "Fan status confirmed. FanId: " << id
                  << ", Failed: " << change.failed
                  << ", recordFailed: " << recorded
                  << ", RepotTime: " << ctimeText(reportTime) << std::endl;
        const int fan = static_cast<int>(id);
        const bool failed = change.failed;
        if (failed && !recorded)
        {
            unsent.emplace_back([this, fan] { events->fanRemoved(fan); });
        }
        else if (!change.failed && recorded)
        {
            unsent.emplace_back([this, fan] { events->fanInserted(fan); });
        }
        if (change.failed)
        {
            confirmed |= fanBit(id);
        }
        else
        {
            confirmed &= ~fanBit(id);
        }
        done.push_back(id);
        // The marker follows the fan's event: a restart between the two
        // repeats the event rather than losing it.
        unsent.emplace_back(
            [this, fanId = id, failed] { saveFanState(fanId, failed); });
    }
    return done;
}

void FanManager::reportRedundancy()
{
    uint32_t count = 0;
    for (uint32_t id : fanIds)
    {
        if ((confirmed & fanBit(id)) != 0)
        {
            ++count;
        }
    }
    const int failedFans = static_cast<int>(count);
    if (lastFailedCount <= 1 && count > 1)
    {
        unsent.emplace_back(
            [this, failedFans] { events->fanRedundancyLost(failedFans); });
    }
    else if (lastFailedCount > 1 && count <= 1)
    {
        unsent.emplace_back([this] { events->fanRedundancyRegained(); });
    }
    lastFailedCount = count;
}

void FanManager::sendFanEvents()
{
    std::vector<std::function<void()>> batch;
    batch.swap(unsent);
    for (const auto& send : batch)
    {
        send();
    }
}

void FanManager::setupFans(const std::vector<uint32_t>& ids)
{
    for (uint32_t id : ids)
    {
        if (id > maxFanId)
        {
            std::cerr << "Fan ID out of range (0 to " << maxFanId
                      << "), not monitored: " << id << std::endl;
            continue;
        }
        makeReader(id);
        fanIds.push_back(id);
    }
    loadFanStates();
}

void FanManager::makeReader(uint32_t id)
{
    const std::string name = "FAN" + std::to_string(id);
    PassiveSensorConfig config{
        .type = "fan",
        .readPath = "/xyz/openbmc_project/sensors/fan_tach/" + name,
        .skipDbusMinMax = true};
    lastTried[id] = clocks.steady();
    auto reader = createFanDbusPassive(bus, "fan", name, id, helperFactory(),
                                       config, this);
    if (readers.size() < id + 1)
    {
        readers.resize(id + 1);
    }
    readers[id] = std::move(reader);
}

void FanManager::remakeMissingReaders()
{
    const auto now = clocks.steady();
    for (uint32_t id : fanIds)
    {
        if (readers[id])
        {
            continue;
        }
        auto tried = lastTried.find(id);
        if (tried != lastTried.end() && now - tried->second < readerRetryDelay)
        {
            continue;
        }
        makeReader(id);
    }
}

void FanManager::loadFanStates()
{
    std::error_code ec;
    if (!std::filesystem::exists(inventoryDir, ec))
    {
        std::filesystem::create_directories(inventoryDir, ec);
        if (ec)
        {
            std::cerr << "Failed to create fan inventory directory. Error: "
                      << ec.message() << std::endl;
        }
    }

    for (uint32_t id : fanIds)
    {
        std::error_code exists;
        if (std::filesystem::exists(markerPath(id), exists))
        {
            confirmed |= fanBit(id);
            std::cerr << "Load fan states. ID: " << id << ", Failed: 1."
                      << std::endl;
        }
        else
        {
            confirmed &= ~fanBit(id);
            std::cerr << "Load fan states. ID: " << id << ", Failed: 0."
                      << std::endl;
        }
    }
}

void FanManager::saveFanState(uint32_t fanId, bool failed)
{
    const std::string path = markerPath(fanId);
    if (failed)
    {
        // Never through a link, never waiting on what is not a file.
        int fd = files::openRegular(path.c_str(),
                                    O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW);
        if (fd < 0 || ::close(fd) != 0)
        {
            std::cerr << "Failed to write fan state file " << path
                      << ". Error: " << std::strerror(errno) << std::endl;
        }
        return;
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (ec)
    {
        std::cerr << "Failed to remove fan state file " << path << ": "
                  << ec.message() << std::endl;
    }
}

bool FanManager::writePowerCapFlag(const char* text)
{
    // A FIFO or a device there must not hold the fans from full speed.
    int fd = files::openRegular(powerCapFlagFile, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
    {
        return false;
    }
    std::FILE* file = ::fdopen(fd, "w");
    if (file == nullptr)
    {
        ::close(fd);
        return false;
    }
    bool written = std::fputs(text, file) >= 0;
    return (std::fclose(file) == 0) && written;
}

bool FanManager::applyFanMode(int mode)
{
    if (mode == FanMode::broken)
    {
        // Nothing keeps the fans from full speed.
        if (!writePowerCapFlag("false"))
        {
            std::cerr << "Warning. Write power cap flag failed. File: "
                      << powerCapFlagFile << ", Error: " << std::strerror(errno)
                      << std::endl;
        }
        runModeCommand("systemctl stop fan-speed-control");
        runModeCommand("bash /usr/bin/fan-max-speed.sh");
        return true;
    }
    if (!writePowerCapFlag(mode == FanMode::powerLimit ? "true" : "false"))
    {
        return false;
    }
    runModeCommand("systemctl restart fan-speed-control");
    return true;
}

} // namespace bmcmon
