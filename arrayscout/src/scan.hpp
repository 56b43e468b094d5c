#pragma once

// Discovery and refresh of every controller: the scan that
// AgentSynchronizeData, the start-up and the polling thread run, the I2C
// probe that finds the RAID cards, and the polling thread.

#include <exception>
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

/** One full scan: false when no RAID card answered or the resource object
 *  could not be published. Runs on the thread of the bus connection. */
bool agentSynchronizeData();

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
