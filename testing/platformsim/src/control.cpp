#include "control.hpp"

#include "bus_error.hpp"
#include "sdbusjson/converter.hpp"
#include "simulator.hpp"

#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>

namespace platformsim
{

using nlohmann::json;
using sdbusjson::Converter;

namespace
{

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

constexpr const char* introspection =
    R"xml(<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">
<node>
 <interface name="org.freedesktop.DBus.Peer">
  <method name="Ping"/>
  <method name="GetMachineId">
   <arg type="s" name="machine_uuid" direction="out"/>
  </method>
 </interface>
 <interface name="org.freedesktop.DBus.Introspectable">
  <method name="Introspect">
   <arg name="xml_data" type="s" direction="out"/>
  </method>
 </interface>
 <interface name="local.platformsim.Control">
  <method name="CallLog">
   <arg name="calls" type="a(sssss)" direction="out"/>
  </method>
  <method name="ClearLog"/>
  <method name="SetAbsent">
   <arg name="service" type="s" direction="in"/>
   <arg name="absent" type="b" direction="in"/>
  </method>
  <method name="SetDelay">
   <arg name="service" type="s" direction="in"/>
   <arg name="milliseconds" type="u" direction="in"/>
  </method>
  <method name="SetError">
   <arg name="service" type="s" direction="in"/>
   <arg name="member" type="s" direction="in"/>
   <arg name="errorName" type="s" direction="in"/>
   <arg name="message" type="s" direction="in"/>
  </method>
  <method name="SetProperty">
   <arg name="service" type="s" direction="in"/>
   <arg name="path" type="s" direction="in"/>
   <arg name="interface" type="s" direction="in"/>
   <arg name="property" type="s" direction="in"/>
   <arg name="value" type="v" direction="in"/>
  </method>
  <method name="EmitRaw">
   <arg name="service" type="s" direction="in"/>
   <arg name="path" type="s" direction="in"/>
   <arg name="interface" type="s" direction="in"/>
   <arg name="member" type="s" direction="in"/>
   <arg name="signature" type="s" direction="in"/>
   <arg name="jsonArgs" type="s" direction="in"/>
  </method>
  <method name="AddObject">
   <arg name="service" type="s" direction="in"/>
   <arg name="objectJson" type="s" direction="in"/>
  </method>
  <method name="RemoveObject">
   <arg name="service" type="s" direction="in"/>
   <arg name="path" type="s" direction="in"/>
  </method>
 </interface>
</node>
)xml";

json parseJson(const std::string& text, const char* what)
{
    try
    {
        return json::parse(text);
    }
    catch (const json::exception& e)
    {
        throw BusError(error::invalidArgs,
                       std::string(what) + " is not valid JSON: " + e.what());
    }
}

struct Handler
{
    const char* signature;
    std::function<void(sd_bus_message*, const json&)> run;
};

} // namespace

Control::Control(Simulator& simulator) : simulator(simulator)
{
    sd_bus* bus = nullptr;
    check(sd_bus_open_system_with_description(&bus, serviceName),
          "connecting to the system bus for the control service");
    connection.reset(bus);
    sd_bus_slot* slot = nullptr;
    check(sd_bus_add_filter(bus, &slot, &Control::onMessage, this),
          "adding the control filter");
    filter.reset(slot);
    int r = sd_bus_request_name(bus, serviceName, 0);
    if (r == -EEXIST)
    {
        throw std::runtime_error(std::string("the name ") + serviceName +
                                 " is already owned: another simulator runs "
                                 "on this bus");
    }
    check(r, std::string("requesting the name ") + serviceName);
}

bool Control::process()
{
    bool any = false;
    for (;;)
    {
        int r = sd_bus_process(connection.get(), nullptr);
        if (r < 0)
        {
            throw std::runtime_error(
                std::string("the control connection failed: ") +
                std::strerror(-r));
        }
        if (r == 0)
        {
            return any;
        }
        any = true;
    }
}

int Control::onMessage(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    uint8_t type = 0;
    if (sd_bus_message_get_type(m, &type) < 0 ||
        type != SD_BUS_MESSAGE_METHOD_CALL)
    {
        return 0;
    }
    if (text(sd_bus_message_get_interface(m)) == "org.freedesktop.DBus.Peer")
    {
        return 0;
    }
    auto* self = static_cast<Control*>(userdata);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    try
    {
        self->handle(m);
        return 1;
    }
    catch (const BusError& e)
    {
        sd_bus_error_set(&error, e.name.c_str(), e.what());
    }
    catch (const std::invalid_argument& e)
    {
        sd_bus_error_set(&error, error::invalidArgs, e.what());
    }
    catch (const std::exception& e)
    {
        sd_bus_error_set(&error, error::failed, e.what());
    }
    sd_bus_reply_method_error(m, &error);
    sd_bus_error_free(&error);
    return 1;
}

