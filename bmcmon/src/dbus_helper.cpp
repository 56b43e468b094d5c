#include "bmcmon/dbus_helper.hpp"

#include "bmcmon/property_decode.hpp"
#include "journal/journal.hpp"

#include <malloc.h>

#include <chrono>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <variant>
#include <vector>

namespace bmcmon
{

namespace
{

constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* mapperService = "xyz.openbmc_project.ObjectMapper";
constexpr const char* mapperPath = "/xyz/openbmc_project/object_mapper";
constexpr const char* mapperInterface = "xyz.openbmc_project.ObjectMapper";
constexpr const char* sensorValueInterface = "xyz.openbmc_project.Sensor.Value";
constexpr const char* criticalInterface =
    "xyz.openbmc_project.Sensor.Threshold.Critical";
constexpr const char* powerCapInterface =
    "xyz.openbmc_project.Control.Power.Cap";
constexpr const char* hostInterface = "xyz.openbmc_project.State.Host";
constexpr const char* thermalModeInterface =
    "xyz.openbmc_project.Control.ThermalMode";
constexpr const char* statusInterface = "xyz.openbmc_project.Status";

/** Least time between two journal entries of the same failing call. */
constexpr std::chrono::minutes failureLogPeriod{1};
/** Most messages dropped after one call; the rest wait for the next. */
constexpr std::size_t dropLimit = 4096;

/** Writes the failure of a call to the journal, unless the same call (the
 *  same entry for the same object) was written less than a minute ago: a
 *  peer that stays away must not flood the journal at every retry. */
void logFailure(const char* failure, const std::string& service,
                const std::string& path, const char* what)
{
    using Key = std::tuple<std::string, std::string, std::string>;
    static std::mutex lock;
    static std::map<Key, std::chrono::steady_clock::time_point> written;
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(lock);
        auto [it, first] =
            written.try_emplace(Key{failure, service, path}, now);
        if (!first)
        {
            if (now - it->second < failureLogPeriod)
            {
                return;
            }
            it->second = now;
        }
    }
    journal::logError(failure, what);
}

template <typename Map>
const typename Map::mapped_type* find(const Map& map, const std::string& name)
{
    auto it = map.find(name);
    return it == map.end() ? nullptr : &it->second;
}

} // namespace

std::unique_ptr<DbusHelper> globalDbusHelper;

DbusHelper& initDbusHelper()
{
    globalDbusHelper = std::make_unique<DbusHelper>(sdbus::Bus::newSystem());
    return *globalDbusHelper;
}

DbusHelper::DbusHelper(sdbus::Bus&& connection) : bus(std::move(connection)) {}

sdbus::Message DbusHelper::call(sdbus::Message& message)
{
    try
    {
        sdbus::Message reply = bus.call(message, callTimeoutUsec);
        dropReadAhead();
        return reply;
    }
    catch (...)
    {
        dropReadAhead();
        throw;
    }
}

void DbusHelper::dropReadAhead()
{
    // Whatever the call read besides its reply (signals addressed to this
    // connection, say) is dropped, and the memory it took handed back:
    // nothing else ever reads this connection.
    if (bus.dropPending(dropLimit) > 0)
    {
        ::malloc_trim(0);
    }
}

template <typename V>
std::optional<std::map<std::string, V>>
    DbusHelper::getAll(const std::string& service, const std::string& path,
                       const std::string& intf, const char* failure)
{
    sdbus::Message call =
        bus.newMethodCall(service, path, propertiesInterface, "GetAll");
    call.append(intf);
    try
    {
        sdbus::Message reply = this->call(call);
        return readVariantMap<V>(reply);
    }
    catch (const sdbus::Exception& e)
    {
        if (failure == nullptr)
        {
            return std::nullopt;
        }
        logFailure(failure, service, path, e.what());
        throw;
    }
}

std::string DbusHelper::lookupService(const std::string& intf,
                                      const std::string& path)
{
    sdbus::Message call = bus.newMethodCall(mapperService, mapperPath,
                                            mapperInterface, "GetObject");
    call.append(path, std::vector<std::string>{intf});

    std::map<std::string, std::vector<std::string>> services;
    try
    {
        sdbus::Message reply = this->call(call);
        reply.read(services);
    }
    catch (const sdbus::Exception& e)
    {
        logFailure("ObjectMapper call failure", mapperService, path, e.what());
        throw;
    }

    if (services.empty())
    {
        throw std::runtime_error("Unable to find Object: " + path);
    }
    return services.begin()->first;
}

