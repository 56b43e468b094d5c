// Times one AgentSynchronizeData of the real nicscout over a 1,000-line
// inventory file (500 adapters of two ports), with the file unchanged and
// with every link status changed. Runs in a private mount namespace (the
// file lives in an overlay of /var) on a private bus, with one client that
// receives every PropertiesChanged signal.

#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace
{

constexpr const char* service = "xyz.openbmc_project.NetworkAdapter";
constexpr const char* root = "/xyz/openbmc_project/NetworkAdapter";
constexpr const char* iface = "xyz.openbmc_project.NetworkAdapter.Device";
constexpr int adapters = 500;
constexpr int ports = 2;
constexpr int rounds = 30;

void writeInventory(const std::string& link)
{
    std::ofstream out("/var/lib/smbios/network", std::ios::trunc);
    char mac[32];
    for (int a = 0; a < adapters; ++a)
    {
        for (int p = 0; p < ports; ++p)
        {
            std::snprintf(mac, sizeof(mac), "3c:fd:fe:%02x:%02x:%02x", a >> 8,
                          a & 0xff, p);
            out << a * ports + p << "\tenp\t" << mac
                << "\tIntel Corporation\tEthernet Controller\tX710\t"
                << std::hex << 1 + a / 16 << "\t" << a % 16 << "\t" << p
                << std::dec << "\t" << link << "\tEnabled\tPCIe Slot " << a % 8
                << "\tCPU" << a % 2 << "\n";
        }
    }
}

struct Figures
{
    std::vector<double> ms;

    void print(const std::string& what, std::size_t signalsPerCall) const
    {
        auto sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        double sum = 0;
        for (double v : sorted)
        {
            sum += v;
        }
        std::printf("%-34s median %7.2f ms  mean %7.2f ms  min %7.2f ms  "
                    "max %7.2f ms  (%zu calls, %zu PropertiesChanged each)\n",
                    what.c_str(), sorted[sorted.size() / 2],
                    sum / sorted.size(), sorted.front(), sorted.back(),
                    sorted.size(), signalsPerCall);
    }
};

double millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

int main()
{
    std::string refused = testkit::enterSandbox(
        {.overlays = {"/var"}, .mkdirs = {"/var/lib/smbios"}});
    if (!refused.empty())
    {
        std::cerr << "nicscout_bench: no sandbox: " << refused << "\n";
        return 77;
    }
    const char* binary = std::getenv("NICSCOUT");
    if (binary == nullptr)
    {
        std::cerr << "nicscout_bench: NICSCOUT is not set\n";
        return 1;
    }

    testkit::PrivateBus privateBus;
    auto client = sdbus::Bus::newSystem();
    std::size_t signals = 0;
    sdbus::Match match(client,
                       std::string("type='signal',sender='") + service +
                           "',interface='org.freedesktop.DBus.Properties',"
                           "member='PropertiesChanged'",
                       [&signals](sdbus::Message&) { ++signals; });
    auto drain = [&client] {
        while (client.process() > 0)
        {}
    };

    writeInventory("Up");
    auto started = std::chrono::steady_clock::now();
    testkit::Process daemon(testkit::Process::Options{
        .argv = {binary}, .env = {}, .pathPrepend = {}});
    if (!daemon.waitForBusName(service))
    {
        std::cerr << "nicscout did not start: " << daemon.err() << "\n";
        return 1;
    }
    client.callMethod(service, root, "org.freedesktop.DBus.Peer", "Ping");
    double startMs = millisecondsSince(started);
    drain();

    auto timedSync = [&]() {
        signals = 0;
        auto start = std::chrono::steady_clock::now();
        auto reply =
            client.callMethod(service, root, iface, "AgentSynchronizeData");
        double ms = millisecondsSince(start);
        drain();
        if (!reply.unpack<bool>())
        {
            std::cerr << "AgentSynchronizeData answered false\n";
            std::exit(1);
        }
        return ms;
    };

    Figures unchanged;
    std::size_t unchangedSignals = 0;
    for (int i = 0; i < rounds; ++i)
    {
        unchanged.ms.push_back(timedSync());
        unchangedSignals = std::max(unchangedSignals, signals);
    }

    Figures changed;
    std::size_t changedSignals = 0;
    for (int i = 0; i < rounds; ++i)
    {
        writeInventory(i % 2 == 0 ? "Down" : "Up");
        changed.ms.push_back(timedSync());
        changedSignals = std::max(changedSignals, signals);
    }

    std::printf("nicscout: %d-line inventory, %d adapters of %d ports\n",
                adapters * ports, adapters, ports);
    std::printf("%-34s %7.2f ms\n", "start-up to first answer", startMs);
    unchanged.print("AgentSynchronizeData, unchanged", unchangedSignals);
    changed.print("AgentSynchronizeData, links changed", changedSignals);
    return 0;
}
