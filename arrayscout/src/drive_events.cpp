#include "drive_events.hpp"

#include "events/redfish_log_command.hpp"
#include "events/shell_command.hpp"
#include "events/snmp_trap_command.hpp"
#include "inventory_files.hpp"
#include "output.hpp"
#include "property_cache.hpp"
#include "sdbus/name_owner_watch.hpp"

#include <atomic>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

namespace arrayscout
{

namespace
{

// Only the first controller of I2C bus 14 takes part.
constexpr int eventResource = 1;
constexpr int eventController = 0;
constexpr int eventDrive = 0;

const std::vector<std::string>* driveNames(const DeviceCache& cache)
{
    const PropertyMap* device =
        findDevice(cache, eventResource, eventController, eventDrive);
    if (device == nullptr)
    {
        return nullptr;
    }
    auto it = device->find("PD_names");
    if (it == device->end())
    {
        return nullptr;
    }
    return std::get_if<std::vector<std::string>>(&it->second);
}

/** The disk flag as last set: healthy until a drive is found removed (a
 *  drive missing before the first confirmed list counts as never there). */
std::atomic<bool> diskHealthy{true};
/** Whether a confirmed drive list since start-up sent the flag. */
std::atomic<bool> flagSent{false};

constexpr const char* healthService = "xyz.openbmc_project.vigilhub";

void runShell(const std::string& line)
{
    // The exit status is not acted on: the next change sends its own.
    events::runCommand(line, std::cerr);
}

} // namespace

std::string snmpTrapCommandLine(const std::string& trapOid,
                                const std::string& oid1,
                                const std::string& text,
                                const std::string& oid2, int number)
{
    return events::SnmpTrapCommand(trapOid,
                                   {events::TrapBinding::text(oid1, text),
                                    events::TrapBinding::integer(oid2, number)},
                                   false)
        .str();
}

std::string logCommandLine(const std::string& messageId,
                           const std::string& args, const std::string& message)
{
    constexpr std::string_view prefix = "OpenBMC.0.1.";
    std::string id = messageId;
    if (id.starts_with(prefix))
    {
        id.erase(0, prefix.size());
    }
    std::vector<std::string> list;
    if (!args.empty())
    {
        list.push_back(args);
    }
    return events::RedfishLogCommand(events::RedfishLogCommand::priorityFault,
                                     id, list, message)
        .str();
}

std::string stateCommandLine(bool healthy)
{
    return std::string("busctl --timeout=2 set-property "
                       "xyz.openbmc_project.vigilhub "
                       "/xyz/openbmc_project/vigilhub/disk "
                       "xyz.openbmc_project.Status Health b ") +
           (healthy ? "true" : "false");
}

void sendSNMPTrap(const std::string& trapOid, const std::string& oid1,
                  const std::string& text, const std::string& oid2, int number)
{
    std::string line = snmpTrapCommandLine(trapOid, oid1, text, oid2, number);
    std::cout << "sendSNMPTrap cmd: " << line << std::endl;
    runShell(line);
}

void sendLog(const std::string& messageId, const std::string& args,
             const std::string& message)
{
    std::string line = logCommandLine(messageId, args, message);
    std::cout << "sendLog cmd : " << line << std::endl;
    runShell(line);
}

void setState(bool healthy)
{
    diskHealthy = healthy;
    std::string line = stateCommandLine(healthy);
    std::cout << "setState cmd : " << line << std::endl;
    runShell(line);
}

void diffPhysicalDisks(const std::vector<std::string>& oldList,
                       const std::vector<std::string>& newList)
{
    std::set<std::string> oldSet(oldList.begin(), oldList.end());
    std::set<std::string> newSet(newList.begin(), newList.end());

    for (const auto& name : oldSet)
    {
        std::cout << "old_set: " << name << std::endl;
        if (!newSet.contains(name))
        {
            std::cerr << "Strings present in old_pdnames but not in "
                         "new_pdnames:"
                      << name << std::endl;
            sendSNMPTrap(trap::driveRemoved, trap::objectName, name,
                         trap::state, trap::driveState);
            sendLog(diskRemovedId, name, name + " removed.");
            setState(false);
        }
    }
    for (const auto& name : newSet)
    {
        std::cout << "new_set: " << name << std::endl;
        if (!oldSet.contains(name))
        {
            std::cerr << "Strings present in new_pdnames but not in "
                         "old_pdnames:"
                      << name << std::endl;
            sendSNMPTrap(trap::driveInserted, trap::objectName, name,
                         trap::state, trap::driveState);
            sendLog(diskInsertedId, name, name + " inserted.");
            setState(true);
        }
    }
}

namespace
{

/** What a confirmed scan acts on, copied under cacheLock. */
struct Confirmed
{
    std::optional<std::vector<std::string>> oldNames;
    std::vector<std::string> newNames;
    PropertyMap published;
};

/** The confirming cache takes the collecting one (cacheLock held). */
void keepForConfirmation()
{
    _confirmingCacheVersion = _collectingCacheVersion;
    _confirmingCache = _collectingCache;
}

/** Steps 1 to 7 under cacheLock: whether this scan confirms the previous
 *  one's drive list; if it does, its cache is published and `out` holds
 *  what the events and the files need. */
bool confirmScan(Confirmed& out)
{
    std::unique_lock lock(cacheLock);
    if (!_cacheUpdated)
    {
        return false;
    }
    const auto* collecting = driveNames(_collectingCache);
    if (collecting == nullptr)
    {
        return false;
    }
    const auto* confirming = driveNames(_confirmingCache);
    if (_confirmingCacheVersion + 1 != _collectingCacheVersion ||
        confirming == nullptr)
    {
        keepForConfirmation();
        return false;
    }
    if (*confirming != *collecting)
    {
        std::string names;
        for (const auto& n : *collecting)
        {
            names += n;
        }
        printErr("%s: replace confirming cache. _confirmingCacheVersion: "
                 "%d, _collectingCacheVersion: %d, dev: %s\n",
                 "tryToUpdateCache", _confirmingCacheVersion,
                 _collectingCacheVersion, names.c_str());
        keepForConfirmation();
        return false;
    }

    keepForConfirmation();
    out.newNames = *collecting;
    if (const auto* old = driveNames(_publishedCache))
    {
        out.oldNames = *old;
    }
    _publishedCache = _collectingCache;
    out.published = *findDevice(_publishedCache, eventResource, eventController,
                                eventDrive);
    return true;
}

} // namespace

void tryToUpdateCache()
{
    // The commands and the file writes run after cacheLock is released, on
    // the copies made under it, in the same order.
    Confirmed confirmed;
    if (!confirmScan(confirmed))
    {
        return;
    }
    if (confirmed.oldNames && *confirmed.oldNames != confirmed.newNames)
    {
        diffPhysicalDisks(*confirmed.oldNames, confirmed.newNames);
    }
    // The health service keeps the flag of before a restart of this daemon
    // (a drive put back meanwhile would leave it false): the first
    // confirmed list since start-up, which sends no event, sends the flag,
    // healthy, once.
    if (!confirmed.oldNames)
    {
        setState(true);
        flagSent = true;
    }
    writeRaidMapToFile(confirmed.published);
}

void resendDiskFlag()
{
    // Before the first confirmed list there is no flag to send yet: that
    // list sends it.
    if (flagSent)
    {
        setState(diskHealthy);
    }
}

std::unique_ptr<sdbus::NameOwnerWatch> followHealthService(sdbus::Bus& bus)
{
    // A health service that (re)starts has every flag true.
    return std::make_unique<sdbus::NameOwnerWatch>(
        bus, healthService, [](const std::string&) { resendDiskFlag(); });
}

} // namespace arrayscout
