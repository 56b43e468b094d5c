// Writes vigilhub's fan flag 100,000 times, alternating false and true so
// that every write changes the overall state and drives the system-fault LED
// group of the simulated LED group manager. Prints the Set round trip seen
// by the writer (median and 99th percentile), vigilhub's CPU time per 1,000
// writes and its resident memory before and after. Runs on a private bus,
// with vigilhub's journal entries received by a capture as journald would.

#include "benchkit.hpp"
#include "sdbus/bus.hpp"
#include "testkit/journal.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/simulator.hpp"
#include "testkit/wait.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <variant>
#include <vector>

namespace
{

using namespace std::chrono_literals;

constexpr const char* hubService = "xyz.openbmc_project.vigilhub";
constexpr const char* fanPath = "/xyz/openbmc_project/vigilhub/fan";
constexpr const char* ledService = "xyz.openbmc_project.LED.GroupManager";
constexpr int writes = 100000;
constexpr int warmUp = 1000;
constexpr int batch = 10000;
// A leak of a single byte per write would add about 100 kB; less than this
// is page noise of the allocator.
constexpr long rssToleranceKiB = 64;

long rssKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.rfind("VmRSS:", 0) == 0)
        {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

nlohmann::json ledConfig()
{
    return {{"services",
             {{{"name", ledService},
               {"objects",
                {{{"path", "/xyz/openbmc_project/led/groups/system_fault"},
                  {"interfaces",
                   {{"xyz.openbmc_project.Led.Group",
                     {{"properties", {{"Asserted", {"b", false}}}}}}}}}}}}}},
            {"mapper", false}};
}

} // namespace

int main()
{
    std::string refused = testkit::enterSandbox({.journal = true});
    if (!refused.empty())
    {
        std::cerr << "vigilhub_bench: no sandbox: " << refused << "\n";
        return 77;
    }
    const char* binary = std::getenv("VIGILHUB");
    if (binary == nullptr || std::getenv("PLATFORMSIM") == nullptr)
    {
        std::cerr << "vigilhub_bench: VIGILHUB and PLATFORMSIM must be set\n";
        return 1;
    }

    testkit::PrivateBus privateBus;
    testkit::JournalCapture journal;
    testkit::Simulator sim(ledConfig());
    testkit::Process hub(testkit::Process::Options{
        .argv = {binary}, .env = {}, .pathPrepend = {}});
    if (!hub.waitForBusName(hubService))
    {
        std::cerr << "vigilhub did not start: " << hub.err() << "\n";
        return 1;
    }
    const long rssStart = rssKiB(hub.pid());
    auto client = sdbus::Bus::newSystem();

    bool value = true;
    auto write = [&] {
        value = !value;
        client.callMethod(hubService, fanPath,
                          "org.freedesktop.DBus.Properties", "Set",
                          std::string("xyz.openbmc_project.Status"),
                          std::string("Health"), std::variant<bool>(value));
    };
    // Every write is a transition: one Get and one Set of the LED group.
    auto settle = [&](int n) {
        bool done = testkit::waitUntil(
            [&] { return sim.count("Set") == static_cast<std::size_t>(n); },
            60s);
        sim.clearLog();
        journal.clear();
        if (!done || !hub.running())
        {
            std::cerr << "vigilhub fell behind or ended: " << hub.err() << "\n";
            std::exit(1);
        }
    };

    for (int i = 0; i < warmUp; ++i)
    {
        write();
    }
    settle(warmUp);

    const long rssBefore = rssKiB(hub.pid());
    const double cpuBefore = benchkit::processCpuSeconds(hub.pid());
    benchkit::Samples us;
    std::vector<long> rssSeries;
    for (int i = 0; i < writes; ++i)
    {
        auto start = benchkit::Clock::now();
        write();
        us.add(benchkit::since<std::micro>(start));
        if ((i + 1) % batch == 0)
        {
            settle(batch);
            rssSeries.push_back(rssKiB(hub.pid()));
        }
    }
    const double cpuAfter = benchkit::processCpuSeconds(hub.pid());
    const long rssAfter = rssKiB(hub.pid());

    std::printf("vigilhub: %d fan flag writes, each a transition (LED Get "
                "and Set)\n",
                writes);
    std::printf("  Set round trip      median %8.1f us   p99 %8.1f us   "
                "max %8.1f us\n",
                us.median(), us.percentile(99), us.max());
    std::printf("  CPU time            %8.1f ms per 1,000 writes (%.2f s "
                "in all)\n",
                (cpuAfter - cpuBefore) * 1000.0 / (writes / 1000.0),
                cpuAfter - cpuBefore);
    std::printf("  VmRSS               %ld kB at start, %ld kB after %d "
                "warm-up writes, %ld kB after %d writes (%+ld kB)\n",
                rssStart, rssBefore, warmUp, rssAfter, writes,
                rssAfter - rssBefore);
    std::printf("  VmRSS every %d     ", batch);
    for (long kib : rssSeries)
    {
        std::printf(" %ld", kib);
    }
    std::printf(" kB\n");
    if (rssAfter - rssBefore > rssToleranceKiB)
    {
        std::printf("  resident memory GREW by more than %ld kB\n",
                    rssToleranceKiB);
        return 1;
    }
    return 0;
}
