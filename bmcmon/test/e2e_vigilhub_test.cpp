// From a sensor to the health service: a passive reader on the asio loop
// follows a simulated fan tachometer, and a failed fan written with
// writeHealth makes the real vigilhub turn its fan flag false and assert
// the simulated system-fault LED group.

#include "bmcmon/dbus_helper.hpp"
#include "bmcmon/dbus_passive.hpp"
#include "sdbus/asio_connection.hpp"
#include "sim_fragments.hpp"
#include "testkit/process.hpp"
#include "testkit/simulator.hpp"
#include "testkit/wait.hpp"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using namespace std::chrono_literals;
using json = nlohmann::json;

constexpr const char* ledService = "xyz.openbmc_project.LED.GroupManager";
constexpr const char* faultGroup =
    "/xyz/openbmc_project/led/groups/system_fault";
constexpr const char* vigilhubService = "xyz.openbmc_project.vigilhub";
constexpr const char* fanFlag = "/xyz/openbmc_project/vigilhub/fan";

TEST(SensorToHealth, FailedFanAssertsSystemFault)
{
    const std::string fan0 = std::string(fanPath) + "FAN0";
    json services = json::array(
        {service(sensorService, {sensorObject(fan0, {"d", 3000.0})}),
         {{"name", ledService},
          {"objectManager", "/xyz/openbmc_project/led/groups"},
          {"objects",
           {{{"path", faultGroup},
             {"interfaces",
              {{"xyz.openbmc_project.Led.Group",
                {{"properties", {{"Asserted", {"b", false}}}}}}}}}}}}});
    testkit::Simulator sim(json{{"services", services}});
    testkit::Process hub(
        {.argv = {std::getenv("VIGILHUB")}, .env = {}, .pathPrepend = {}});
    ASSERT_TRUE(hub.waitForBusName(vigilhubService)) << hub.err();

    boost::asio::io_context io;
    sdbus::AsioConnection conn(io, sdbus::Bus::newSystem());
    auto runUntil = [&io](const std::function<bool()>& cond) {
        return testkit::waitUntil(
            [&] {
            if (io.stopped())
            {
                io.restart();
            }
            io.poll();
            return cond();
            },
            10s);
    };

    auto reader = createDbusPassive(
        conn.bus(), "fan", "FAN0",
        std::make_unique<DbusHelper>(sdbus::Bus::newSystem()),
        {.type = "fan", .readPath = fan0, .skipDbusMinMax = true}, nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->read().value, 3000);
    EXPECT_FALSE(reader->isFailed());

    sim.setProperty(sensorService, fan0, valueIntf, "Value", "d", 2400.0);
    ASSERT_TRUE(runUntil([&] { return reader->read().value == 2400; }));

    publishNaN(sensorService, fan0);
    ASSERT_TRUE(runUntil([&] { return reader->isFailed(); }));
    EXPECT_EQ(reader->read().value, 2400);

    sim.setProperty(sensorService, fan0, valueIntf, "Value", "d", 2300.0);
    ASSERT_TRUE(runUntil([&] { return !reader->isFailed(); }));
    sim.setProperty(sensorService, fan0, criticalIntf, "CriticalAlarmLow", "b",
                    true);
    ASSERT_TRUE(runUntil([&] { return reader->isFailed(); }));

    // The fan is failed: the fan flag goes false.
    DbusHelper helper(sdbus::Bus::newSystem());
    int code = HealthCode::unknown;
    helper.readHealth(vigilhubService, fanFlag, code);
    EXPECT_EQ(code, HealthCode::good);
    helper.writeHealth(vigilhubService, fanFlag,
                       reader->isFailed() ? HealthCode::fail
                                          : HealthCode::good);
    helper.readHealth(vigilhubService, fanFlag, code);
    EXPECT_EQ(code, HealthCode::fail);
    EXPECT_TRUE(testkit::waitUntil(
        [&] { return sim.count("Set", "Asserted=true") == 1; }, 10s))
        << hub.err();
    EXPECT_TRUE(hub.running());
}

} // namespace
} // namespace bmcmon::test
