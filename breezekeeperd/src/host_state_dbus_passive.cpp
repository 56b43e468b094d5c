#include "host_state_dbus_passive.hpp"

#include <iostream>

namespace bmcmon
{

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
    // A value that is no text is neither running nor off.
    return [this, code = hostStateCode(readText(m))] { setHostState(code); };
}

int HostStateDbusPassive::current()
{
    std::lock_guard<std::mutex> guard(lock);
    return state;
}

void HostStateDbusPassive::storeSetting(const int& setting, bool)
{
    setHostState(setting);
}

} // namespace bmcmon
