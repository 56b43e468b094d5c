// Writes vigilhub's fan flag 100,000 times, alternating false and true so
// that every write changes the overall state and drives the system-fault LED
// group of the simulated LED group manager. Prints the Set round trip seen
// by the writer (median and 99th percentile), vigilhub's CPU time per 1,000
// writes and its resident memory before and after. Runs on a private bus,
// with vigilhub's journal entries received by a capture as journald would.

#include "sdbus/bus.hpp"
#include "testkit/journal.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/simulator.hpp"
#include "testkit/wait.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
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

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')'.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i)
    {
        if (i == 14)
        {
            utime = std::stoull(field);
        }
        else if (i == 15)
        {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

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
    const double cpuBefore = cpuSeconds(hub.pid());
    std::vector<double> us;
    us.reserve(writes);
    std::vector<long> rssSeries;
    for (int i = 0; i < writes; ++i)
    {
        auto start = std::chrono::steady_clock::now();
        write();
        us.push_back(std::chrono::duration<double, std::micro>(
                         std::chrono::steady_clock::now() - start)
                         .count());
        if ((i + 1) % batch == 0)
        {
            settle(batch);
            rssSeries.push_back(rssKiB(hub.pid()));
        }
    }
    const double cpuAfter = cpuSeconds(hub.pid());
    const long rssAfter = rssKiB(hub.pid());

    std::sort(us.begin(), us.end());
    std::printf("vigilhub: %d fan flag writes, each a transition (LED Get "
                "and Set)\n",
                writes);
    std::printf("  Set round trip      median %8.1f us   p99 %8.1f us   "
                "max %8.1f us\n",
                us[us.size() / 2], us[us.size() * 99 / 100], us.back());
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
