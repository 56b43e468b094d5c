// vigilhub beside the floor service on a private bus: start-up to its bus
// name, Set round trips of the fan flag unchanged and changing (a change
// turns the overall state over and drives the system-fault LED group of the
// simulated LED group manager: one Get and one Set), CPU per Set, private
// memory at start, after the run and its growth, and idle CPU. vigilhub's
// journal entries are received by a capture as journald would.

#include "floor.hpp"
#include "measure.hpp"
#include "sdbus/bus.hpp"
#include "table.hpp"
#include "testkit/journal.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/simulator.hpp"
#include "testkit/wait.hpp"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <variant>

namespace
{

using namespace std::chrono_literals;

constexpr const char* hubService = "xyz.openbmc_project.vigilhub";
constexpr const char* fanPath = "/xyz/openbmc_project/vigilhub/fan";
constexpr const char* ledService = "xyz.openbmc_project.LED.GroupManager";

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
    const testkit::Process::Options options{
        .argv = {binary}, .env = {}, .pathPrepend = {}};

    const int starts = benchkit::count(5, 2);
    auto [startD, startF] = benchkit::startups(
        starts, [&] { return benchkit::timeToName(options, hubService); });

    std::unique_ptr<testkit::Process> hub;
    benchkit::timeToName(options, hubService, &hub);
    benchkit::Floor floor;
    const long startKiB = benchkit::privateKiB(hub->pid());
    const long floorStartKiB = benchkit::privateKiB(floor.pid());
    auto client = sdbus::Bus::newSystem();
    auto set = [&](bool value) {
        client.callMethod(hubService, fanPath,
                          "org.freedesktop.DBus.Properties", "Set",
                          std::string("xyz.openbmc_project.Status"),
                          std::string("Health"), std::variant<bool>(value));
    };

    const int batch = benchkit::count(1000, 100);
    const int warmUp = benchkit::count(1000, 50);
    const int unchangedOps = benchkit::count(20000, 500);
    const int changingOps = benchkit::count(100000, 2000);
    sim.clearLog();
    auto unchanged = benchkit::interleave(
        unchangedOps, batch, warmUp,
        {.pid = hub->pid(), .operation = [&](int) { set(true); }},
        {.pid = floor.pid(), .operation = [&](int) { floor.set(false); }});

    // Every changing Set is a transition: one Get and one Set of the LED
    // group, done after the answer; each batch waits for them.
    std::size_t transitions = 0;
    auto settle = [&] {
        bool done = testkit::waitUntil(
            [&] { return sim.count("Set") == transitions; }, 60s);
        sim.clearLog();
        journal.clear();
        transitions = 0;
        if (!done || !hub->running())
        {
            std::cerr << "vigilhub fell behind or ended: " << hub->err()
                      << "\n";
            std::exit(1);
        }
    };
    auto changing =
        benchkit::interleave(changingOps, batch, warmUp,
                             {.pid = hub->pid(),
                              .operation =
                                  [&](int i) {
        set(i % 2 == 1);
        ++transitions;
                              },
                              .afterBatch = settle},
                             {.pid = floor.pid(), .operation = [&](int i) {
                                  floor.set(i % 2 == 0);
                              }});

    const double idleSeconds = benchkit::count(5, 1);
    auto [idleD, idleF] =
        benchkit::idleCpuPercent(hub->pid(), floor.pid(), idleSeconds);

    benchkit::Table table("vigilhub");
    table.add("start-up to bus name, median of " + std::to_string(starts),
              startD.median(), startF.median(), "ms", 2);
    benchkit::addRun(table, "Set unchanged", unchanged);
    benchkit::addRun(table, "Set changing (LED Get+Set)", changing);
    table.addMemory(startKiB, floorStartKiB, changing.first.kibAfter,
                    changing.second.kibAfter);
    table.addGrowth("private memory growth over " +
                        std::to_string(unchangedOps + changingOps) + " Sets",
                    changing.first.kibAfter - unchanged.first.kibBefore,
                    changing.second.kibAfter - unchanged.second.kibBefore);
    table.addIdle("idle CPU", idleSeconds, idleD, idleF);
    table.print();
    return 0;
}
