#include "host_state_dbus_passive.hpp"

#include "bmcmon/property_decode.hpp"
#include "bmcmon/sensor_util.hpp"
#include "changed_properties.hpp"
#include "sdbus/error.hpp"

#include <iostream>
#include <optional>
#include <variant>

namespace bmcmon
{

namespace
{
constexpr const char* hostInterface = "xyz.openbmc_project.State.Host";
} // namespace

std::unique_ptr<HostStateDbusPassive> createHostStateDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper, const PassiveSensorConfig&,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clock clock)
{
    if (helper == nullptr)
    {
        std::cerr << "createHostStateDbusPassive: helper=null" << std::endl;
        return nullptr;
    }
    std::string path;
    int state = HostPowerState::other;
    try
    {
        path = getSensorPath(type, id);
        std::string service = helper->lookupService(hostInterface, path);
        helper->readHostState(service, path, state);
    }
    catch (const std::exception& e)
    {
        std::cerr << "createHostStateDbusPassive: exception: " << e.what()
                  << std::endl;
        return nullptr;
    }
    return std::make_unique<HostStateDbusPassive>(
        bus, type, id, std::move(helper), state, path, redundancy,
        std::move(clock));
}

HostStateDbusPassive::HostStateDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& hostId,
    std::unique_ptr<DbusHelperInterface> hostHelper, int initial,
    const std::string& hostPath,
    const std::shared_ptr<DbusPassiveRedundancy>& failures, Clock now) :
    id(hostId),
    helper(std::move(hostHelper)), path(hostPath), redundancy(failures),
    clock(std::move(now))
{
    try
    {
        match = std::make_unique<sdbus::Match>(bus, getMatch(type, hostId),
                                               [this](sdbus::Message& m) {
            handleHostSignal(m);
        });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "HostStateDbusPassive: no signals will be followed for "
                  << path << ": " << e.what() << std::endl;
    }
    setHostState(initial);
}

SensorReading HostStateDbusPassive::read()
{
    std::lock_guard<std::mutex> guard(lock);
    return {0.0, updated};
}

bool HostStateDbusPassive::isFailed()
{
    return redundancy && redundancy->getFailedSet().contains(path);
}

void HostStateDbusPassive::setHostState(int s)
{
    std::lock_guard<std::mutex> guard(lock);
    if (s == state)
    {
        return;
    }
    std::cerr << "Host state changed. Value: " << state << " -> " << s
              << std::endl;
    state = s;
    updated = clock();
}

int HostStateDbusPassive::getHostState(
    std::chrono::system_clock::time_point& changeTime)
{
    std::lock_guard<std::mutex> guard(lock);
    changeTime = updated;
    return state;
}

void HostStateDbusPassive::handleHostSignal(sdbus::Message& message)
{
    std::optional<std::string> current;
    try
    {
        std::string intf;
        message.read(intf);
        if (intf != hostInterface)
        {
            return;
        }
        // Decoded as a string only: a value of another type reads as "",
        // which is neither running nor off.
        forEachChanged(message,
                       [&](const std::string& name, const std::string&) {
            if (name != "CurrentHostState")
            {
                return false;
            }
            current = std::get<std::string>(
                readVariant<std::variant<std::string>>(message));
            return true;
        });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "HostStateDbusPassive: ignoring unreadable signal of "
                  << path << ": " << e.what() << std::endl;
        return;
    }
    if (current)
    {
        setHostState(hostStateCode(*current));
    }
}

} // namespace bmcmon
