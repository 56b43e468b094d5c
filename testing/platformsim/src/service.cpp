#include "service.hpp"

#include "bus_error.hpp"
#include "clock.hpp"
#include "introspect.hpp"
#include "sdbusjson/converter.hpp"
#include "sdbusjson/signature.hpp"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

namespace platformsim
{

using sdbusjson::Converter;
namespace signature = sdbusjson::signature;
using nlohmann::json;

namespace
{

constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* introspectableInterface =
    "org.freedesktop.DBus.Introspectable";
constexpr const char* managerInterface = "org.freedesktop.DBus.ObjectManager";

void check(int r, const std::string& what)
{
    if (r < 0)
    {
        throw std::runtime_error(what + ": " + std::strerror(-r));
    }
}

std::string text(const char* s)
{
    return s ? s : "";
}

void appendVariant(sd_bus_message* m, const Property& property)
{
    check(sd_bus_message_open_container(m, 'v', property.signature.c_str()),
          "opening a variant");
    Converter::append(m, property.signature, property.value);
    check(sd_bus_message_close_container(m), "closing a variant");
}

void replyError(sd_bus_message* call, const std::string& name,
                const std::string& message)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_error_set(&error, name.c_str(), message.c_str());
    sd_bus_reply_method_error(call, &error);
    sd_bus_error_free(&error);
}

void requireSignature(sd_bus_message* call, const std::string& member,
                      const char* expected)
{
    std::string actual = text(sd_bus_message_get_signature(call, 1));
    if (actual != expected)
    {
        throw BusError(error::invalidArgs, member + " takes (" + expected +
                                               "), not (" + actual + ")");
    }
}

/** The call-log detail: the property for Get and Set (with Set's value),
 *  the interface for GetAll, the arguments for anything else. */
std::string describe(sd_bus_message* call, const std::string& interface,
                     const std::string& member)
{
    std::string sig = text(sd_bus_message_get_signature(call, 1));
    json args;
    try
    {
        args = Converter::readBody(call);
    }
    catch (const std::exception& e)
    {
        return std::string("<unreadable: ") + e.what() + ">";
    }
    if (interface == propertiesInterface || interface.empty())
    {
        if (member == "Get" && sig == "ss")
        {
            return args[1].get<std::string>();
        }
        if (member == "Set" && sig == "ssv")
        {
            const auto& variant = args[2];
            return args[1].get<std::string>() + "=" +
                   Converter::render(variant[0].get<std::string>(), variant[1]);
        }
        if (member == "GetAll" && sig == "s")
        {
            return args[0].get<std::string>();
        }
    }
    return Converter::renderArgs(sig, args);
}

std::string readString(sd_bus_message* call)
{
    const char* value = nullptr;
    check(sd_bus_message_read_basic(call, 's', &value), "reading a string");
    return text(value);
}

} // namespace

void appendProperties(sd_bus_message* m, const Interface& interface)
{
    check(sd_bus_message_open_container(m, 'a', "{sv}"), "opening a{sv}");
    for (const auto& [name, property] : interface.properties)
    {
        check(sd_bus_message_open_container(m, 'e', "sv"), "opening {sv}");
        check(sd_bus_message_append_basic(m, 's', name.c_str()),
              "appending a name");
        appendVariant(m, property);
        check(sd_bus_message_close_container(m), "closing {sv}");
    }
    check(sd_bus_message_close_container(m), "closing a{sv}");
}

void appendInterfaces(sd_bus_message* m, const Object& object)
{
    check(sd_bus_message_open_container(m, 'a', "{sa{sv}}"),
          "opening a{sa{sv}}");
    for (const auto& [name, interface] : object.interfaces)
    {
        check(sd_bus_message_open_container(m, 'e', "sa{sv}"),
              "opening {sa{sv}}");
        check(sd_bus_message_append_basic(m, 's', name.c_str()),
              "appending a name");
        appendProperties(m, interface);
        check(sd_bus_message_close_container(m), "closing {sa{sv}}");
    }
    check(sd_bus_message_close_container(m), "closing a{sa{sv}}");
}

