// The passive reader and the redundancy set on the asio loop, following the
// platform simulator's signals on the private bus.

#include "bmcmon/dbus_helper.hpp"
#include "bmcmon/dbus_passive.hpp"
#include "bmcmon/dbus_passive_redundancy.hpp"
#include "sdbus/asio_connection.hpp"
#include "sim_fragments.hpp"
#include "testkit/simulator.hpp"
#include "testkit/wait.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using json = nlohmann::json;

const std::string fan0 = std::string(fanPath) + "FAN0";
const std::string fan1 = std::string(fanPath) + "FAN1";
const std::string fan2 = std::string(fanPath) + "FAN2";
const std::string fan3 = std::string(fanPath) + "FAN3";
constexpr const char* redundancyService = "xyz.openbmc_project.FanRedundancy";
constexpr const char* redundancyRoot = "/xyz/openbmc_project/control/fanred/";
constexpr const char* failedState =
    "xyz.openbmc_project.Control.FanRedundancy.State.Failed";
constexpr const char* fullState =
    "xyz.openbmc_project.Control.FanRedundancy.State.Full";

class OnLoop : public ::testing::Test
{
  protected:
    /** Runs the loop until cond holds; false at the deadline. */
    bool runUntil(const std::function<bool()>& cond)
    {
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
    }

    std::unique_ptr<testkit::Simulator> sim;
    boost::asio::io_context io;
    std::unique_ptr<sdbus::AsioConnection> conn;
};

class PassiveOnBus : public OnLoop
{
  protected:
    void SetUp() override
    {
        json sensors = json::array({sensorObject(fan0, {"d", 3000.0}),
                                    sensorObject(fan1, {"d", 0.0})});
        sim = std::make_unique<testkit::Simulator>(
            json{{"services", {service(sensorService, sensors)}}});
        conn = std::make_unique<sdbus::AsioConnection>(io,
                                                       sdbus::Bus::newSystem());
    }

    std::unique_ptr<ReadInterface>
        create(const std::string& id,
               const std::shared_ptr<DbusPassiveRedundancy>& r = nullptr)
    {
        return createDbusPassive(
            conn->bus(), "fan", id,
            std::make_unique<DbusHelper>(sdbus::Bus::newSystem()),
            {.type = "fan", .readPath = "", .skipDbusMinMax = true}, r);
    }

    void setValue(const std::string& sig, const json& v)
    {
        sim->setProperty(sensorService, fan0, valueIntf, "Value", sig, v);
    }
};

TEST_F(PassiveOnBus, FollowsValueAlarmsAndStatus)
{
    auto reader = create("FAN0");
    ASSERT_NE(reader, nullptr);
    auto* p = dynamic_cast<DbusPassive*>(reader.get());
    EXPECT_EQ(p->getValue(), 3000);
    auto created = p->read().updated;

    setValue("d", 2500.0);
    ASSERT_TRUE(runUntil([&] { return p->getValue() == 2500; }));
    EXPECT_GT(p->read().updated, created);

    // A tachometer published as 'i' reads as its number.
    setValue("i", 1200);
    ASSERT_TRUE(runUntil([&] { return p->getValue() == 1200; }));

    sim->setProperty(sensorService, fan0, criticalIntf, "CriticalAlarmHigh",
                     "b", true);
    ASSERT_TRUE(runUntil([&] { return p->isFailed(); }));
    sim->setProperty(sensorService, fan0, criticalIntf, "CriticalAlarmHigh",
                     "b", false);
    ASSERT_TRUE(runUntil([&] { return !p->isFailed(); }));

    sim->setProperty(sensorService, fan0, statusIntf, "Functional", "b", false);
    ASSERT_TRUE(runUntil([&] { return p->isFailed(); }));
    sim->setProperty(sensorService, fan0, statusIntf, "Functional", "b", true);
    ASSERT_TRUE(runUntil([&] { return !p->isFailed(); }));
    EXPECT_EQ(p->getValue(), 1200);
}