void Control::handle(sd_bus_message* call)
{
    std::string callPath = text(sd_bus_message_get_path(call));
    std::string callInterface = text(sd_bus_message_get_interface(call));
    std::string member = text(sd_bus_message_get_member(call));
    if (callPath != path)
    {
        throw BusError(error::unknownObject,
                       "Unknown object '" + callPath + "'.");
    }
    if ((callInterface.empty() ||
         callInterface == "org.freedesktop.DBus.Introspectable") &&
        member == "Introspect")
    {
        check(sd_bus_reply_method_return(call, "s", introspection), "replying");
        return;
    }
    if (!callInterface.empty() && callInterface != interface)
    {
        throw BusError(error::unknownInterface,
                       "Unknown interface '" + callInterface + "'.");
    }

    auto reply = [](sd_bus_message* m) {
        check(sd_bus_reply_method_return(m, ""), "replying");
    };
    Simulator& sim = simulator;
    const std::map<std::string, Handler> handlers =
        {
            {"CallLog",
             {"",
              [&sim](sd_bus_message* m, const json&) {
        sd_bus_message* out = nullptr;
        check(sd_bus_message_new_method_return(m, &out), "replying");
        MessagePtr owned(out);
        check(sd_bus_message_open_container(out, 'a', "(sssss)"),
              "opening a(sssss)");
        for (const auto& c : sim.log().records())
        {
            check(sd_bus_message_append(out, "(sssss)", c.service.c_str(),
                                        c.path.c_str(), c.interface.c_str(),
                                        c.member.c_str(), c.detail.c_str()),
                  "appending a call");
        }
        check(sd_bus_message_close_container(out), "closing a(sssss)");
        check(sd_bus_send(nullptr, out, nullptr), "sending the log");
              }}},
            {"ClearLog",
             {"",
              [&sim, reply](sd_bus_message* m, const json&) {
        sim.log().clear();
        reply(m);
              }}},
                                         {"SetAbsent",
                                          {"sb",
                                           [&sim, reply](sd_bus_message* m,
                                                         const json& a) {
        sim.service(a[0]).setAbsent(a[1].get<bool>());
        reply(m);
                                           }}},
        {"SetDelay",
         {"su",
          [&sim, reply](sd_bus_message* m, const json& a) {
        sim.service(a[0]).setDelay(a[1].get<uint32_t>());
        reply(m);
          }}},
        {"SetError",
         {"ssss",
          [&sim, reply](sd_bus_message* m, const json& a) {
        sim.service(a[0]).setError(a[1], a[2], a[3]);
        reply(m);
          }}},
        {"SetProperty",
         {"ssssv",
          [&sim, reply](sd_bus_message* m, const json& a) {
        sim.service(a[0]).setProperty(a[1], a[2], a[3],
                                      Property{a[4][0], a[4][1]});
        reply(m);
          }}},
        {"EmitRaw",
         {"ssssss",
          [&sim, reply](sd_bus_message* m, const json& a) {
        std::string args = a[5];
        json parsed =
            args.empty() ? json::array() : parseJson(args, "jsonArgs");
        sim.service(a[0]).emitRaw(a[1], a[2], a[3], a[4], parsed);
        reply(m);
          }}},
        {"AddObject",
         {"ss",
          [&sim, reply](sd_bus_message* m, const json& a) {
        auto [objectPath, object] = parseObject(
            parseJson(a[1].get<std::string>(), "objectJson"), "objectJson");
        sim.service(a[0]).addObject(objectPath, std::move(object));
        reply(m);
          }}},
        {"RemoveObject",
         {"ss",
          [&sim, reply](sd_bus_message* m, const json& a) {
        sim.service(a[0]).removeObject(a[1]);
        reply(m);
          }}},
        };

    auto it = handlers.find(member);
    if (it == handlers.end())
    {
        throw BusError(error::unknownMethod,
                       "Unknown method '" + member + "'.");
    }
    std::string sig = text(sd_bus_message_get_signature(call, 1));
    if (sig != it->second.signature)
    {
        throw BusError(error::invalidArgs, member + " takes (" +
                                               it->second.signature +
                                               "), not (" + sig + ")");
    }
    it->second.run(call, Converter::readBody(call));
}

} // namespace platformsim
