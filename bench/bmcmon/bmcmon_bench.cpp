// How fast the D-Bus sensor access layer works on a private bus against the
// platform simulator:
// - how many PropertiesChanged signals per second one DbusPassive follows on
//   the asio loop, fed by a sender on a thread and a connection of its own
//   (at most `window` signals in flight);
// - the cost of one readSensorValue (a GetAll answered by the simulator)
//   and of one lookupService (a GetObject of the simulator's mapper).
// Each figure is the median of its rounds.

#include "benchkit.hpp"
#include "bmcmon/dbus_helper.hpp"
#include "bmcmon/dbus_passive.hpp"
#include "sdbus/asio_connection.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/simulator.hpp"

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
constexpr int signalsPerRound = 20000;
constexpr int signalRounds = 5;
constexpr int window = 1000;
constexpr int callsPerRound = 2000;
constexpr int callRounds = 5;

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
 *  most `window` ahead of what the reader has taken. */
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
        sdbus::Message m = bus.newSignal(
            fan0, "org.freedesktop.DBus.Properties", "PropertiesChanged");
        m.append(std::string(valueIntf),
                 std::map<std::string, std::variant<double>>{
                     {"Value", static_cast<double>(v)}},
                 std::vector<std::string>{});
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

template <typename F>
double microsecondsPerCall(F&& call)
{
    benchkit::Samples rounds;
    for (int round = 0; round < callRounds; ++round)
    {
        benchkit::Samples us;
        for (int i = 0; i < callsPerRound; ++i)
        {
            auto start = Clock::now();
            call();
            us.add(benchkit::since<std::micro>(start));
        }
        rounds.add(us.median());
    }
    return rounds.median();
}

} // namespace

int main()
{
    testkit::PrivateBus bus;
    testkit::Simulator sim(platform());

    double rate = signalsPerSecond();
    std::printf("DbusPassive on the asio loop: %.0f PropertiesChanged "
                "signals/s (median of %d rounds of %d, window %d)\n",
                rate, signalRounds, signalsPerRound, window);

    bmcmon::DbusHelper helper(sdbus::Bus::newSystem());
    bmcmon::SensorValueProperties props;
    double read = microsecondsPerCall(
        [&] { helper.readSensorValue(sensorService, fan0, props); });
    std::printf("readSensorValue: %.1f us per call (median of %d x %d)\n", read,
                callRounds, callsPerRound);
    double lookup =
        microsecondsPerCall([&] { helper.lookupService(valueIntf, fan0); });
    std::printf("lookupService: %.1f us per call (median of %d x %d)\n", lookup,
                callRounds, callsPerRound);
    return 0;
}
