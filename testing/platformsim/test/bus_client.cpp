#include "bus_client.hpp"

#include "sdbusjson/converter.hpp"

#include <cstring>
#include <stdexcept>

namespace platformsim::test
{

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

Reply toReply(sd_bus_message* m)
{
    Reply reply;
    if (sd_bus_message_is_method_error(m, nullptr) > 0)
    {
        const sd_bus_error* error = sd_bus_message_get_error(m);
        reply.error = text(error->name);
        reply.message = text(error->message);
        return reply;
    }
    reply.values = Converter::readBody(m);
    return reply;
}

} // namespace

BusClient::BusClient()
{
    check(sd_bus_open_system(&bus), "connecting to the system bus");
}

BusClient::~BusClient()
{
    sd_bus_flush_close_unref(bus);
}

sd_bus_message*
    BusClient::newCall(const std::string& service, const std::string& path,
                       const std::string& interface, const std::string& member,
                       const std::string& sig, const nlohmann::json& args)
{
    sd_bus_message* m = nullptr;
    check(sd_bus_message_new_method_call(bus, &m, service.c_str(), path.c_str(),
                                         interface.c_str(), member.c_str()),
          "creating a call");
    try
    {
        Converter::appendArgs(m, sig, args);
    }
    catch (...)
    {
        sd_bus_message_unref(m);
        throw;
    }
    return m;
}

Reply BusClient::call(const std::string& service, const std::string& path,
                      const std::string& interface, const std::string& member,
                      const std::string& sig, const nlohmann::json& args)
{
    sd_bus_message* m = newCall(service, path, interface, member, sig, args);
    sd_bus_message* answer = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call(bus, m, 0, &error, &answer);
    sd_bus_message_unref(m);
    Reply reply;
    if (r < 0)
    {
        reply.error = text(error.name);
        reply.message = text(error.message);
    }
    else
    {
        reply = toReply(answer);
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(answer);
    return reply;
}

void BusClient::callAsync(const std::string& tag, const std::string& service,
                          const std::string& path, const std::string& interface,
                          const std::string& member, const std::string& sig,
                          const nlohmann::json& args)
{
    sd_bus_message* m = newCall(service, path, interface, member, sig, args);
    pending.push_back({this, tag});
    int r = sd_bus_call_async(bus, nullptr, m, &BusClient::onReply,
                              &pending.back(), 0);
    sd_bus_message_unref(m);
    check(r, "sending a call");
}

int BusClient::onReply(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto* call = static_cast<Pending*>(userdata);
    call->client->replies.emplace_back(call->tag, toReply(m));
    return 0;
}

void BusClient::watch(const std::string& rule)
{
    check(sd_bus_add_match(bus, nullptr, rule.c_str(), &BusClient::onSignal,
                           this),
          "adding a match");
}

int BusClient::onSignal(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto* self = static_cast<BusClient*>(userdata);
    self->received.push_back(
        {text(sd_bus_message_get_sender(m)), text(sd_bus_message_get_path(m)),
         text(sd_bus_message_get_interface(m)),
         text(sd_bus_message_get_member(m)), Converter::readBody(m)});
    return 0;
}

bool BusClient::waitFor(const std::function<bool()>& cond,
                        std::chrono::milliseconds deadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;)
    {
        int r = 0;
        while ((r = sd_bus_process(bus, nullptr)) > 0)
        {}
        check(r, "processing the bus");
        if (cond())
        {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end)
        {
            return false;
        }
        sd_bus_wait(bus, 20000);
    }
}

std::string BusClient::ownerOf(const std::string& name)
{
    auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus", "GetNameOwner", "s",
                      nlohmann::json::array({name}));
    return reply.error.empty() ? reply.values[0].get<std::string>() : "";
}

} // namespace platformsim::test
