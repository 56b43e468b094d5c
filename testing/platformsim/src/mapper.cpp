#include "mapper.hpp"

#include "bus_error.hpp"
#include "sdbus_ptr.hpp"
#include "sdbusjson/converter.hpp"
#include "service.hpp"

#include <algorithm>
#include <map>

namespace platformsim
{

using nlohmann::json;
using sdbusjson::Converter;

namespace
{

/** The interfaces of the object that pass the filter: all of them when
 *  any of the wanted ones is among them (or nothing is wanted), else none. */
std::vector<std::string> matching(const Object& object,
                                  const std::vector<std::string>& wanted)
{
    std::vector<std::string> names;
    bool hit = wanted.empty();
    for (const auto& [name, interface] : object.interfaces)
    {
        names.push_back(name);
        hit = hit ||
              std::find(wanted.begin(), wanted.end(), name) != wanted.end();
    }
    if (!hit)
    {
        names.clear();
    }
    return names;
}

std::vector<std::string> toStrings(const json& list)
{
    std::vector<std::string> out;
    for (const auto& item : list)
    {
        out.push_back(item.get<std::string>());
    }
    return out;
}

/** Number of path elements of path below root, or -1 when it is not
 *  strictly below root. */
int depthBelow(const std::string& root, const std::string& path)
{
    std::string prefix = root == "/" ? "/" : root + "/";
    if (path.size() <= prefix.size() || !path.starts_with(prefix))
    {
        return -1;
    }
    return 1 + static_cast<int>(
                   std::count(path.begin() + prefix.size(), path.end(), '/'));
}

void send(sd_bus_message* call, const std::string& sig, const json& value)
{
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(call, &reply);
    if (r < 0)
    {
        throw std::runtime_error("cannot create a reply");
    }
    MessagePtr owned(reply);
    Converter::append(reply, sig, value);
    if (sd_bus_send(nullptr, reply, nullptr) < 0)
    {
        throw std::runtime_error("cannot send a reply");
    }
}

} // namespace

ServiceConfig Mapper::serviceConfig()
{
    ServiceConfig config;
    config.name = serviceName;
    Interface mapper;
    mapper.methods["GetObject"] = {"sas", "a{sas}", json::array(), "", ""};
    mapper.methods["GetSubTree"] = {"sias", "a{sa{sas}}", json::array(), "",
                                    ""};
    mapper.methods["GetSubTreePaths"] = {"sias", "as", json::array(), "", ""};
    config.objects[path].interfaces[interface] = std::move(mapper);
    return config;
}

void Mapper::answer(sd_bus_message* call, const std::string& member) const
{
    if (member == "GetObject")
    {
        getObject(call);
    }
    else
    {
        getSubTree(call, member == "GetSubTreePaths");
    }
}

void Mapper::getObject(sd_bus_message* call) const
{
    json args = Converter::readBody(call);
    std::string path = args[0].get<std::string>();
    auto wanted = toStrings(args[1]);
    json result = json::array();
    std::map<std::string, std::vector<std::string>> found;
    for (const Service* service : services())
    {
        auto it = service->objects().find(path);
        if (it == service->objects().end())
        {
            continue;
        }
        auto names = matching(it->second, wanted);
        if (!names.empty())
        {
            found[service->name()] = std::move(names);
        }
    }
    if (found.empty())
    {
        throw BusError(error::resourceNotFound, "The resource is not found.");
    }
    for (const auto& [service, names] : found)
    {
        result.push_back(json::array({service, names}));
    }
    send(call, "a{sas}", result);
}

void Mapper::getSubTree(sd_bus_message* call, bool pathsOnly) const
{
    json args = Converter::readBody(call);
    std::string root = args[0].get<std::string>();
    int depth = args[1].get<int>();
    auto wanted = toStrings(args[2]);
    if (root.size() > 1 && root.ends_with('/'))
    {
        root.pop_back();
    }
    std::map<std::string, std::map<std::string, std::vector<std::string>>> tree;
    for (const Service* service : services())
    {
        for (const auto& [path, object] : service->objects())
        {
            int below = depthBelow(root, path);
            if (below < 0 || (depth > 0 && below > depth))
            {
                continue;
            }
            auto names = matching(object, wanted);
            if (!names.empty())
            {
                tree[path][service->name()] = std::move(names);
            }
        }
    }
    json result = json::array();
    for (const auto& [path, holders] : tree)
    {
        if (pathsOnly)
        {
            result.push_back(path);
            continue;
        }
        json services = json::array();
        for (const auto& [service, names] : holders)
        {
            services.push_back(json::array({service, names}));
        }
        result.push_back(json::array({path, services}));
    }
    send(call, pathsOnly ? "as" : "a{sa{sas}}", result);
}

} // namespace platformsim
