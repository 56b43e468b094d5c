#include "host_state_dbus_passive.hpp"

#include "bmcmon/property_decode.hpp"

#include <iostream>
#include <variant>

namespace bmcmon
{

const SettingReaderTraits HostStateDbusPassive::traits = {
    .reader = "HostStateDbusPassive",
    .factory = "createHostStateDbusPassive",
    .interface = "xyz.openbmc_project.State.Host"};

std::unique_ptr<HostStateDbusPassive> createHostStateDbusPassive(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper, const PassiveSensorConfig&,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clocks clocks)
{
    return createSettingReader<HostStateDbusPassive>(
        bus, type, id, std::move(helper), redundancy, std::move(clocks));
}

HostStateDbusPassive::HostStateDbusPassive(
    std::unique_ptr<DbusHelperInterface> helper,
    std::unique_ptr<ObjectWatch> watch, int initial,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clocks clocks) :
    SettingDbusPassive(traits, std::move(helper), std::move(watch), redundancy,
                       std::move(clocks))
{
    setHostState(initial);
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
    changed = clocks.steady();
    stamp();
}

int HostStateDbusPassive::getHostState(
    std::chrono::steady_clock::time_point& changeTime)
{
    std::lock_guard<std::mutex> guard(lock);
    changeTime = changed;
    return state;
}

SettingDbusPassive::Store HostStateDbusPassive::takeChanged(
    sdbus::Message& m, const std::string& name, const std::string&)
{
    if (name != "CurrentHostState")
    {
        return nullptr;
    }
    // Decoded as a string only: a value of another type reads as "", which
    // is neither running nor off.
    const int code = hostStateCode(
        std::get<std::string>(readVariant<std::variant<std::string>>(m)));
    return [this, code] { setHostState(code); };
}

void HostStateDbusPassive::readSetting(DbusHelperInterface& helper,
                                       const std::string& service,
                                       const std::string& path)
{
    std::chrono::steady_clock::time_point since;
    int s = getHostState(since);
    readInitial(helper, service, path, s);
    setHostState(s);
}

} // namespace bmcmon