Service::Service(ServiceConfig serviceConfig, CallLog& log) :
    config(std::move(serviceConfig)), log(log), isAbsent(config.absent)
{
    sd_bus* bus = nullptr;
    check(sd_bus_open_system_with_description(&bus, config.name.c_str()),
          "connecting to the system bus for " + config.name);
    connection.reset(bus);
    sd_bus_slot* slot = nullptr;
    check(sd_bus_add_filter(bus, &slot, &Service::onMessage, this),
          "adding the filter of " + config.name);
    filter.reset(slot);
    if (!isAbsent)
    {
        int r = sd_bus_request_name(bus, config.name.c_str(), 0);
        if (r == -EEXIST)
        {
            throw std::runtime_error("the name " + config.name +
                                     " is already owned on this bus");
        }
        check(r, "requesting the name " + config.name);
    }
}

Service::~Service()
{
    pending.clear();
    filter.reset();
    connection.reset();
}

int Service::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    uint8_t type = 0;
    if (sd_bus_message_get_type(m, &type) < 0 ||
        type != SD_BUS_MESSAGE_METHOD_CALL)
    {
        return 0;
    }
    const char* interface = sd_bus_message_get_interface(m);
    if (interface != nullptr &&
        std::strcmp(interface, "org.freedesktop.DBus.Peer") == 0)
    {
        return 0; // sd-bus answers Ping and GetMachineId itself
    }
    auto* self = static_cast<Service*>(userdata);
    try
    {
        self->receive(m);
    }
    catch (const std::exception& e)
    {
        replyError(m, error::failed, e.what());
    }
    return 1;
}

void Service::receive(sd_bus_message* call)
{
    std::string interface = text(sd_bus_message_get_interface(call));
    std::string member = text(sd_bus_message_get_member(call));
    log.record({config.name, text(sd_bus_message_get_path(call)), interface,
                member, describe(call, interface, member)});
    sd_bus_message_rewind(call, 1);

    if (delayUsec > 0 || !pending.empty())
    {
        uint64_t due = monotonicUsec() + delayUsec;
        if (!pending.empty())
        {
            due = std::max(due, pending.back().due);
        }
        pending.push_back({refMessage(call), due});
        return;
    }
    answer(call);
}

void Service::answer(sd_bus_message* call)
{
    std::string member = text(sd_bus_message_get_member(call));
    if (auto it = errors.find(member); it != errors.end())
    {
        replyError(call, it->second.first, it->second.second);
        return;
    }
    try
    {
        dispatch(call);
    }
    catch (const BusError& e)
    {
        replyError(call, e.name, e.what());
    }
    catch (const std::exception& e)
    {
        replyError(call, error::failed, e.what());
    }
}

void Service::dispatch(sd_bus_message* call)
{
    std::string path = text(sd_bus_message_get_path(call));
    std::string interface = text(sd_bus_message_get_interface(call));
    std::string member = text(sd_bus_message_get_member(call));

    if (interface.empty())
    {
        // Without an interface, a configured method of that name wins.
        if (auto it = config.objects.find(path); it != config.objects.end())
        {
            for (const auto& [name, candidate] : it->second.interfaces)
            {
                if (candidate.methods.contains(member))
                {
                    interface = name;
                    break;
                }
            }
        }
        if (interface.empty())
        {
            if (member == "Get" || member == "Set" || member == "GetAll")
            {
                interface = propertiesInterface;
            }
            else if (member == "Introspect")
            {
                interface = introspectableInterface;
            }
            else if (member == "GetManagedObjects")
            {
                interface = managerInterface;
            }
        }
    }

    if (interface == introspectableInterface)
    {
        if (member != "Introspect")
        {
            throw BusError(error::unknownMethod,
                           "Unknown method " + member + " of " + interface);
        }
        introspect(call, path);
        return;
    }
    if (interface == propertiesInterface)
    {
        properties(call, member);
        return;
    }
    if (interface == managerInterface && path == config.objectManager)
    {
        if (member != "GetManagedObjects")
        {
            throw BusError(error::unknownMethod,
                           "Unknown method " + member + " of " + interface);
        }
        managedObjects(call);
        return;
    }
    configuredMethod(call, path, interface, member);
}

const Object& Service::findObject(const std::string& path) const
{
    auto it = config.objects.find(path);
    if (it == config.objects.end())
    {
        throw BusError(error::unknownObject, "Unknown object '" + path + "'.");
    }
    return it->second;
}

