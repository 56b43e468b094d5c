// Cost of the fan daemon's monitor pass with 8 fans, in process against
// the simulated platform on a private bus (readers, helpers and the shell
// commands all real; log-util and systemctl are recording stand-ins), on a
// clock moved by hand so every kind of pass can be had at once:
//   - set-up: the controller's readers and 8 fan readers made;
//   - a quiet pass: nothing changed, the mode already applied;
//   - a pass noting 8 flips: 8 states put under confirmation;
//   - a confirming pass: 8 fans confirmed failed (8 removed events and the
//     redundancy event through the shell, the health flag written, the
//     mode switched), then 8 confirmed back.
// Each quiet pass is taken beside a bare round trip to the floor service,
// and the private memory of this process is followed over many quiet
// passes. Then the real daemon with 8 fans beside the floor service: its
// start-up to the first pass, private memory, and its CPU at rest over
// its passes.

#include "benchkit.hpp"
#include "bmcmon/dbus_types.hpp"
#include "fan_controller.hpp"
#include "fan_dbus_passive.hpp"
#include "floor.hpp"
#include "measure.hpp"
#include "sdbus/asio_connection.hpp"
#include "table.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/simulator.hpp"
#include "testkit/stubs.hpp"
#include "testkit/wait.hpp"

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using json = nlohmann::json;
using TimePoint = std::chrono::system_clock::time_point;
constexpr int fans = 8;

json sensor(const std::string& path, double value)
{
    return {
        {"path", path},
        {"interfaces",
         {{"xyz.openbmc_project.Sensor.Value",
           {{"properties", {{"Value", {"d", value}}, {"Scale", {"x", 0}}}}}},
          {"xyz.openbmc_project.Sensor.Threshold.Critical",
           {{"properties",
             {{"CriticalAlarmLow", {"b", false}},
              {"CriticalAlarmHigh", {"b", false}}}}}}}}};
}

json object(const std::string& path, const std::string& intf, json props)
{
    return {{"path", path},
            {"interfaces", {{intf, {{"properties", std::move(props)}}}}}};
}

json platform()
{
    json fanObjects = json::array();
    for (int i = 0; i < fans; ++i)
    {
        fanObjects.push_back(sensor(
            "/xyz/openbmc_project/sensors/fan_tach/FAN" + std::to_string(i),
            3000.0));
    }
    return {
        {"services",
         {{{"name", "xyz.openbmc_project.FanSensor"}, {"objects", fanObjects}},
          {{"name", "xyz.openbmc_project.State.Host"},
           {"objects",
            {object("/xyz/openbmc_project/state/host0",
                    "xyz.openbmc_project.State.Host",
                    {{"CurrentHostState",
                      {"s", "xyz.openbmc_project.State.Host.HostState."
                            "Running"}}})}}},
          {{"name", "xyz.openbmc_project.Settings"},
           {"objects",
            {object("/xyz/openbmc_project/control/thermal",
                    "xyz.openbmc_project.Control.ThermalMode",
                    {{"Current", {"s", "low-noise"}}}),
             object("/xyz/openbmc_project/control/host0/power_cap",
                    "xyz.openbmc_project.Control.Power.Cap",
                    {{"PowerCap", {"u", 1000}},
                     {"PowerCapEnable", {"b", true}}})}}},
          {{"name", "xyz.openbmc_project.PowerSensor"},
           {"objects",
            {sensor("/xyz/openbmc_project/sensors/power/total_power", 300.0)}}},
          {{"name", "xyz.openbmc_project.vigilhub"},
           {"objects",
            {object("/xyz/openbmc_project/vigilhub/fan",
                    "xyz.openbmc_project.Status", {{"Health", {"b", true}}})}}},
          {{"name", "xyz.openbmc_project.Logging"},
           {"objects",
            {{{"path", "/xyz/openbmc_project/logging"},
              {"interfaces",
               {{"xyz.openbmc_project.Logging.Create",
                 {{"methods",
                   {{"Create", {{"in", "ssa{ss}"}, {"out", ""}}}}}}}}}}}}}}}};
}

