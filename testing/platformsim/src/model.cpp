#include "model.hpp"

#include "sdbusjson/converter.hpp"
#include "sdbusjson/signature.hpp"

#include <systemd/sd-bus.h>

#include <set>
#include <stdexcept>

namespace platformsim
{

using sdbusjson::Converter;
namespace signature = sdbusjson::signature;
using nlohmann::json;

namespace
{

[[noreturn]] void fail(const std::string& where, const std::string& why)
{
    throw std::invalid_argument(where + ": " + why);
}

void onlyKeys(const json& object, const std::string& where,
              const std::set<std::string>& allowed)
{
    if (!object.is_object())
    {
        fail(where, "must be a JSON object");
    }
    for (const auto& [key, value] : object.items())
    {
        if (!allowed.contains(key))
        {
            fail(where, "unknown key \"" + key + "\"");
        }
    }
}

std::string stringAt(const json& object, const std::string& key,
                     const std::string& where, bool required)
{
    auto it = object.find(key);
    if (it == object.end())
    {
        if (required)
        {
            fail(where, "\"" + key + "\" is missing");
        }
        return {};
    }
    if (!it->is_string())
    {
        fail(where, "\"" + key + "\" must be a string");
    }
    return it->get<std::string>();
}

std::string checkedSignature(const json& method, const std::string& key,
                             const std::string& where)
{
    auto sig = stringAt(method, key, where, false);
    if (!signature::isValid(sig))
    {
        fail(where,
             "\"" + key + "\" is not a valid signature: \"" + sig + "\"");
    }
    return sig;
}

Property parseProperty(const json& value, const std::string& where)
{
    if (!value.is_array() || value.size() != 2 || !value[0].is_string())
    {
        fail(where, "a property is [signature, value]");
    }
    Property property;
    property.signature = value[0].get<std::string>();
    try
    {
        property.value = Converter::normalize(property.signature, value[1]);
    }
    catch (const std::invalid_argument& e)
    {
        fail(where, e.what());
    }
    return property;
}

Method parseMethod(const json& value, const std::string& where)
{
    onlyKeys(value, where, {"in", "out", "reply", "error"});
    Method method;
    method.in = checkedSignature(value, "in", where);
    method.out = checkedSignature(value, "out", where);
    try
    {
        if (value.contains("reply"))
        {
            method.reply = Converter::normalizeArgs(method.out, value["reply"]);
        }
        else
        {
            method.reply = json::array();
            for (const auto& type : signature::split(method.out))
            {
                method.reply.push_back(Converter::defaultValue(type));
            }
        }
    }
    catch (const std::invalid_argument& e)
    {
        fail(where, std::string("reply: ") + e.what());
    }
    if (auto it = value.find("error"); it != value.end())
    {
        if (it->is_string())
        {
            method.errorName = it->get<std::string>();
        }
        else
        {
            onlyKeys(*it, where + ": error", {"name", "message"});
            method.errorName = stringAt(*it, "name", where + ": error", true);
            method.errorMessage =
                stringAt(*it, "message", where + ": error", false);
        }
        if (sd_bus_interface_name_is_valid(method.errorName.c_str()) <= 0)
        {
            fail(where, "invalid error name \"" + method.errorName + "\"");
        }
    }
    return method;
}

Interface parseInterface(const json& value, const std::string& where)
{
    onlyKeys(value, where, {"properties", "methods"});
    Interface interface;
    if (auto it = value.find("properties"); it != value.end())
    {
        if (!it->is_object())
        {
            fail(where, "\"properties\" must be an object");
        }
        for (const auto& [name, property] : it->items())
        {
            std::string at = where + ": property " + name;
            if (sd_bus_member_name_is_valid(name.c_str()) <= 0)
            {
                fail(at, "invalid property name");
            }
            interface.properties[name] = parseProperty(property, at);
        }
    }
    if (auto it = value.find("methods"); it != value.end())
    {
        if (!it->is_object())
        {
            fail(where, "\"methods\" must be an object");
        }
        for (const auto& [name, method] : it->items())
        {
            std::string at = where + ": method " + name;
            if (sd_bus_member_name_is_valid(name.c_str()) <= 0)
            {
                fail(at, "invalid method name");
            }
            interface.methods[name] = parseMethod(method, at);
        }
    }
    return interface;
}

ServiceConfig parseService(const json& value, const std::string& where)
{
    onlyKeys(value, where, {"name", "objectManager", "objects", "absent"});
    ServiceConfig service;
    service.name = stringAt(value, "name", where, true);
    if (sd_bus_service_name_is_valid(service.name.c_str()) <= 0 ||
        service.name.starts_with(':'))
    {
        fail(where, "invalid service name \"" + service.name + "\"");
    }
    std::string at = where + " (" + service.name + ")";
    service.objectManager = stringAt(value, "objectManager", at, false);
    if (!service.objectManager.empty() &&
        sd_bus_object_path_is_valid(service.objectManager.c_str()) <= 0)
    {
        fail(at,
             "invalid objectManager path \"" + service.objectManager + "\"");
    }
    if (auto it = value.find("absent"); it != value.end())
    {
        if (!it->is_boolean())
        {
            fail(at, "\"absent\" must be a boolean");
        }
        service.absent = it->get<bool>();
    }
    if (auto it = value.find("objects"); it != value.end())
    {
        if (!it->is_array())
        {
            fail(at, "\"objects\" must be an array");
        }
        for (size_t i = 0; i < it->size(); ++i)
        {
            auto [path, object] = parseObject(
                (*it)[i], at + ": objects[" + std::to_string(i) + "]");
            if (service.objects.contains(path))
            {
                fail(at, "object " + path + " is listed twice");
            }
            service.objects.emplace(std::move(path), std::move(object));
        }
    }
    return service;
}

} // namespace

bool isStandardInterface(const std::string& name)
{
    return name == "org.freedesktop.DBus.Properties" ||
           name == "org.freedesktop.DBus.Introspectable" ||
           name == "org.freedesktop.DBus.Peer" ||
           name == "org.freedesktop.DBus.ObjectManager";
}

std::pair<std::string, Object> parseObject(const json& value,
                                           const std::string& where)
{
    onlyKeys(value, where, {"path", "interfaces"});
    std::string path = stringAt(value, "path", where, true);
    if (sd_bus_object_path_is_valid(path.c_str()) <= 0)
    {
        fail(where, "invalid object path \"" + path + "\"");
    }
    std::string at = where + " (" + path + ")";
    Object object;
    if (auto it = value.find("interfaces"); it != value.end())
    {
        if (!it->is_object())
        {
            fail(at, "\"interfaces\" must be an object");
        }
        for (const auto& [name, interface] : it->items())
        {
            std::string inner = at + ": interface " + name;
            if (sd_bus_interface_name_is_valid(name.c_str()) <= 0)
            {
                fail(inner, "invalid interface name");
            }
            if (isStandardInterface(name))
            {
                fail(inner, "standard interfaces are served by the simulator");
            }
            object.interfaces[name] = parseInterface(interface, inner);
        }
    }
    return {path, std::move(object)};
}

Config parseConfig(const json& value)
{
    onlyKeys(value, "config", {"services", "mapper", "callLogLimit"});
    Config config;
    if (auto it = value.find("callLogLimit"); it != value.end())
    {
        if (!it->is_number_unsigned() || it->get<uint64_t>() == 0)
        {
            fail("config", "\"callLogLimit\" must be a positive integer");
        }
        config.callLogLimit = it->get<size_t>();
    }
    if (auto it = value.find("mapper"); it != value.end())
    {
        if (!it->is_boolean())
        {
            fail("config", "\"mapper\" must be a boolean");
        }
        config.mapper = it->get<bool>();
    }
    std::set<std::string> names;
    if (auto it = value.find("services"); it != value.end())
    {
        if (!it->is_array())
        {
            fail("config", "\"services\" must be an array");
        }
        for (size_t i = 0; i < it->size(); ++i)
        {
            auto service =
                parseService((*it)[i], "services[" + std::to_string(i) + "]");
            if (!names.insert(service.name).second)
            {
                fail("config", "service " + service.name + " is listed twice");
            }
            config.services.push_back(std::move(service));
        }
    }
    return config;
}

} // namespace platformsim