void Service::properties(sd_bus_message* call, const std::string& member)
{
    std::string path = text(sd_bus_message_get_path(call));
    const Object& object = findObject(path);
    auto findInterface = [&object](const std::string& name) {
        auto it = object.interfaces.find(name);
        if (it == object.interfaces.end())
        {
            throw BusError(error::unknownInterface,
                           "Unknown interface '" + name + "'.");
        }
        return it;
    };
    auto findProperty =
        [](const Interface& interface, const std::string& name) {
        auto it = interface.properties.find(name);
        if (it == interface.properties.end())
        {
            throw BusError(error::unknownProperty,
                           "Unknown property '" + name + "'.");
        }
        return it;
    };

    sd_bus_message* reply = nullptr;
    if (member == "Get")
    {
        requireSignature(call, member, "ss");
        std::string interface = readString(call);
        std::string name = readString(call);
        const auto& property =
            findProperty(findInterface(interface)->second, name)->second;
        check(sd_bus_message_new_method_return(call, &reply), "replying");
        MessagePtr owned(reply);
        appendVariant(reply, property);
        check(sd_bus_send(nullptr, reply, nullptr), "sending a reply");
        return;
    }
    if (member == "GetAll")
    {
        requireSignature(call, member, "s");
        std::string interface = readString(call);
        check(sd_bus_message_new_method_return(call, &reply), "replying");
        MessagePtr owned(reply);
        appendProperties(reply, findInterface(interface)->second);
        check(sd_bus_send(nullptr, reply, nullptr), "sending a reply");
        return;
    }
    if (member == "Set")
    {
        requireSignature(call, member, "ssv");
        std::string interface = readString(call);
        std::string name = readString(call);
        findProperty(findInterface(interface)->second, name);
        // The lookups above succeeded, so these do too.
        Property& property =
            config.objects[path].interfaces[interface].properties[name];
        char type = 0;
        const char* contents = nullptr;
        check(sd_bus_message_peek_type(call, &type, &contents), "peeking");
        if (text(contents) != property.signature)
        {
            throw BusError(error::invalidArgs,
                           "Property '" + name + "' has type '" +
                               property.signature + "', not '" +
                               text(contents) + "'.");
        }
        json value = Converter::read(call, "v")[1];
        if (value != property.value)
        {
            property.value = std::move(value);
            emitPropertiesChanged(path, interface, name, property);
        }
        check(sd_bus_reply_method_return(call, ""), "replying");
        return;
    }
    throw BusError(error::unknownMethod,
                   "Unknown method " + member + " of " + propertiesInterface);
}

std::vector<std::string> Service::children(const std::string& path) const
{
    std::string prefix = path == "/" ? "/" : path + "/";
    std::set<std::string> names;
    auto consider = [&](const std::string& other) {
        if (other.size() > prefix.size() && other.starts_with(prefix))
        {
            auto rest = other.substr(prefix.size());
            names.insert(rest.substr(0, rest.find('/')));
        }
    };
    for (const auto& [other, object] : config.objects)
    {
        consider(other);
    }
    if (!config.objectManager.empty())
    {
        consider(config.objectManager);
    }
    return {names.begin(), names.end()};
}

void Service::introspect(sd_bus_message* call, const std::string& path)
{
    auto it = config.objects.find(path);
    const Object* object = it == config.objects.end() ? nullptr : &it->second;
    bool manager = path == config.objectManager;
    auto below = children(path);
    if (object == nullptr && !manager && below.empty() && path != "/")
    {
        throw BusError(error::unknownObject, "Unknown object '" + path + "'.");
    }
    std::string xml = introspectXml(object, manager, below);
    check(sd_bus_reply_method_return(call, "s", xml.c_str()), "replying");
}

bool Service::managerCovers(const std::string& path) const
{
    if (config.objectManager.empty())
    {
        return false;
    }
    if (config.objectManager == "/")
    {
        return path != "/";
    }
    return path.starts_with(config.objectManager + "/");
}

void Service::managedObjects(sd_bus_message* call)
{
    sd_bus_message* reply = nullptr;
    check(sd_bus_message_new_method_return(call, &reply), "replying");
    MessagePtr owned(reply);
    check(sd_bus_message_open_container(reply, 'a', "{oa{sa{sv}}}"),
          "opening a{oa{sa{sv}}}");
    for (const auto& [path, object] : config.objects)
    {
        if (!managerCovers(path))
        {
            continue;
        }
        check(sd_bus_message_open_container(reply, 'e', "oa{sa{sv}}"),
              "opening {oa{sa{sv}}}");
        check(sd_bus_message_append_basic(reply, 'o', path.c_str()),
              "appending a path");
        appendInterfaces(reply, object);
        check(sd_bus_message_close_container(reply), "closing {oa{sa{sv}}}");
    }
    check(sd_bus_message_close_container(reply), "closing a{oa{sa{sv}}}");
    check(sd_bus_send(nullptr, reply, nullptr), "sending a reply");
}

