#include "testkit/private_bus.hpp"

#include "testkit/wait.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace testkit
{

namespace
{

PrivateBus* current = nullptr;

std::optional<std::string> getEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void restoreEnv(const char* name, const std::optional<std::string>& value)
{
    if (value)
    {
        setenv(name, value->c_str(), 1);
    }
    else
    {
        unsetenv(name);
    }
}

bool accepts(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
    {
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    bool ok =
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

} // namespace

PrivateBus::PrivateBus() : dir("testkit-bus")
{
    // Readable by everyone: checks run as another user connect too.
    std::filesystem::permissions(dir.path(),
                                 std::filesystem::perms::owner_all |
                                     std::filesystem::perms::group_read |
                                     std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_read |
                                     std::filesystem::perms::others_exec);
    socket = (dir / "system_bus_socket").string();
    if (socket.size() >= sizeof(sockaddr_un::sun_path))
    {
        throw std::runtime_error("bus socket path too long: " + socket);
    }
    busAddress = "unix:path=" + socket;
    const auto config = dir / "bus.conf";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC "
               "\"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/"
               "busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>system</type>\n"
               "  <listen>"
            << busAddress
            << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow user=\"*\"/>\n"
               "    <allow own=\"*\"/>\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow receive_sender=\"*\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
    }
    daemon = std::make_unique<Process>(Process::Options{
        .argv = {"dbus-daemon", "--config-file=" + config.string(), "--nofork",
                 "--nopidfile"}});
    if (!waitUntil([&] { return accepts(socket) || !daemon->running(); },
                   std::chrono::seconds(30)) ||
        !daemon->running())
    {
        std::string why = daemon->err();
        daemon.reset();
        throw std::runtime_error("dbus-daemon did not start: " + why);
    }
    savedSystemAddress = getEnv("DBUS_SYSTEM_BUS_ADDRESS");
    savedSessionAddress = getEnv("DBUS_SESSION_BUS_ADDRESS");
    savedStarterType = getEnv("DBUS_STARTER_BUS_TYPE");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
    setenv("DBUS_STARTER_BUS_TYPE", "system", 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (current == nullptr)
    {
        current = this;
    }
}

PrivateBus::~PrivateBus()
{
    if (current == this)
    {
        current = nullptr;
    }
    restoreEnv("DBUS_SYSTEM_BUS_ADDRESS", savedSystemAddress);
    restoreEnv("DBUS_SESSION_BUS_ADDRESS", savedSessionAddress);
    restoreEnv("DBUS_STARTER_BUS_TYPE", savedStarterType);
    daemon.reset();
}

PrivateBus* bus()
{
    return current;
}

} // namespace testkit
