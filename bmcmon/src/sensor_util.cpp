#include "bmcmon/sensor_util.hpp"

// GCC 12 warns inside std::regex's own code when built with sanitizers and
// optimisation (a known false positive of -Wmaybe-uninitialized).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <cmath>
#include <set>

namespace bmcmon
{

namespace
{
constexpr const char* sensorRoot = "/xyz/openbmc_project/sensors/";
} // namespace

bool validType(const std::string& type)
{
    static const std::set<std::string> types = {"fan", "temp", "margin",
                                                "power"};
    return types.contains(type);
}

std::string getSensorPath(const std::string& type, const std::string& id)
{
    if (type == "fan")
    {
        return std::string(sensorRoot) + "fan_tach/" + id;
    }
    if (type == "temp" || type == "margin")
    {
        return std::string(sensorRoot) + "temperature/" + id;
    }
    if (type == "power")
    {
        return std::string(sensorRoot) + "power/" + id;
    }
    if (type == "powercap")
    {
        return "/xyz/openbmc_project/control/host0/power_cap";
    }
    if (type == "host")
    {
        return "/xyz/openbmc_project/state/" + id;
    }
    if (type == "ThermalMode")
    {
        return "/xyz/openbmc_project/control/thermal";
    }
    return std::string(sensorRoot) + "unknown/" + id;
}

std::string getMatch(const std::string& type, const std::string& id)
{
    return "type='signal',"
           "interface='org.freedesktop.DBus.Properties',"
           "member='PropertiesChanged',"
           "path='" +
           getSensorPath(type, id) + "'";
}

double applyScale(double value, int64_t scale)
{
    return value * std::pow(10.0, static_cast<double>(scale));
}

void scaleSensorReading(double min, double max, double& value)
{
    if (max <= 0 || max <= min)
    {
        return;
    }
    value = (value - min) / (max - min);
}

uint64_t assignNameId(const std::string& name,
                      std::map<std::string, uint64_t>& table, uint64_t first)
{
    if (auto it = table.find(name); it != table.end())
    {
        return it->second;
    }
    uint64_t id = first;
    auto taken = [&table](uint64_t candidate) {
        for (const auto& [other, otherId] : table)
        {
            if (otherId == candidate)
            {
                return true;
            }
        }
        return false;
    };
    while (taken(id))
    {
        ++id;
    }
    table.emplace(name, id);
    return id;
}

std::vector<std::pair<std::string, std::string>>
    findPathsByName(const std::string& name,
                    const std::unordered_map<std::string, std::string>& table)
{
    const std::regex pattern("/" + name + "$", std::regex::ECMAScript);
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& entry : table)
    {
        if (std::regex_search(entry.first, pattern))
        {
            found.emplace_back(entry.first, entry.second);
        }
    }
    return found;
}

} // namespace bmcmon