TEST_F(PassiveOnBus, NotFiniteValueMarksBadReading)
{
    auto reader = create("FAN0");
    ASSERT_NE(reader, nullptr);
    // A value sent at the sensor's path by another connection than the
    // sensor service's is dropped; the service's own NaN is taken.
    sdbus::Bus emitter = sdbus::Bus::newSystem();
    sdbus::Message spoof = emitter.newSignal(
        fan0, "org.freedesktop.DBus.Properties", "PropertiesChanged");
    spoof.append(std::string(valueIntf),
                 std::map<std::string, std::variant<double>>{{"Value", 0.0}},
                 std::vector<std::string>{});
    emitter.send(spoof);
    emitter.flush();
    publishNaN(sensorService, fan0);
    ASSERT_TRUE(runUntil([&] { return reader->isFailed(); }));
    EXPECT_EQ(reader->read().value, 3000);

    setValue("d", 3100.0);
    ASSERT_TRUE(runUntil([&] { return reader->read().value == 3100; }));
    EXPECT_FALSE(reader->isFailed());
}

TEST_F(PassiveOnBus, BadSignalBodiesNeverEndTheLoop)
{
    auto reader = create("FAN0");
    ASSERT_NE(reader, nullptr);

    testing::internal::CaptureStderr();
    sim->setProperty(sensorService, fan0, criticalIntf, "CriticalAlarmLow", "s",
                     "on");
    sim->setProperty(sensorService, fan0, statusIntf, "Functional", "i", 0);
    sim->emitRaw(sensorService, fan0, "org.freedesktop.DBus.Properties",
                 "PropertiesChanged", "si", json::array({valueIntf, 5}));
    setValue("d", 2000.0);
    bool followed = runUntil([&] { return reader->read().value == 2000; });
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(followed);
    EXPECT_FALSE(reader->isFailed());
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    EXPECT_THAT(err, HasSubstr("ignoring CriticalAlarmLow of " + fan0 +
                               ": not a boolean\n"));
    EXPECT_THAT(
        err, HasSubstr("ignoring Functional of " + fan0 + ": not a boolean\n"));
    EXPECT_THAT(err, HasSubstr("ignoring unreadable signal of " + fan0));
}

TEST_F(PassiveOnBus, AbsentSensorGivesNoReader)
{
    sim->setAbsent(sensorService, true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(create("FAN0"), nullptr);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                ::testing::StartsWith(
                    "createDbusPassive: exception: sd_bus_call: "
                    "xyz.openbmc_project.Common.Error.ResourceNotFound"));
}

TEST_F(PassiveOnBus, ReadAgainWhenPublishedAnew)
{
    auto reader = create("FAN0");
    ASSERT_NE(reader, nullptr);

    // The service restarts: its new instance publishes the sensor, stopped
    // and alarmed, and sends no change signal.
    json restarted =
        service(sensorService, {sensorObject(fan0, {"d", 0.0}, 0, 0, 0, true)});
    restarted["objectManager"] = "/xyz/openbmc_project/sensors";
    sim.reset();
    sim = std::make_unique<testkit::Simulator>(
        json{{"services", json::array({restarted})}});
    ASSERT_TRUE(runUntil([&] { return reader->isFailed(); }));
    EXPECT_EQ(reader->read().value, 0);

    // The object published anew under its object manager.
    sim->removeObject(sensorService, fan0);
    sim->addObject(sensorService, sensorObject(fan0, {"d", 2700.0}));
    ASSERT_TRUE(runUntil([&] { return reader->read().value == 2700; }));
    EXPECT_FALSE(reader->isFailed());
}

TEST_F(PassiveOnBus, DestroyedReaderStopsFollowing)
{
    auto other = create("FAN1");
    auto reader = create("FAN0");
    reader.reset();
    setValue("d", 1.0);
    sim->setProperty(sensorService, fan1, valueIntf, "Value", "d", 5.0);
    ASSERT_TRUE(runUntil([&] { return other->read().value == 5; }));
}

class RedundancyOnBus : public OnLoop
{
  protected:
    void start(json objects)
    {
        json services = json::array(
            {service(sensorService, {sensorObject(fan0, {"d", 3000.0})}),
             service(redundancyService, std::move(objects))});
        sim =
            std::make_unique<testkit::Simulator>(json{{"services", services}});
        conn = std::make_unique<sdbus::AsioConnection>(io,
                                                       sdbus::Bus::newSystem());
    }

    void setStatus(const std::string& name, const std::string& sig,
                   const json& status)
    {
        sim->setProperty(redundancyService, redundancyRoot + name,
                         redundancyIntf, "Status", sig, status);
    }

