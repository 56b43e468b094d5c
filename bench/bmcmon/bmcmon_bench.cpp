// How fast the D-Bus sensor access layer works on a private bus against the
// platform simulator:
// - how many PropertiesChanged signals per second one DbusPassive follows on
//   the asio loop, fed by a sender on a thread and a connection of its own
//   (at most `window` signals in flight);
// - the cost of one readSensorValue (a GetAll answered by the simulator)
//   and of one lookupService (a GetObject of the simulator's mapper).
// Each call figure stands beside a bare round trip to the floor service (a
// Get of its property, a call of its method), taken in alternating batches;
// the private memory of this process is followed over many reads.

#include "benchkit.hpp"
#include "bmcmon/dbus_helper.hpp"
#include "bmcmon/dbus_passive.hpp"
#include "floor.hpp"
#include "measure.hpp"
#include "sdbus/asio_connection.hpp"
#include "table.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/simulator.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace
{

using benchkit::Clock;
using json = nlohmann::json;

constexpr const char* sensorService = "xyz.openbmc_project.FanSensor";
constexpr const char* fan0 = "/xyz/openbmc_project/sensors/fan_tach/FAN0";
constexpr const char* valueIntf = "xyz.openbmc_project.Sensor.Value";
const int signalsPerRound = benchkit::count(20000, 2000);
const int signalRounds = benchkit::count(5, 2);
constexpr int window = 1000;

json platform()
{
    json value = {
        {"properties",
         {{"Value", {"d", 0.0}},
          {"Scale", {"x", 0}},
          {"MinValue", {"d", 0.0}},
          {"MaxValue", {"d", 0.0}},
          {"Unit", {"s", "xyz.openbmc_project.Sensor.Value.Unit.RPMS"}}}}};
    json object = {{"path", fan0}, {"interfaces", {{valueIntf, value}}}};
    return {{"services", {{{"name", sensorService}, {"objects", {object}}}}}};
}

/** Sends values first..last as PropertiesChanged of the sensor, keeping at
 *  most `window` ahead of what the reader has taken. The reader takes
 *  signals from the sensor service's owner alone, so the simulator sends
 *  them: each value is a SetProperty that expects no reply. */
void sendValues(int first, int last, const std::atomic<int>& taken)
{
    sdbus::Bus bus = sdbus::Bus::newSystem();
    for (int v = first; v <= last; ++v)
    {
        while (v - taken.load(std::memory_order_acquire) > window)
        {
            bus.flush();
            std::this_thread::yield();
        }
        sdbus::Message m =
            bus.newMethodCall("local.platformsim", "/local/platformsim",
                              "local.platformsim.Control", "SetProperty");
        m.append(std::string(sensorService), std::string(fan0),
                 std::string(valueIntf), std::string("Value"),
                 std::variant<double>(static_cast<double>(v)));
        sd_bus_message_set_expect_reply(m.get(), 0);
        bus.send(m);
    }
    bus.flush();
}

double signalsPerSecond()
{
    boost::asio::io_context io;
    sdbus::AsioConnection conn(io, sdbus::Bus::newSystem());
    auto reader = bmcmon::createDbusPassive(
        conn.bus(), "fan", "FAN0",
        std::make_unique<bmcmon::DbusHelper>(sdbus::Bus::newSystem()),
        {.type = "fan", .readPath = fan0, .skipDbusMinMax = true}, nullptr);
    if (!reader)
    {
        std::fprintf(stderr, "no reader\n");
        std::exit(1);
    }

    benchkit::Samples rates;
    int next = 1;
    for (int round = 0; round < signalRounds; ++round)
    {
        const int first = next;
        const int last = next + signalsPerRound - 1;
        next = last + 1;
        std::atomic<int> taken = first - 1;
        auto start = Clock::now();
        std::thread sender(sendValues, first, last, std::cref(taken));
        while (taken.load() < last)
        {
            io.run_one();
            taken.store(static_cast<int>(reader->read().value),
                        std::memory_order_release);
        }
        const double elapsed = benchkit::since(start);
        sender.join();
        rates.add(signalsPerRound / elapsed);
    }
    return rates.median();
}

} // namespace

int main()
{
    testkit::PrivateBus bus;
    testkit::Simulator sim(platform());

    benchkit::Floor floor;
    benchkit::Table table("bmcmon");
    table.add("DbusPassive: PropertiesChanged followed per second",
              signalsPerSecond(), "/s", 0);

    bmcmon::DbusHelper helper(sdbus::Bus::newSystem());
    bmcmon::SensorValueProperties props;
    const int calls = benchkit::count(10000, 500);
    const int batch = benchkit::count(1000, 100);
    const int warmUp = benchkit::count(500, 20);
    auto read = benchkit::interleave(
        calls, batch, warmUp,
        {.pid = getpid(),
         .operation =
             [&](int) { helper.readSensorValue(sensorService, fan0, props); }},
        {.pid = floor.pid(), .operation = [&](int) { floor.get(); }});
    auto lookup = benchkit::interleave(
        calls, batch, warmUp,
        {.pid = getpid(),
         .operation = [&](int) { helper.lookupService(valueIntf, fan0); }},
        {.pid = floor.pid(), .operation = [&](int) { floor.call(); }});

    // Untimed, so that no sample takes memory.
    const int growthOps = benchkit::count(100000, 2000);
    const long before = benchkit::privateKiB(getpid());
    for (int i = 0; i < growthOps; ++i)
    {
        helper.readSensorValue(sensorService, fan0, props);
    }
    const long growth = benchkit::privateKiB(getpid()) - before;

    table.add("readSensorValue (GetAll; floor: Get), median of " +
                  std::to_string(calls),
              read.first.us.median(), read.second.us.median(), "us");
    table.add("readSensorValue, p99", read.first.us.percentile(99),
              read.second.us.percentile(99), "us");
    table.add("lookupService (mapper; floor: a method), median",
              lookup.first.us.median(), lookup.second.us.median(), "us");
    table.add("lookupService, p99", lookup.first.us.percentile(99),
              lookup.second.us.percentile(99), "us");
    table.addGrowth("private memory growth over " + std::to_string(growthOps) +
                        " reads",
                    growth);
    table.print();
    return 0;
}
