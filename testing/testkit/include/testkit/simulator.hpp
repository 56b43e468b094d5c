#pragma once

#include "testkit/process.hpp"
#include "testkit/tempdir.hpp"

#include <systemd/sd-bus.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testkit
{

struct SimCall
{
    std::string service;
    std::string path;
    std::string interface;
    std::string member;
    std::string detail;
};

// The platform simulator (PLATFORMSIM) run with a configuration, driven
// through its control service on the system bus. The constructor returns
// once the simulator serves "local.platformsim"; it throws
// std::runtime_error (with the simulator's stderr) when it does not.
// Control calls throw std::runtime_error with the D-Bus error on failure.
class Simulator
{
  public:
    explicit Simulator(
        const nlohmann::json& config, bool verbose = false,
        std::chrono::milliseconds deadline = std::chrono::seconds(30));
    ~Simulator();

    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    std::vector<SimCall> callLog();
    void clearLog();
    void setAbsent(const std::string& service, bool absent);
    void setDelay(const std::string& service, uint32_t milliseconds);
    void setError(const std::string& service, const std::string& member,
                  const std::string& errorName,
                  const std::string& message = "");
    void setProperty(const std::string& service, const std::string& path,
                     const std::string& interface, const std::string& property,
                     const std::string& signature, const nlohmann::json& value);
    // args: a JSON array with one element per complete type of signature.
    void emitRaw(const std::string& service, const std::string& path,
                 const std::string& interface, const std::string& member,
                 const std::string& signature, const nlohmann::json& args);
    void addObject(const std::string& service, const nlohmann::json& object);
    void removeObject(const std::string& service, const std::string& path);

    // Calls in the log with this member (and this detail).
    std::size_t count(const std::string& member);
    std::size_t count(const std::string& member, const std::string& detail);

    Process& process()
    {
        return *sim;
    }

  private:
    sd_bus_message* newCall(const char* member);
    void call(sd_bus_message* message, sd_bus_message** reply = nullptr);

    TempDir dir;
    std::unique_ptr<Process> sim;
    sd_bus* bus = nullptr;
};

} // namespace testkit