    std::set<std::string> set(std::initializer_list<std::string> paths)
    {
        return paths;
    }
};

TEST_F(RedundancyOnBus, PopulatesFromEveryFailedObject)
{
    start({redundancyObject(redundancyRoot + std::string("a"),
                            {"s", failedState}, {"as", {fan0, fan1}}),
           redundancyObject(redundancyRoot + std::string("b"), {"s", fullState},
                            {"ao", {fan2}}),
           redundancyObject(redundancyRoot + std::string("c"),
                            {"s", failedState}, {"i", 5}),
           redundancyObject(redundancyRoot + std::string("d"),
                            {"s", failedState}, nullptr),
           redundancyObject(redundancyRoot + std::string("e"),
                            {"s", failedState}, {"ao", {fan3}}),
           redundancyObject(redundancyRoot + std::string("f"), {"i", 1},
                            {"as", {"/x"}})});
    DbusPassiveRedundancy r(conn->bus());
    EXPECT_EQ(r.getFailedSet(), set({fan0, fan1, fan3}));
}

TEST_F(RedundancyOnBus, FollowsStatusSignals)
{
    start({redundancyObject(redundancyRoot + std::string("a"),
                            {"s", failedState}, {"as", {fan0, fan1}}),
           redundancyObject(redundancyRoot + std::string("b"), {"s", fullState},
                            {"ao", {fan1, fan2}})});
    DbusPassiveRedundancy r(conn->bus());
    ASSERT_EQ(r.getFailedSet(), set({fan0, fan1}));

    setStatus("b", "s", failedState);
    ASSERT_TRUE(runUntil([&] { return r.getFailedSet().contains(fan2); }));
    EXPECT_EQ(r.getFailedSet(), set({fan0, fan1, fan2}));

    // The set holds no count: b's recovery drops fan1 though a failed.
    setStatus("b", "s", fullState);
    ASSERT_TRUE(runUntil([&] { return !r.getFailedSet().contains(fan2); }));
    EXPECT_EQ(r.getFailedSet(), set({fan0}));

    // A signal without Status changes nothing, whatever it carries.
    sim->setProperty(redundancyService, redundancyRoot + std::string("a"),
                     redundancyIntf, "Collection", "as", json::array({fan3}));
    setStatus("b", "s", failedState);
    ASSERT_TRUE(runUntil([&] { return r.getFailedSet().contains(fan2); }));
    EXPECT_EQ(r.getFailedSet(), set({fan0, fan1, fan2}));

    // The collection a Get answers, as a list of strings...
    setStatus("a", "s", failedState);
    ASSERT_TRUE(runUntil([&] { return r.getFailedSet().contains(fan3); }));
    // ... or of another type, which counts as empty.
    sim->setProperty(redundancyService, redundancyRoot + std::string("a"),
                     redundancyIntf, "Collection", "i", 5);
    setStatus("a", "s", fullState);
    setStatus("b", "s", fullState);
    ASSERT_TRUE(runUntil([&] { return !r.getFailedSet().contains(fan2); }));
    EXPECT_EQ(r.getFailedSet(), set({fan0, fan3}));
}

TEST_F(RedundancyOnBus, BadSignalsAndFailedReadsChangeNothing)
{
    start({redundancyObject(redundancyRoot + std::string("a"), {"s", fullState},
                            {"as", {fan0}}),
           redundancyObject(redundancyRoot + std::string("b"), {"s", fullState},
                            {"ao", {fan1}})});
    DbusPassiveRedundancy r(conn->bus());
    ASSERT_TRUE(r.getFailedSet().empty());

    testing::internal::CaptureStderr();
    sim->emitRaw(redundancyService, redundancyRoot + std::string("a"),
                 "org.freedesktop.DBus.Properties", "PropertiesChanged", "si",
                 json::array({redundancyIntf, 1}));
    setStatus("a", "i", 3);
    sim->setError(redundancyService, "Get", "org.freedesktop.DBus.Error.Failed",
                  "busy");
    setStatus("a", "s", failedState);
    bool refused = runUntil([&] { return sim->count("Get") == 1; });
    sim->setError(redundancyService, "Get", "", "");
    setStatus("b", "s", failedState);
    bool seen = runUntil([&] { return r.getFailedSet().contains(fan1); });
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(refused);
    ASSERT_TRUE(seen);
    EXPECT_EQ(r.getFailedSet(), set({fan1}));
    const std::string a = std::string(redundancyRoot) + "a";
    EXPECT_THAT(err, ::testing::StartsWith(
                         "DbusPassiveRedundancy: ignoring unreadable signal "
                         "of " +
                         a + ": "));
    EXPECT_THAT(err, ::testing::EndsWith(
                         "\nDbusPassiveRedundancy: ignoring signal of " + a +
                         ": Status is not a string\n"
                         "Error reading match data: sd_bus_call: "
                         "org.freedesktop.DBus.Error.Failed: busy\n"));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
}