void Service::configuredMethod(sd_bus_message* call, const std::string& path,
                               const std::string& interface,
                               const std::string& member)
{
    const Object& object = findObject(path);
    auto it = object.interfaces.find(interface);
    if (it == object.interfaces.end())
    {
        throw BusError(error::unknownInterface,
                       "Unknown interface '" + interface + "'.");
    }
    auto found = it->second.methods.find(member);
    if (found == it->second.methods.end())
    {
        throw BusError(error::unknownMethod, "Unknown method '" + member +
                                                 "' of interface '" +
                                                 interface + "'.");
    }
    const Method& method = found->second;
    std::string sig = text(sd_bus_message_get_signature(call, 1));
    if (sig != method.in)
    {
        throw BusError(error::invalidArgs, "Method " + member + " takes (" +
                                               method.in + "), not (" + sig +
                                               ")");
    }
    if (methodHandler)
    {
        methodHandler(call, member);
        return;
    }
    if (!method.errorName.empty())
    {
        replyError(call, method.errorName, method.errorMessage);
        return;
    }
    sd_bus_message* reply = nullptr;
    check(sd_bus_message_new_method_return(call, &reply), "replying");
    MessagePtr owned(reply);
    Converter::appendArgs(reply, method.out, method.reply);
    check(sd_bus_send(nullptr, reply, nullptr), "sending a reply");
}

void Service::send(sd_bus_message* signal)
{
    check(sd_bus_send(connection.get(), signal, nullptr),
          "sending a signal from " + config.name);
    log.signalSent(config.name, signal);
}

void Service::emitPropertiesChanged(const std::string& path,
                                    const std::string& interface,
                                    const std::string& name,
                                    const Property& value)
{
    sd_bus_message* signal = nullptr;
    check(sd_bus_message_new_signal(connection.get(), &signal, path.c_str(),
                                    propertiesInterface, "PropertiesChanged"),
          "creating PropertiesChanged");
    MessagePtr owned(signal);
    check(sd_bus_message_append_basic(signal, 's', interface.c_str()),
          "appending an interface");
    check(sd_bus_message_open_container(signal, 'a', "{sv}"), "opening a{sv}");
    check(sd_bus_message_open_container(signal, 'e', "sv"), "opening {sv}");
    check(sd_bus_message_append_basic(signal, 's', name.c_str()),
          "appending a name");
    appendVariant(signal, value);
    check(sd_bus_message_close_container(signal), "closing {sv}");
    check(sd_bus_message_close_container(signal), "closing a{sv}");
    check(sd_bus_message_append_strv(signal, nullptr), "appending as");
    send(signal);
}

void Service::setAbsent(bool absent)
{
    if (absent == isAbsent)
    {
        return;
    }
    if (absent)
    {
        check(sd_bus_release_name(connection.get(), config.name.c_str()),
              "releasing " + config.name);
        isAbsent = true;
        return;
    }
    int r = sd_bus_request_name(connection.get(), config.name.c_str(), 0);
    if (r == -EEXIST)
    {
        throw BusError(error::failed, "the name " + config.name +
                                          " is owned by another connection");
    }
    check(r, "requesting " + config.name);
    isAbsent = false;
}

void Service::setDelay(uint32_t milliseconds)
{
    delayUsec = static_cast<uint64_t>(milliseconds) * 1000U;
}

void Service::setError(const std::string& member, const std::string& errorName,
                       const std::string& message)
{
    if (errorName.empty())
    {
        errors.erase(member);
        return;
    }
    if (sd_bus_interface_name_is_valid(errorName.c_str()) <= 0)
    {
        throw BusError(error::invalidArgs,
                       "invalid error name \"" + errorName + "\"");
    }
    errors[member] = {errorName, message};
}

