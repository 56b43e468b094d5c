#pragma once

// Discovery and refresh of every controller: the scan that
// AgentSynchronizeData, the start-up and the polling thread run, and the
// I2C probe that finds the RAID cards. A scan reads everything from the
// library first and then publishes it; only the publication uses the bus
// connection, so a polled scan reads on the polling thread and leaves the
// event loop free meanwhile.

#include "property_cache.hpp"

#include <cstdint>
#include <exception>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace arrayscout
{

constexpr const char* serviceName = "xyz.openbmc_project.Raid";
constexpr const char* rootPath = "/xyz/openbmc_project/Raid";
constexpr const char* deviceInterface = "xyz.openbmc_project.Raid.Device";

/** The I2C buses /dev/i2c-14 to /dev/i2c-17 are bus indexes 0 to 3. */
constexpr int firstRaidBus = 14;
constexpr int raidBusCount = 4;

/** The object path of a device: rootPath + "/rs<r>cs<c>ds<d>". */
std::string devicePath(int resource, int controller, int drive);

/** What one controller's refresh read, in publishing order, and its
 *  result (0, or 2 when a list could not be read). */
struct ControllerReading
{
    int controllerId = 0;
    int status = 0;
    PropertyList values;
};

/** The controllers of one bus index, in their order in the init reply;
 *  none when the init failed or listed none. */
struct BusReading
{
    int index = 0;
    std::vector<ControllerReading> controllers;
};

/** What a scan read from the I2C buses and the storage library. */
struct ScanReading
{
    /** Scans are numbered in the order they begin to read. */
    uint64_t number = 0;
    /** The bus indexes where a card answered, ascending. */
    std::vector<int> found;
    std::vector<BusReading> buses;
};

/** The first half of a scan: probes the buses and reads every controller
 *  from the library. Never touches the bus connection, so it may run on
 *  any thread; the caller holds scanLock. */
ScanReading readRaidCards();

/** The second half, on the thread of the bus connection with scanLock
 *  held: publishes the objects and properties, then confirms the drives
 *  (events, disk flag, inventory files). False when no card answered, the
 *  resource object could not be published, or a later scan was published
 *  already (the reading is dropped then). */
bool publishScan(const ScanReading& reading);

/** One full scan on the thread of the bus connection: readRaidCards and
 *  publishScan under scanLock. */
bool agentSynchronizeData();

/** The polling thread's half of a polled scan, under scanLock; nullptr
 *  when it failed (reported as by scanFailed). */
std::shared_ptr<const ScanReading> readForPoll();

/** The event loop's half of a polled scan, under scanLock; a failure is
 *  reported as by scanFailed. */
void publishForPoll(const ScanReading& reading);

/** A scan that nothing it meets can end: a failure, whatever was thrown,
 *  is reported (scanFailed) and the scan counts as false. What earlier
 *  scans published stays; the next scan tries again. */
bool guardedScan();

/** Reports a scan that ended in an exception: a line on standard error and
 *  an error entry in the journal, both with the exception's text. */
void scanFailed(const std::exception_ptr& failure);

/** The handler of AgentSynchronizeData: a scan whose failure is reported
 *  and answered with a D-Bus error. */
bool synchronizeMethod();

/** Whether a RAID card answers on the I2C bus device. */
bool probeRaidCard(const std::string& path);

/** Whether a card answers on any of the four buses. */
bool anyRaidCardPresent();

/** Hexadecimal dump of a buffer, 16 bytes a line. */
int dumpHex(std::ostream& out, const void* buffer, int length);

} // namespace arrayscout