TEST_F(RedundancyOnBus, SenderThatNeverAnswersHoldsTheLoopBriefly)
{
    start({redundancyObject(redundancyRoot + std::string("a"), {"s", fullState},
                            {"as", {fan0}})});
    DbusPassiveRedundancy r(conn->bus());

    // A timer ticking on the loop shows how long the loop was held.
    boost::asio::steady_timer tick(io);
    auto due = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration late{};
    int ticks = 0;
    std::function<void()> arm = [&] {
        due += 100ms;
        tick.expires_at(due);
        tick.async_wait([&](const boost::system::error_code& ec) {
            if (!ec)
            {
                late = std::max(late, std::chrono::steady_clock::now() - due);
                ++ticks;
                arm();
            }
        });
    };
    arm();

    sim->setDelay(redundancyService, 60000);
    testing::internal::CaptureStderr();
    setStatus("a", "s", failedState);
    int ticksAtGet = -1;
    bool ticked = runUntil([&] {
        if (ticksAtGet < 0 && sim->count("Get") == 1)
        {
            ticksAtGet = ticks;
        }
        return ticksAtGet >= 0 && ticks >= ticksAtGet + 2;
    });
    std::string err = testing::internal::GetCapturedStderr();
    tick.cancel();
    ASSERT_TRUE(ticked);
    EXPECT_LE(late, 3s);
    EXPECT_TRUE(r.getFailedSet().empty());
    EXPECT_THAT(err, HasSubstr("Error reading match data: sd_bus_call: "
                               "org.freedesktop.DBus.Error.Timeout"));
}

TEST_F(RedundancyOnBus, PopulationStopsAtFirstFailure)
{
    start({redundancyObject(redundancyRoot + std::string("a"),
                            {"s", failedState}, {"as", {fan0}})});
    sim->setError("xyz.openbmc_project.ObjectMapper", "GetSubTree",
                  "org.freedesktop.DBus.Error.Failed", "down");
    testing::internal::CaptureStderr();
    DbusPassiveRedundancy noMapper(conn->bus());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Populate Failures Mapper Error\n"
              "DbusPassiveRedundancy: sd_bus_call: "
              "org.freedesktop.DBus.Error.Failed: down\n");
    EXPECT_TRUE(noMapper.getFailedSet().empty());

    sim->setError("xyz.openbmc_project.ObjectMapper", "GetSubTree", "", "");
    sim->setError(redundancyService, "GetAll",
                  "org.freedesktop.DBus.Error.Failed", "down");
    testing::internal::CaptureStderr();
    DbusPassiveRedundancy noObject(conn->bus());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Populate Failures Mapper Error\n"
              "DbusPassiveRedundancy: sd_bus_call: "
              "org.freedesktop.DBus.Error.Failed: down\n");
    EXPECT_TRUE(noObject.getFailedSet().empty());
}

TEST_F(RedundancyOnBus, ReaderNamedInTheSetIsFailed)
{
    start({redundancyObject(redundancyRoot + std::string("a"),
                            {"s", failedState}, {"as", {fan0}})});
    auto r = std::make_shared<DbusPassiveRedundancy>(conn->bus());
    auto reader = createDbusPassive(
        conn->bus(), "fan", "FAN0",
        std::make_unique<DbusHelper>(sdbus::Bus::newSystem()),
        {.type = "fan", .readPath = "", .skipDbusMinMax = true}, r);
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(reader->isFailed());
    setStatus("a", "s", fullState);
    ASSERT_TRUE(runUntil([&] { return !reader->isFailed(); }));
}

} // namespace
} // namespace bmcmon::test
