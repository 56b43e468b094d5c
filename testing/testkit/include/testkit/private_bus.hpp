#pragma once

#include "testkit/process.hpp"
#include "testkit/tempdir.hpp"

#include <memory>
#include <optional>
#include <string>

namespace testkit
{

// A dbus-daemon of our own playing the system bus: type system, a unix
// socket in a temp folder, EXTERNAL authentication, everything allowed.
// While it lives, DBUS_SYSTEM_BUS_ADDRESS (and DBUS_STARTER_BUS_TYPE=system,
// so sd_bus_default() picks it too) point to it in this process's
// environment, and DBUS_SESSION_BUS_ADDRESS is unset; children started
// afterwards inherit that. Create it before anything connects to the bus.
// Throws std::runtime_error when the daemon does not come up.
class PrivateBus
{
  public:
    PrivateBus();
    ~PrivateBus();

    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // "unix:path=<socketPath()>"
    const std::string& address() const
    {
        return busAddress;
    }
    const std::string& socketPath() const
    {
        return socket;
    }

  private:
    TempDir dir;
    std::string socket;
    std::string busAddress;
    std::optional<std::string> savedSystemAddress;
    std::optional<std::string> savedSessionAddress;
    std::optional<std::string> savedStarterType;
    std::unique_ptr<Process> daemon;
};

// The bus that runTests started, or nullptr.
PrivateBus* bus();

} // namespace testkit
