#pragma once

// Every value the daemon publishes goes through registerOrSetProperty: it is
// registered on (first refresh) or set on (later) the D-Bus interface of its
// device and then stored in the collecting cache, which the end of a scan
// compares and publishes. D-Bus reads are answered by the interfaces, never
// from the caches.

#include "sdbus/dbus_interface.hpp"
#include "sdbus/object_server.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace arrayscout
{

/** (resource, controller, drive): (0, 0, 0) is the resource object; (r, c,
 *  0) controller c of I2C bus 13 + r. */
struct DeviceKey
{
    int resource = 0;
    int controller = 0;
    int drive = 0;
};

/** A published value: x, i, s, ai, as, aai, ax. */
using PropertyValue =
    std::variant<int64_t, int32_t, std::string, std::vector<int32_t>,
                 std::vector<std::string>, std::vector<std::vector<int32_t>>,
                 std::vector<int64_t>>;

/** Property name to value, sorted by name. */
using PropertyMap = std::map<std::string, PropertyValue>;

/** Values read for one device, in the order they are published. */
using PropertyList = std::vector<std::pair<std::string, PropertyValue>>;

/** resource -> controller -> drive -> properties. */
using DeviceCache = std::map<int, std::map<int, std::map<int, PropertyMap>>>;

/** resource -> controller -> drive -> the device's interface. */
using InterfaceMap = std::map<
    int, std::map<int, std::map<int, std::shared_ptr<sdbus::DbusInterface>>>>;

/** The object server the devices are added to; set by main. */
extern sdbus::ObjectServer* objectServer;

/** The device interfaces; only scans change it. */
extern InterfaceMap BusMap;

/** Filled by the running scan, emptied at each scan's start. */
extern DeviceCache _collectingCache;
/** The previous scan's collecting cache. */
extern DeviceCache _confirmingCache;
/** The last confirmed cache: drive events and inventory files. */
extern DeviceCache _publishedCache;
/** Cleared at each scan's start, set by every store. */
extern bool _cacheUpdated;
extern int32_t _collectingCacheVersion;
extern int32_t _confirmingCacheVersion;

/** Guards the caches, the flag and the versions; taken inside scanLock. */
extern std::shared_mutex cacheLock;
/** Held exclusively for a whole scan. */
extern std::shared_mutex scanLock;

void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name, int64_t value);
void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name, int32_t value);
void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name, const std::string& value);
void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name,
                           const std::vector<int32_t>& value);
void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name,
                           const std::vector<std::string>& value);
void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name,
                           const std::vector<std::vector<int32_t>>& value);
void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name,
                           const std::vector<int64_t>& value);

/** registerOrSetProperty of each value, in order. */
void publishProperties(int resource, int controller, int drive,
                       const PropertyList& values);

/** Whether the device already has an interface in BusMap. */
bool isInBusMap(int resource, int controller, int drive);

/** Takes a device whose first refresh failed off the object server and out
 *  of BusMap; the caches keep what it stored. */
void dropStaleDevices(int resource, int controller, int drive);

/** Whether `cache` holds the device with a "PD_names" entry; the caller
 *  holds cacheLock. */
bool hasDriveNames(int resource, int controller, int drive,
                   const DeviceCache& cache);

/** hasDriveNames on the published cache, under a shared cacheLock. */
bool hasPublishedDriveNames(int resource, int controller, int drive);

/** Publishes resourceNum and resourceI2CList of the resource object;
 *  returns 0. */
int updateResourceDevice(const std::vector<int>& found);

/** The device's properties in `cache`, or nullptr. */
const PropertyMap* findDevice(const DeviceCache& cache, int resource,
                              int controller, int drive);

/** Forgets every device, cache and version (for a fresh start in tests). */
void resetDeviceState();

} // namespace arrayscout