void Service::setProperty(const std::string& path, const std::string& interface,
                          const std::string& property, Property value)
{
    auto object = config.objects.find(path);
    if (object == config.objects.end())
    {
        throw BusError(error::unknownObject, "Unknown object '" + path + "'.");
    }
    auto found = object->second.interfaces.find(interface);
    if (found == object->second.interfaces.end())
    {
        throw BusError(error::unknownInterface,
                       "Unknown interface '" + interface + "'.");
    }
    auto it = found->second.properties.find(property);
    if (it == found->second.properties.end())
    {
        throw BusError(error::unknownProperty,
                       "Unknown property '" + property + "'.");
    }
    try
    {
        value.value = Converter::normalize(value.signature, value.value);
    }
    catch (const std::invalid_argument& e)
    {
        throw BusError(error::invalidArgs, e.what());
    }
    it->second = std::move(value);
    emitPropertiesChanged(path, interface, property, it->second);
}

void Service::emitRaw(const std::string& path, const std::string& interface,
                      const std::string& member, const std::string& sig,
                      const json& args)
{
    sd_bus_message* signal = nullptr;
    int r = sd_bus_message_new_signal(connection.get(), &signal, path.c_str(),
                                      interface.c_str(), member.c_str());
    if (r < 0)
    {
        throw BusError(error::invalidArgs,
                       "invalid path, interface or member for a signal");
    }
    MessagePtr owned(signal);
    try
    {
        Converter::appendArgs(signal, sig, args);
    }
    catch (const std::invalid_argument& e)
    {
        throw BusError(error::invalidArgs, e.what());
    }
    send(signal);
}

void Service::addObject(const std::string& path, Object object)
{
    auto existing = config.objects.find(path);
    if (existing != config.objects.end())
    {
        for (const auto& [name, interface] : object.interfaces)
        {
            if (existing->second.interfaces.contains(name))
            {
                throw BusError(error::invalidArgs,
                               path + " already has " + name);
            }
        }
    }
    Object& target = config.objects[path];
    for (auto& [name, interface] : object.interfaces)
    {
        target.interfaces[name] = interface;
    }
    if (!managerCovers(path) || object.interfaces.empty())
    {
        return;
    }
    sd_bus_message* signal = nullptr;
    check(sd_bus_message_new_signal(connection.get(), &signal,
                                    config.objectManager.c_str(),
                                    managerInterface, "InterfacesAdded"),
          "creating InterfacesAdded");
    MessagePtr owned(signal);
    check(sd_bus_message_append_basic(signal, 'o', path.c_str()),
          "appending a path");
    appendInterfaces(signal, object);
    send(signal);
}

void Service::removeObject(const std::string& path)
{
    auto it = config.objects.find(path);
    if (it == config.objects.end())
    {
        throw BusError(error::unknownObject, "Unknown object '" + path + "'.");
    }
    std::vector<std::string> names;
    for (const auto& [name, interface] : it->second.interfaces)
    {
        names.push_back(name);
    }
    config.objects.erase(it);
    if (!managerCovers(path) || names.empty())
    {
        return;
    }
    sd_bus_message* signal = nullptr;
    check(sd_bus_message_new_signal(connection.get(), &signal,
                                    config.objectManager.c_str(),
                                    managerInterface, "InterfacesRemoved"),
          "creating InterfacesRemoved");
    MessagePtr owned(signal);
    check(sd_bus_message_append_basic(signal, 'o', path.c_str()),
          "appending a path");
    check(sd_bus_message_open_container(signal, 'a', "s"), "opening as");
    for (const auto& name : names)
    {
        check(sd_bus_message_append_basic(signal, 's', name.c_str()),
              "appending a name");
    }
    check(sd_bus_message_close_container(signal), "closing as");
    send(signal);
}

bool Service::process()
{
    bool any = false;
    for (;;)
    {
        int r = sd_bus_process(connection.get(), nullptr);
        if (r < 0)
        {
            throw std::runtime_error("the connection of " + config.name +
                                     " failed: " + std::strerror(-r));
        }
        if (r == 0)
        {
            return any;
        }
        any = true;
    }
}

uint64_t Service::nextDue() const
{
    return pending.empty() ? UINT64_MAX : pending.front().due;
}

void Service::answerDue(uint64_t now)
{
    while (!pending.empty() && pending.front().due <= now)
    {
        MessagePtr call = std::move(pending.front().call);
        pending.pop_front();
        answer(call.get());
    }
}

} // namespace platformsim