void DbusHelper::readSensorValue(const std::string& service,
                                 const std::string& path,
                                 SensorValueProperties& prop)
{
    auto props = *getAll<DbusPropertyValue>(service, path, sensorValueInterface,
                                            "GetAll Properties Failed");

    if (const auto* unit = find(props, "Unit"))
    {
        prop.unit = std::get<std::string>(*unit);
    }
    prop.scale = 0;
    prop.min = 0;
    prop.max = 0;
    if (const auto* scale = find(props, "Scale"))
    {
        prop.scale = std::get<int64_t>(*scale);
    }
    if (const auto* max = find(props, "MaxValue"))
    {
        prop.max = toDouble(*max);
    }
    if (const auto* min = find(props, "MinValue"))
    {
        prop.min = toDouble(*min);
    }
    const auto* value = find(props, "Value");
    prop.value = value != nullptr ? toDouble(*value) : 0.0;
}

void DbusHelper::readPowerCap(const std::string& service,
                              const std::string& path, PowerCapSetting& setting)
{
    auto props = *getAll<std::variant<uint32_t, bool>>(
        service, path, powerCapInterface, "GetAll PowerCap Properties Failed");

    setting.enabled = false;
    setting.cap = 0;
    if (const auto* enabled = find(props, "PowerCapEnable"))
    {
        setting.enabled = std::get<bool>(*enabled);
    }
    if (const auto* cap = find(props, "PowerCap"))
    {
        setting.cap = std::get<uint32_t>(*cap);
    }
}

void DbusHelper::readHostState(const std::string& service,
                               const std::string& path, int& state)
{
    auto props = *getAll<std::variant<std::string>>(
        service, path, hostInterface, "GetAll HostState Properties Failed");

    if (const auto* current = find(props, "CurrentHostState"))
    {
        state = hostStateCode(std::get<std::string>(*current));
    }
}

void DbusHelper::readThermalMode(const std::string& service,
                                 const std::string& path, int& mode)
{
    auto props = *getAll<std::variant<std::string>>(
        service, path, thermalModeInterface,
        "GetAll ThermalMode Properties Failed");

    if (const auto* current = find(props, "Current"))
    {
        mode = thermalModeCode(std::get<std::string>(*current));
    }
}

void DbusHelper::readHealth(const std::string& service, const std::string& path,
                            int& code)
{
    auto props = *getAll<std::variant<bool>>(
        service, path, statusInterface, "Get Fan Health Properties Failed");

    if (const auto* health = find(props, "Health"))
    {
        code = std::get<bool>(*health) ? HealthCode::good : HealthCode::fail;
    }
}

void DbusHelper::writeHealth(const std::string& service,
                             const std::string& path, const int& code)
{
    if (code == HealthCode::unknown)
    {
        return;
    }
    try
    {
        // A connection of its own for this one call, closed when done.
        sdbus::Bus conn = sdbus::Bus::newSystem();
        sdbus::Message call =
            conn.newMethodCall(service, path, propertiesInterface, "Set");
        call.append(statusInterface, "Health",
                    std::variant<bool>(code == HealthCode::good));
        conn.call(call, callTimeoutUsec);
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "Failed to set fan state. Exception: " << e.what()
                  << std::endl;
    }
}

bool DbusHelper::readCriticalAlarms(const std::string& service,
                                    const std::string& path)
{
    auto props =
        getAll<DbusPropertyValue>(service, path, criticalInterface, nullptr);
    if (!props)
    {
        return false;
    }

    if (const auto* low = find(*props, "CriticalAlarmLow"))
    {
        if (std::get<bool>(*low))
        {
            return true;
        }
    }
    const auto* high = find(*props, "CriticalAlarmHigh");
    return high != nullptr && std::get<bool>(*high);
}

void DbusHelper::postLogEntry(const std::string& message)
{
    try
    {
        sdbus::Message call = bus.newMethodCall(
            "xyz.openbmc_project.Logging", "/xyz/openbmc_project/logging/entry",
            "xyz.openbmc_project.Logging.Entry", "error");
        call.append(message);
        this->call(call);
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "ERROR. Failed to create log entry. Exception: "
                  << e.what() << std::endl;
    }
}

} // namespace bmcmon
