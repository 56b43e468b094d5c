#pragma once

// The end of a scan: a new drive list of the first controller of I2C bus 14
// is acted on once two consecutive scans agree on it. Each removed and
// inserted drive is then reported (trap and Redfish log), the disk flag of
// the health service is set, the scan's properties become the published
// ones and the inventory files are rewritten.

#include "sdbus/bus.hpp"
#include "sdbus/name_owner_watch.hpp"

#include <memory>
#include <string>
#include <vector>

namespace arrayscout
{

namespace trap
{
constexpr const char* driveRemoved = "1.3.6.1.4.1.61842.1.1.1.500.11.3.5";
constexpr const char* driveInserted = "1.3.6.1.4.1.61842.1.1.1.500.11.3.3";
constexpr const char* objectName = "1.3.6.1.4.1.61842.1.1.1.500.1.2";
constexpr const char* state = "1.3.6.1.4.1.61842.1.1.1.500.1.4";
constexpr int driveState = 4;
} // namespace trap

constexpr const char* diskRemovedId = "OpenBMC.0.1.PhysicalDiskRemoved";
constexpr const char* diskInsertedId = "OpenBMC.0.1.PhysicalDiskInserted";

/** The last step of a scan (scanLock held). */
void tryToUpdateCache();

/** Reports the drives of `oldList` missing from `newList` (first, in name
 *  order), then those of `newList` missing from `oldList`. */
void diffPhysicalDisks(const std::vector<std::string>& oldList,
                       const std::vector<std::string>& newList);

/** The trap of an event through the logging service's Create method. */
void sendSNMPTrap(const std::string& trapOid, const std::string& oid1,
                  const std::string& text, const std::string& oid2, int number);

/** The Redfish log entry of an event, priority 4. */
void sendLog(const std::string& messageId, const std::string& args,
             const std::string& message);

/** Sets the disk flag of the health service (a command bounded to 2 s,
 *  its failure ignored) and keeps it as the daemon's current flag. */
void setState(bool healthy);

/** Sends the current disk flag again, once the first confirmed drive list
 *  since start-up has sent it. */
void resendDiskFlag();

/** Follows the health service on `bus` (the event loop's): each new owner
 *  gets the current disk flag (resendDiskFlag). Held for the daemon's
 *  life. */
std::unique_ptr<sdbus::NameOwnerWatch> followHealthService(sdbus::Bus& bus);

/** The command lines of the three above. */
std::string snmpTrapCommandLine(const std::string& trapOid,
                                const std::string& oid1,
                                const std::string& text,
                                const std::string& oid2, int number);
std::string logCommandLine(const std::string& messageId,
                           const std::string& args, const std::string& message);
std::string stateCommandLine(bool healthy);

} // namespace arrayscout
