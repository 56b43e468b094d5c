#include "property_cache.hpp"

#include "output.hpp"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <string_view>

namespace arrayscout
{

sdbus::ObjectServer* objectServer = nullptr;
InterfaceMap BusMap;
DeviceCache _collectingCache;
DeviceCache _confirmingCache;
DeviceCache _publishedCache;
bool _cacheUpdated = false;
int32_t _collectingCacheVersion = 0;
int32_t _confirmingCacheVersion = 0;
std::shared_mutex cacheLock;
std::shared_mutex scanLock;

namespace
{

bool validName(const std::string& name)
{
    constexpr std::string_view allowed = "abcdefghijklmnopqrstuvwxyz"
                                         "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                         "0123456789_";
    return name.find_first_not_of(allowed) == std::string::npos;
}

std::shared_ptr<sdbus::DbusInterface> interfaceOf(int resource, int controller,
                                                  int drive)
{
    auto r = BusMap.find(resource);
    if (r == BusMap.end())
    {
        return nullptr;
    }
    auto c = r->second.find(controller);
    if (c == r->second.end())
    {
        return nullptr;
    }
    auto d = c->second.find(drive);
    if (d == c->second.end())
    {
        return nullptr;
    }
    return d->second;
}

template <typename T>
void store(int resource, int controller, int drive, const std::string& name,
           const T& value)
{
    auto iface = interfaceOf(resource, controller, drive);
    if (!iface)
    {
        // A store always follows the creation of its device; without one
        // there is nothing to publish on.
        printOut("set_property %s failed!\n", name.c_str());
        return;
    }
    if (!iface->isInitialized())
    {
        if (!validName(name))
        {
            printOut("register_property %s failed!\n", name.c_str());
            return;
        }
        // A second store of the same name in the first refresh replaces the
        // value still waiting to be announced.
        if (!iface->registerProperty<T>(name, value) &&
            !iface->setProperty<T>(name, value))
        {
            printOut("register_property %s failed!\n", name.c_str());
            return;
        }
    }
    else if (!iface->setProperty<T>(name, value))
    {
        printOut("set_property %s failed!\n", name.c_str());
        return;
    }

    std::unique_lock lock(cacheLock);
    _cacheUpdated = true;
    _collectingCache[resource][controller][drive][name] = value;
}

} // namespace

void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name, int64_t value)
{
    store(resource, controller, drive, name, value);
}

void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name, int32_t value)
{
    store(resource, controller, drive, name, value);
}

void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name, const std::string& value)
{
    store(resource, controller, drive, name, value);
}

void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name,
                           const std::vector<int32_t>& value)
{
    store(resource, controller, drive, name, value);
}

void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name,
                           const std::vector<std::string>& value)
{
    store(resource, controller, drive, name, value);
}

void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name,
                           const std::vector<std::vector<int32_t>>& value)
{
    store(resource, controller, drive, name, value);
}

void registerOrSetProperty(int resource, int controller, int drive,
                           const std::string& name,
                           const std::vector<int64_t>& value)
{
    store(resource, controller, drive, name, value);
}

void publishProperties(int resource, int controller, int drive,
                       const PropertyList& values)
{
    for (const auto& entry : values)
    {
        const std::string& name = entry.first;
        std::visit(
            [&](const auto& v) {
            registerOrSetProperty(resource, controller, drive, name, v);
            },
            entry.second);
    }
}

bool isInBusMap(int resource, int controller, int drive)
{
    auto r = BusMap.find(resource);
    if (r == BusMap.end())
    {
        return false;
    }
    printOut("This resource already in BusMap[%d]!\n", resource);
    auto c = r->second.find(controller);
    if (c == r->second.end())
    {
        return false;
    }
    printOut("This ctrl already in BusMap[%d][%d]!\n", resource, controller);
    auto d = c->second.find(drive);
    if (d == c->second.end())
    {
        return false;
    }
    printOut("This driver already in BusMap[%d][%d][%d]!\n", resource,
             controller, drive);
    return d->second != nullptr;
}

void dropStaleDevices(int resource, int controller, int drive)
{
    std::shared_ptr<sdbus::DbusInterface> iface =
        interfaceOf(resource, controller, drive);
    if (iface && objectServer != nullptr)
    {
        objectServer->removeInterface(iface);
    }
    auto r = BusMap.find(resource);
    if (r != BusMap.end())
    {
        auto c = r->second.find(controller);
        if (c != r->second.end())
        {
            c->second.erase(drive);
            if (c->second.empty())
            {
                r->second.erase(c);
            }
        }
        if (r->second.empty())
        {
            BusMap.erase(r);
        }
    }
    // The last reference goes with `iface`.
}

const PropertyMap* findDevice(const DeviceCache& cache, int resource,
                              int controller, int drive)
{
    auto r = cache.find(resource);
    if (r == cache.end())
    {
        return nullptr;
    }
    auto c = r->second.find(controller);
    if (c == r->second.end())
    {
        return nullptr;
    }
    auto d = c->second.find(drive);
    if (d == c->second.end())
    {
        return nullptr;
    }
    return &d->second;
}

bool hasDriveNames(int resource, int controller, int drive,
                   const DeviceCache& cache)
{
    const PropertyMap* device = findDevice(cache, resource, controller, drive);
    return device != nullptr && device->contains("PD_names");
}

bool hasPublishedDriveNames(int resource, int controller, int drive)
{
    std::shared_lock lock(cacheLock);
    return hasDriveNames(resource, controller, drive, _publishedCache);
}

int updateResourceDevice(const std::vector<int>& found)
{
    std::cout << "updateResourceDevice!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
              << std::endl;
    registerOrSetProperty(0, 0, 0, "resourceNum",
                          static_cast<int32_t>(found.size()));
    registerOrSetProperty(0, 0, 0, "resourceI2CList",
                          std::vector<int32_t>(found.begin(), found.end()));
    return 0;
}

void resetDeviceState()
{
    std::unique_lock scan(scanLock);
    std::unique_lock cache(cacheLock);
    if (objectServer != nullptr)
    {
        for (auto& [r, controllers] : BusMap)
        {
            for (auto& [c, drives] : controllers)
            {
                for (auto& [d, iface] : drives)
                {
                    objectServer->removeInterface(iface);
                }
            }
        }
    }
    BusMap.clear();
    _collectingCache.clear();
    _confirmingCache.clear();
    _publishedCache.clear();
    _cacheUpdated = false;
    _collectingCacheVersion = 0;
    _confirmingCacheVersion = 0;
}

} // namespace arrayscout
