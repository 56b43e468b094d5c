// Platform simulator: plays the BMC's platform services (LED groups, object
// mapper, sensors, settings, logging) on the system bus for tests and for
// the sandbox. See sim/README.md.

#include "model.hpp"
#include "simulator.hpp"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

namespace
{

constexpr const char* usage =
    "usage: platformsim --config FILE [--verbose]\n"
    "Plays the platform's D-Bus services on the system bus\n"
    "(DBUS_SYSTEM_BUS_ADDRESS selects the bus).\n"
    "  --config FILE  the services, objects and methods to simulate (JSON)\n"
    "  --verbose      print one line per received call and sent signal\n";

} // namespace

int main(int argc, char** argv)
{
    std::string configPath;
    bool verbose = false;
    for (int i = 1; i < argc; ++i)
    {
        std::string arg = argv[i];
        if (arg == "--verbose" || arg == "-v")
        {
            verbose = true;
        }
        else if ((arg == "--config" || arg == "-c") && i + 1 < argc)
        {
            configPath = argv[++i];
        }
        else if (arg.starts_with("--config="))
        {
            configPath = arg.substr(std::strlen("--config="));
        }
        else if (arg == "--help" || arg == "-h")
        {
            std::fputs(usage, stdout);
            return 0;
        }
        else
        {
            std::fprintf(stderr, "platformsim: unexpected argument \"%s\"\n%s",
                         arg.c_str(), usage);
            return 2;
        }
    }
    if (configPath.empty())
    {
        std::fputs(usage, stderr);
        return 2;
    }

    // Termination requests are read from a descriptor in the loop, so that
    // they never interrupt a callback half way.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int signalFd = signalfd(-1, &mask, SFD_CLOEXEC);
    if (signalFd < 0)
    {
        std::fprintf(stderr, "platformsim: signalfd: %s\n",
                     std::strerror(errno));
        return 1;
    }

    platformsim::Config config;
    try
    {
        std::ifstream file(configPath);
        if (!file)
        {
            std::fprintf(stderr, "platformsim: cannot open %s: %s\n",
                         configPath.c_str(), std::strerror(errno));
            return 1;
        }
        config = platformsim::parseConfig(
            nlohmann::json::parse(file, nullptr, true, true));
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "platformsim: %s: %s\n", configPath.c_str(),
                     e.what());
        return 1;
    }

    int status = 1;
    try
    {
        platformsim::Simulator simulator(std::move(config), verbose);
        status = simulator.run(signalFd);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "platformsim: %s\n", e.what());
        status = 1;
    }
    close(signalFd);
    return status;
}
