#include "scan.hpp"

#include "controller_properties.hpp"
#include "drive_events.hpp"
#include "journal/journal.hpp"
#include "output.hpp"
#include "property_cache.hpp"
#include "storage_commands.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstddef>
#include <iostream>
#include <memory>
#include <mutex>

namespace arrayscout
{

namespace
{

/** A new, not yet announced interface for the device, kept in BusMap and
 *  by the object server. */
std::shared_ptr<sdbus::DbusInterface> addDevice(int r, int c, int d)
{
    auto iface =
        objectServer->addInterface(devicePath(r, c, d), deviceInterface);
    BusMap[r][c][d] = iface;
    return iface;
}

bool registerSync(sdbus::DbusInterface& iface)
{
    return iface.registerMethod("AgentSynchronizeData", synchronizeMethod);
}

std::string exceptionText(const std::exception_ptr& failure)
{
    try
    {
        std::rethrow_exception(failure);
    }
    catch (const std::exception& e)
    {
        return e.what();
    }
    catch (...)
    {
        return "unknown exception";
    }
}

bool addResourceDevice(const std::vector<int>& found)
{
    std::cout << "addResourceDevice!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
              << std::endl;
    auto iface = addDevice(0, 0, 0);
    bool ok = true;
    if (updateResourceDevice(found) != 0)
    {
        std::cout
            << "updateCtrlDevice failed !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
            << std::endl;
        dropStaleDevices(0, 0, 0);
        ok = false;
    }
    else if (!registerSync(*iface))
    {
        dropStaleDevices(0, 0, 0);
        ok = false;
    }
    if (!ok)
    {
        std::cout << "add Resource info failed" << std::endl;
        std::cerr << "update Resource info failed\n";
        return false;
    }
    iface->initialize();
    return true;
}

void addCtrlDevice(int r, int k, const ControllerReading& reading)
{
    std::cout << "addCtrlDevice!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
              << std::endl;
    std::cerr << "addCtrlDevice!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
    std::cout << "addCtrlDevice"
              << " rs" << r << " cs" << k << " ds" << 0 << std::endl;
    auto iface = addDevice(r, k, 0);
    try
    {
        publishProperties(r, k, 0, reading.values);
        if (reading.status == 0)
        {
            if (registerSync(*iface))
            {
                iface->initialize();
            }
            else
            {
                // Not announced: dropped, so that the next scan makes it
                // again rather than leave it silent for good.
                dropStaleDevices(r, k, 0);
                printErr("update device failed%d 0\n", k);
            }
            return;
        }
    }
    catch (...)
    {
        dropStaleDevices(r, k, 0);
        throw;
    }
    std::cout
        << "updateCtrlDevice failed !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
        << std::endl;
    std::cerr
        << "updateCtrlDevice failed !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
    dropStaleDevices(r, k, 0);
    printErr("update device failed%d 0\n", k);
}

/** The controllers of one bus, read; none when its init failed. */
BusReading readBus(int index)
{
    BusReading reading{.index = index, .controllers = {}};
    int bus = firstRaidBus + index;
    ByteBuffer list(command::init.dataSize);
    list.put16(0, 1);
    list.put8(4, bus);
    list.put8(5, 1);
    if (sendCommand(command::init, 0, list) != 0)
    {
        std::cerr << "init : ProcessLibCommand fail!!!!!!!\n";
        return reading;
    }
    uint16_t count = list.u16(ctrl_list::count);
    std::cerr << "init : ProcessLibCommand success!!!!!!!\n";
    printErr("ctrlList.count:%d !\n", count);
    if (count == 0)
    {
        std::cerr << "No raid controller found!\n";
        return reading;
    }
    if (count > ctrl_list::maxIds)
    {
        printErr("ctrlList.count %d above %zu, the rest is not read\n", count,
                 ctrl_list::maxIds);
        count = ctrl_list::maxIds;
    }
    for (int k = 0; k < count; ++k)
    {
        ControllerReading& c = reading.controllers.emplace_back();
        c.controllerId = static_cast<int>(
            list.u32(ctrl_list::ids + 4 * static_cast<std::size_t>(k)) &
            0xffff);
        c.status = readCtrlDevice(index + 1, k, 0, c.controllerId, c.values);
    }
    return reading;
}

/** Publishes the controllers of one bus: existing objects are set, new
 *  ones made and announced once their first refresh succeeded. */
void publishBus(const BusReading& reading)
{
    int r = reading.index + 1;
    for (int k = 0; k < static_cast<int>(reading.controllers.size()); ++k)
    {
        const ControllerReading& c = reading.controllers[k];
        if (isInBusMap(r, k, 0))
        {
            publishProperties(r, k, 0, c.values);
            if (c.status != 0)
            {
                printErr("update device failed%d 0\n", k);
            }
        }
        else
        {
            addCtrlDevice(r, k, c);
        }
    }
}

// Scans are numbered when they begin to read; one that is published after
// a later one (a polled scan overtaken by an AgentSynchronizeData call) is
// dropped. Both under scanLock.
uint64_t scansBegun = 0;
uint64_t lastPublished = 0;

} // namespace

std::string devicePath(int resource, int controller, int drive)
{
    return std::string(rootPath) + "/rs" + std::to_string(resource) + "cs" +
           std::to_string(controller) + "ds" + std::to_string(drive);
}

ScanReading readRaidCards()
{
    ScanReading reading;
    reading.number = ++scansBegun;
    std::cerr << "update raid\n";
    std::cout
        << "get in agentSynchronizeData!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
        << std::endl;
    for (int i = 0; i < raidBusCount; ++i)
    {
        if (probeRaidCard("/dev/i2c-" + std::to_string(firstRaidBus + i)))
        {
            reading.found.push_back(i);
        }
    }
    for (int index : reading.found)
    {
        reading.buses.push_back(readBus(index));
    }
    return reading;
}

bool publishScan(const ScanReading& reading)
{
    if (reading.number < lastPublished)
    {
        std::cerr << "scan " << reading.number << " overtaken by scan "
                  << lastPublished << ", not published\n";
        return false;
    }
    lastPublished = reading.number;
    {
        std::unique_lock cache(cacheLock);
        _cacheUpdated = false;
        ++_collectingCacheVersion;
        _collectingCache.clear();
    }
    if (reading.found.empty())
    {
        return false;
    }

    if (isInBusMap(0, 0, 0))
    {
        if (updateResourceDevice(reading.found) != 0)
        {
            std::cout << "update Resource info failed" << std::endl;
            std::cerr << "update Resource info failed\n";
            return false;
        }
    }
    else if (!addResourceDevice(reading.found))
    {
        return false;
    }

    for (const BusReading& bus : reading.buses)
    {
        publishBus(bus);
    }
    tryToUpdateCache();
    return true;
}

bool agentSynchronizeData()
{
    std::unique_lock scan(scanLock);
    return publishScan(readRaidCards());
}

std::shared_ptr<const ScanReading> readForPoll()
{
    try
    {
        std::unique_lock scan(scanLock);
        return std::make_shared<const ScanReading>(readRaidCards());
    }
    catch (...)
    {
        scanFailed(std::current_exception());
    }
    return nullptr;
}

void publishForPoll(const ScanReading& reading)
{
    try
    {
        std::unique_lock scan(scanLock);
        publishScan(reading);
    }
    catch (...)
    {
        scanFailed(std::current_exception());
    }
}

void scanFailed(const std::exception_ptr& failure)
{
    std::string text = "scan failed: " + exceptionText(failure);
    std::cerr << text << std::endl;
    journal::log(LOG_ERR, text);
}

bool guardedScan()
{
    try
    {
        return agentSynchronizeData();
    }
    catch (...)
    {
        scanFailed(std::current_exception());
    }
    return false;
}

bool synchronizeMethod()
{
    try
    {
        return agentSynchronizeData();
    }
    catch (...)
    {
        scanFailed(std::current_exception());
        throw;
    }
}

bool probeRaidCard(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0)
    {
        std::cerr << "Failed to open I2C device!\n";
        return false;
    }
    if (::ioctl(fd, I2C_SLAVE, 0x01) < 0)
    {
        std::cerr << "Failed to open I2C device!\n";
        ::close(fd);
        return false;
    }
    char none = 0;
    bool found = ::write(fd, &none, 0) >= 0;
    if (found)
    {
        printOut("RAID card found at %s\n", path.c_str());
        printErr("RAID card found at %s\n", path.c_str());
    }
    else
    {
        printOut("RAID card not found at %s\n", path.c_str());
        printErr("RAID card not found at %s\n", path.c_str());
    }
    ::close(fd);
    return found;
}

bool anyRaidCardPresent()
{
    for (int i = 0; i < raidBusCount; ++i)
    {
        if (probeRaidCard("/dev/i2c-" + std::to_string(firstRaidBus + i)))
        {
            return true;
        }
    }
    return false;
}

int dumpHex(std::ostream& out, const void* buffer, int length)
{
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    for (int i = 0; i < length; ++i)
    {
        if (i % 16 == 0)
        {
            out << "\n";
        }
        out << strprintf("%02X  ", bytes[i]);
    }
    out << "\n";
    return 0;
}

} // namespace arrayscout
