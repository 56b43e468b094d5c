#include "testkit/simulator.hpp"

#include "bus_guard.hpp"
#include "sdbusjson/converter.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace testkit
{

namespace
{

constexpr const char* controlService = "local.platformsim";
constexpr const char* controlPath = "/local/platformsim";
constexpr const char* controlInterface = "local.platformsim.Control";

void check(int r, const std::string& what)
{
    if (r < 0)
    {
        throw std::runtime_error("platformsim " + what + ": " +
                                 std::strerror(-r));
    }
}

struct Unref
{
    void operator()(sd_bus_message* m) const
    {
        sd_bus_message_unref(m);
    }
};
using Message = std::unique_ptr<sd_bus_message, Unref>;

} // namespace

Simulator::Simulator(const nlohmann::json& config, bool verbose,
                     std::chrono::milliseconds deadline) :
    dir("testkit-sim")
{
    requireBusAddress("Simulator");
    const char* program = std::getenv("PLATFORMSIM");
    if (program == nullptr || *program == '\0')
    {
        throw std::runtime_error("PLATFORMSIM is not set");
    }
    const auto file = dir / "config.json";
    {
        std::ofstream out(file);
        out << config.dump(2) << "\n";
    }
    std::vector<std::string> argv{program, "--config", file.string()};
    if (verbose)
    {
        argv.emplace_back("--verbose");
    }
    sim = std::make_unique<Process>(Process::Options{.argv = argv});
    if (!sim->waitForBusName(controlService, deadline))
    {
        sim->terminate();
        throw std::runtime_error("platformsim did not come up: " + sim->err());
    }
    check(sd_bus_open_system(&bus), "connect");
}

Simulator::~Simulator()
{
    sd_bus_flush_close_unref(bus);
    // A simulator that a test stopped itself is that test's business; one
    // that fails its own clean stop (a sanitizer report, say) fails the test.
    if (sim->running())
    {
        const int status = sim->terminate();
        if (status != 0)
        {
            ADD_FAILURE() << "platformsim ended with status " << status << ": "
                          << sim->err();
        }
    }
}

sd_bus_message* Simulator::newCall(const char* member)
{
    sd_bus_message* m = nullptr;
    check(sd_bus_message_new_method_call(bus, &m, controlService, controlPath,
                                         controlInterface, member),
          member);
    return m;
}

void Simulator::call(sd_bus_message* message, sd_bus_message** reply)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* answer = nullptr;
    int r = sd_bus_call(bus, message, 0, &error, &answer);
    if (r < 0)
    {
        std::string what = std::string(sd_bus_message_get_member(message)) +
                           ": " + (error.name ? error.name : "") + ": " +
                           (error.message ? error.message : std::strerror(-r));
        sd_bus_error_free(&error);
        throw std::runtime_error("platformsim " + what);
    }
    if (reply != nullptr)
    {
        *reply = answer;
    }
    else
    {
        sd_bus_message_unref(answer);
    }
}

std::vector<SimCall> Simulator::callLog()
{
    Message request(newCall("CallLog"));
    sd_bus_message* answer = nullptr;
    call(request.get(), &answer);
    Message reply(answer);
    std::vector<SimCall> log;
    check(sd_bus_message_enter_container(reply.get(), 'a', "(sssss)"),
          "CallLog");
    const char* f[5] = {};
    int r = 0;
    while ((r = sd_bus_message_read(reply.get(), "(sssss)", &f[0], &f[1], &f[2],
                                    &f[3], &f[4])) > 0)
    {
        log.push_back(SimCall{f[0], f[1], f[2], f[3], f[4]});
    }
    check(r, "CallLog");
    return log;
}

void Simulator::clearLog()
{
    Message m(newCall("ClearLog"));
    call(m.get());
}

void Simulator::setAbsent(const std::string& service, bool absent)
{
    Message m(newCall("SetAbsent"));
    check(sd_bus_message_append(m.get(), "sb", service.c_str(), absent ? 1 : 0),
          "SetAbsent");
    call(m.get());
}

void Simulator::setDelay(const std::string& service, uint32_t milliseconds)
{
    Message m(newCall("SetDelay"));
    check(sd_bus_message_append(m.get(), "su", service.c_str(), milliseconds),
          "SetDelay");
    call(m.get());
}

void Simulator::setError(const std::string& service, const std::string& member,
                         const std::string& errorName,
                         const std::string& message)
{
    Message m(newCall("SetError"));
    check(sd_bus_message_append(m.get(), "ssss", service.c_str(),
                                member.c_str(), errorName.c_str(),
                                message.c_str()),
          "SetError");
    call(m.get());
}

void Simulator::setProperty(const std::string& service, const std::string& path,
                            const std::string& interface,
                            const std::string& property,
                            const std::string& signature,
                            const nlohmann::json& value)
{
    Message m(newCall("SetProperty"));
    check(sd_bus_message_append(m.get(), "ssss", service.c_str(), path.c_str(),
                                interface.c_str(), property.c_str()),
          "SetProperty");
    check(sd_bus_message_open_container(m.get(), 'v', signature.c_str()),
          "SetProperty " + signature);
    sdbusjson::appendJson(m.get(), signature, value);
    check(sd_bus_message_close_container(m.get()), "SetProperty");
    call(m.get());
}

void Simulator::emitRaw(const std::string& service, const std::string& path,
                        const std::string& interface, const std::string& member,
                        const std::string& signature,
                        const nlohmann::json& args)
{
    Message m(newCall("EmitRaw"));
    check(sd_bus_message_append(m.get(), "ssssss", service.c_str(),
                                path.c_str(), interface.c_str(), member.c_str(),
                                signature.c_str(), args.dump().c_str()),
          "EmitRaw");
    call(m.get());
}

void Simulator::addObject(const std::string& service,
                          const nlohmann::json& object)
{
    Message m(newCall("AddObject"));
    check(sd_bus_message_append(m.get(), "ss", service.c_str(),
                                object.dump().c_str()),
          "AddObject");
    call(m.get());
}

void Simulator::removeObject(const std::string& service,
                             const std::string& path)
{
    Message m(newCall("RemoveObject"));
    check(sd_bus_message_append(m.get(), "ss", service.c_str(), path.c_str()),
          "RemoveObject");
    call(m.get());
}

std::size_t Simulator::count(const std::string& member)
{
    std::size_t n = 0;
    for (const auto& c : callLog())
    {
        n += c.member == member ? 1 : 0;
    }
    return n;
}

std::size_t Simulator::count(const std::string& member,
                             const std::string& detail)
{
    std::size_t n = 0;
    for (const auto& c : callLog())
    {
        n += (c.member == member && c.detail == detail) ? 1 : 0;
    }
    return n;
}

} // namespace testkit