/** Wall and CPU seconds of each pass of one kind. */
struct Figures
{
    benchkit::Samples wall;
    benchkit::Samples cpu;

    void print(const char* what, const char* unit, double scale) const
    {
        std::printf("%-34s %s  cpu %9.3f %s/pass  (%zu)\n", what,
                    wall.summary(unit, scale).c_str(), cpu.mean() * scale, unit,
                    wall.size());
    }
};

template <typename F>
void measure(Figures& f, F&& step)
{
    const double cpu0 = benchkit::selfCpuSeconds();
    const auto t0 = benchkit::Clock::now();
    step();
    f.wall.add(benchkit::since(t0));
    f.cpu.add(benchkit::selfCpuSeconds() - cpu0);
}

} // namespace

int main()
{
    std::string refused = testkit::enterSandbox(
        {.overlays = {"/var", "/usr/share", "/usr/bin"},
         .mkdirs = {"/usr/share/breezekeeper", "/var/inventory/fan"}});
    if (!refused.empty())
    {
        std::printf("breezekeeperd bench skipped: %s\n", refused.c_str());
        return 0;
    }
    testkit::PrivateBus bus;
    testkit::Simulator sim(platform());
    testkit::CommandStubs stubs;
    stubs.add("log-util");
    stubs.add("systemctl");
    setenv("PATH", (stubs.path() + ":" + std::getenv("PATH")).c_str(), 1);
    {
        std::ofstream script("/usr/bin/fan-max-speed.sh");
        script << "#!/bin/bash\nexit 0\n";
    }

    // The daemon's lines are not part of the figures.
    std::ostringstream lines;
    std::streambuf* oldErr = std::cerr.rdbuf(lines.rdbuf());

    boost::asio::io_context io;
    sdbus::AsioConnection conn(io, sdbus::Bus::newSystem());
    // Both clocks move by hand: `now` is the time that has passed.
    const TimePoint wallStart = std::chrono::system_clock::now();
    const auto steadyStart = std::chrono::steady_clock::now();
    std::chrono::nanoseconds now{0};
    bmcmon::Clocks clock{.steady = [&] { return steadyStart + now; },
                         .system = [&] { return wallStart + now; }};
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < fans; ++i)
    {
        ids.push_back(i);
    }

    Figures setup;
    for (int round = 0; round < 10; ++round)
    {
        measure(setup, [&] {
            bmcmon::FanController c(conn.bus(), bmcmon::newSystemHelper(),
                                    bmcmon::newSystemHelper, clock);
            c.initFanController();
            c.assignFanIds(ids);
        });
    }

    bmcmon::FanController controller(conn.bus(), bmcmon::newSystemHelper(),
                                     bmcmon::newSystemHelper, clock);
    controller.initFanController();
    controller.assignFanIds(ids);
    // Past the grace period and the host's settling, first states confirmed,
    // mode applied.
    for (int i = 0; i < 25; ++i)
    {
        controller.evaluateFanMode();
        now += 3s;
    }
    auto fan = [&](uint32_t id) -> bmcmon::FanDbusPassive& {
        return static_cast<bmcmon::FanDbusPassive&>(
            *controller.getFanManager().getReaders()[id]);
    };

    benchkit::Floor floor;
    const int quietOps = benchkit::count(2000, 200);
    auto quiet = benchkit::interleave(
        quietOps, benchkit::count(500, 50), benchkit::count(100, 10),
        {.pid = getpid(),
         .operation = [&](int) { controller.evaluateFanMode(); },
         .prepare = [&](int) { now += 3s; }},
        {.pid = floor.pid(), .operation = [&](int) { floor.call(); }});

    // Untimed, so that no sample takes memory.
    const int growthOps = benchkit::count(100000, 2000);
    const long selfBefore = benchkit::privateKiB(getpid());
    const long floorBefore = benchkit::privateKiB(floor.pid());
    for (int done = 0; done < growthOps; done += 1000)
    {
        for (int i = 0; i < 1000; ++i)
        {
            now += 3s;
            controller.evaluateFanMode();
        }
        for (int i = 0; i < 1000; ++i)
        {
            floor.call();
        }
    }
    const long selfGrowth = benchkit::privateKiB(getpid()) - selfBefore;
    const long floorGrowth = benchkit::privateKiB(floor.pid()) - floorBefore;

    Figures noting;
    Figures confirming;
    for (int round = 0; round < 10; ++round)
    {
        const double value = (round % 2 == 0) ? 0.0 : 3000.0;
        for (uint32_t id = 0; id < fans; ++id)
        {
            fan(id).updateFanValue(value, false);
        }
        measure(noting, [&] { controller.evaluateFanMode(); });
        now += 12s;
        measure(confirming, [&] { controller.evaluateFanMode(); });
        now += 3s;
    }
    std::cerr.rdbuf(oldErr);

    if (controller.getFanManager().getConfirmed() != 0)
    {
        std::printf("unexpected: fans left confirmed failed\n");
        return 1;
    }

    std::printf("breezekeeperd, %d fans (in process, simulated platform)\n",
                fans);
    setup.print("set-up (readers made)", "ms", 1e3);
    noting.print("pass noting 8 flips", "us", 1e6);
    confirming.print("pass confirming 8 fans (events)", "ms", 1e3);
    std::printf("  (a confirming pass runs 8 x 3 event commands, the "
                "redundancy event's 2, the mode's commands and 2 or 3 "
                "D-Bus calls; the cpu figure includes the shell and the "
                "commands run)\n");

    benchkit::Table table("breezekeeperd");
    table.add("set-up, readers made, in process", setup.wall.median() * 1e3,
              "ms", 3);
    table.add("quiet pass in process (floor: a bare round trip)",
              quiet.first.us.median(), quiet.second.us.median(), "us");
    table.add("quiet pass, p99", quiet.first.us.percentile(99),
              quiet.second.us.percentile(99), "us");
    table.add("pass noting 8 flips, in process", noting.wall.median() * 1e6,
              "us");
    table.add("pass confirming 8 fans (events), in process",
              confirming.wall.median() * 1e3, "ms", 2);
    table.addGrowth("private memory growth over " + std::to_string(growthOps) +
                        " passes (floor: calls)",
                    selfGrowth, floorGrowth);

    // The real daemon: start-up to its first pass, then at rest.
    const char* exe = std::getenv("BREEZEKEEPERD");
    if (exe == nullptr)
    {
        table.print();
        return 0;
    }
    const testkit::Process::Options options{
        .argv = {exe, "-f", "0,1,2,3,4,5,6,7"},
        .env = {},
        .pathPrepend = {stubs.path()}};
    const char* firstPass = "Fan is added to be confirmed. id: 7";
    const int starts = benchkit::count(5, 2);
    auto [startD, startF] = benchkit::startups(
        starts, [&] { return benchkit::timeToOutput(options, firstPass); });
    std::unique_ptr<testkit::Process> daemon;
    benchkit::timeToOutput(options, firstPass, &daemon);
    const long startKiB = benchkit::privateKiB(daemon->pid());
    const long floorStartKiB = benchkit::privateKiB(floor.pid());
    // Three passes at rest (one in a quick run).
    const double idleSeconds = benchkit::count(9, 3);
    auto [idleD, idleF] =
        benchkit::idleCpuPercent(daemon->pid(), floor.pid(), idleSeconds);
    table.add("start-up to first pass (floor: to bus name), median of " +
                  std::to_string(starts),
              startD.median(), startF.median(), "ms", 2);
    table.addMemory(
        startKiB, floorStartKiB, benchkit::privateKiB(daemon->pid()),
        benchkit::privateKiB(floor.pid()), "after the passes at rest");
    table.addIdle("CPU at rest, a pass each 3 s,", idleSeconds, idleD, idleF);
    table.print();
    return 0;
}
