// The tachometer reader: its factory, the failed flag of a reading, the
// notifications of a flip, and the signals it takes from the bus.

#include "fan_dbus_passive.hpp"
#include "test_support.hpp"

#include <cmath>
#include <limits>

namespace bmcmon::test
{
namespace
{

using testing::_;
using testing::NiceMock;
using testing::Return;

class Subscriber : public ManagerSubscriber
{
  public:
    MOCK_METHOD(void, notifyStateChanged, (uint32_t), (override));
};

constexpr const char* valueIntf = "xyz.openbmc_project.Sensor.Value";
constexpr const char* criticalIntf =
    "xyz.openbmc_project.Sensor.Threshold.Critical";

class FanReader : public testing::Test
{
  protected:
    /** A reader of fan `id` whose sensor publishes these values. */
    std::unique_ptr<FanDbusPassive> make(uint32_t id, double value,
                                         int64_t scale = 0, bool alarm = false)
    {
        platform.sensors[fanPath(id)] = sensorValue(value, scale);
        platform.alarms[fanPath(id)] = alarm;
        auto reader = createFanDbusPassive(
            loop.bus(), "fan", "FAN" + std::to_string(id), id,
            platform.factory()(),
            {.type = "fan", .readPath = fanPath(id), .skipDbusMinMax = true},
            &subscriber);
        return std::unique_ptr<FanDbusPassive>(
            static_cast<FanDbusPassive*>(reader.release()));
    }

    FakePlatform platform;
    BusLoop loop;
    NiceMock<Subscriber> subscriber;
    StderrCapture err;
};

TEST_F(FanReader, FactoryRefusesWhatItCannotRead)
{
    PassiveSensorConfig config{
        .type = "fan", .readPath = fanPath(0), .skipDbusMinMax = true};
    EXPECT_EQ(createFanDbusPassive(loop.bus(), "fan", "FAN0", 0, nullptr,
                                   config, &subscriber),
              nullptr);
    EXPECT_EQ(err.text(), "createFanDbusPassive: helper=null\n");

    err.clear();
    EXPECT_EQ(createFanDbusPassive(loop.bus(), "Fan", "FAN0", 0,
                                   platform.factory()(), config, &subscriber),
              nullptr);
    EXPECT_EQ(err.text(), "createFanDbusPassive: invalid type\n");

    err.clear();
    platform.absent.insert(fanPath(4));
    EXPECT_CALL(subscriber, notifyStateChanged(_)).Times(0);
    EXPECT_EQ(createFanDbusPassive(loop.bus(), "fan", "FAN4", 4,
                                   platform.factory()(), config, &subscriber),
              nullptr);
    EXPECT_EQ(err.text(), "createFanDbusPassive: exception: Unable to find "
                          "Object: " +
                              fanPath(4) + "\n");
}

TEST_F(FanReader, ConstructionNotifiesOnceMoreAfterTheFirstValue)
{
    // A stopped fan: the first value flips the flag (one notification and a
    // line), and construction then notifies once more.
    EXPECT_CALL(subscriber, notifyStateChanged(3)).Times(2);
    auto stopped = make(3, 0.0);
    EXPECT_TRUE(stopped->isFailed());
    EXPECT_EQ(err.text(), "Fan state changed. id: 3, value: 0 -> 0\n");

    testing::Mock::VerifyAndClearExpectations(&subscriber);
    err.clear();
    EXPECT_CALL(subscriber, notifyStateChanged(1)).Times(1);
    auto running = make(1, 4200.0);
    EXPECT_FALSE(running->isFailed());
    EXPECT_EQ(running->read().value, 4200.0);
    EXPECT_EQ(err.text(), "");
}

TEST_F(FanReader, ReadingsBelowOneAreFailed)
{
    auto reader = make(2, 1500.0);
    EXPECT_CALL(subscriber, notifyStateChanged(2)).Times(1);
    reader->updateFanValue(0.0, false);
    EXPECT_TRUE(reader->isFailed());
    EXPECT_EQ(err.text(), "Fan state changed. id: 2, value: 1500 -> 0\n");

    reader->updateFanValue(0.5, false);
    EXPECT_TRUE(reader->isFailed());
    EXPECT_CALL(subscriber, notifyStateChanged(2)).Times(1);
    reader->updateFanValue(1.0, false);
    EXPECT_FALSE(reader->isFailed());

    // No flip: no notification, no line.
    err.clear();
    EXPECT_CALL(subscriber, notifyStateChanged(_)).Times(0);
    reader->updateFanValue(2000.0, false);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(reader->read().value, 2000.0);
}

TEST_F(FanReader, ScaleAppliesBeforeTheComparison)
{
    auto reader = make(0, 3000.0, -3);
    EXPECT_EQ(reader->read().value, 3.0);
    EXPECT_FALSE(reader->isFailed());
    reader->updateFanValue(900.0, false);
    EXPECT_DOUBLE_EQ(reader->read().value, 0.9);
    EXPECT_TRUE(reader->isFailed());
}

TEST_F(FanReader, NonFiniteValues)
{
    // Stored at construction, and not failed (NaN compares false).
    auto atStart = make(5, std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(std::isnan(atStart->read().value));
    EXPECT_FALSE(atStart->isFailed());

    // Ignored afterwards.
    auto reader = make(6, 2500.0);
    const auto stamped = reader->read().updated;
    reader->updateFanValue(std::numeric_limits<double>::quiet_NaN(), false);
    reader->updateFanValue(-std::numeric_limits<double>::infinity(), false);
    EXPECT_EQ(reader->read().value, 2500.0);
    EXPECT_EQ(reader->read().updated, stamped);
    EXPECT_FALSE(reader->isFailed());
}

TEST_F(FanReader, SignalsFromTheBus)
{
    auto reader = make(2, 1500.0);
    sdbus::Bus sender = serviceConnection();

    EXPECT_CALL(subscriber, notifyStateChanged(2)).Times(1);
    emitChanged(sender, fanPath(2), valueIntf, changed("Value", 0.0));
    ASSERT_TRUE(loop.runUntil([&] { return reader->isFailed(); }));
    testing::Mock::VerifyAndClearExpectations(&subscriber);

    // Integers are numbers too.
    emitChanged(sender, fanPath(2), valueIntf, changed("Value", int32_t{1800}));
    ASSERT_TRUE(loop.runUntil([&] { return reader->read().value == 1800; }));
    EXPECT_FALSE(reader->isFailed());

    // Another object's signal does not reach this reader.
    emitChanged(sender, fanPath(3), valueIntf, changed("Value", 0.0));
    emitChanged(sender, fanPath(2), valueIntf, changed("Value", 1900.0));
    ASSERT_TRUE(loop.runUntil([&] { return reader->read().value == 1900; }));
    EXPECT_FALSE(reader->isFailed());
}

TEST_F(FanReader, CriticalAlarmSetsTheFlagSilently)
{
    auto reader = make(1, 1500.0);
    sdbus::Bus sender = serviceConnection();

    EXPECT_CALL(subscriber, notifyStateChanged(_)).Times(0);
    emitChanged(sender, fanPath(1), criticalIntf,
                changed("CriticalAlarmHigh", true));
    ASSERT_TRUE(loop.runUntil([&] { return reader->isFailed(); }));
    EXPECT_EQ(err.text(), "");
    testing::Mock::VerifyAndClearExpectations(&subscriber);

    // The next reading decides again, and that flip is told.
    EXPECT_CALL(subscriber, notifyStateChanged(1)).Times(1);
    emitChanged(sender, fanPath(1), valueIntf, changed("Value", 3000.0));
    ASSERT_TRUE(loop.runUntil([&] { return !reader->isFailed(); }));
    EXPECT_EQ(err.text(), "Fan state changed. id: 1, value: 1500 -> 3000\n");

    // Only the alarms carried count: low false alone clears a high alarm.
    emitChanged(sender, fanPath(1), criticalIntf,
                changed("CriticalAlarmHigh", true));
    ASSERT_TRUE(loop.runUntil([&] { return reader->isFailed(); }));
    emitChanged(sender, fanPath(1), criticalIntf,
                changed("CriticalAlarmLow", false));
    ASSERT_TRUE(loop.runUntil([&] { return !reader->isFailed(); }));
}

TEST_F(FanReader, AChangeDuringTheFirstReadIsKept)
{
    // The fan stops while its first read is under way: the read answers
    // the old value, the change signal reaches the bus before the reply.
    sdbus::Bus sender = serviceConnection();
    platform.onRead = [&](const std::string& path) {
        emitChanged(sender, path, valueIntf, changed("Value", 0.0));
        sender.callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                          "org.freedesktop.DBus", "GetId");
    };
    auto reader = make(4, 3000.0);
    EXPECT_EQ(reader->read().value, 3000);
    EXPECT_TRUE(loop.runUntil([&] { return reader->isFailed(); }));
}

TEST_F(FanReader, UnusableSignalsAreIgnored)
{
    auto reader = make(0, 1500.0);
    sdbus::Bus sender = serviceConnection();
    EXPECT_CALL(subscriber, notifyStateChanged(_)).Times(0);

    // A text value is no reading (it must not count as a stopped fan), an
    // alarm that is no boolean is no alarm, a body that is no property map
    // is dropped; each is reported. The last signal marks the end.
    emitChanged(sender, fanPath(0), valueIntf,
                changed("Value", std::string("fast")));
    emitChanged(sender, fanPath(0), criticalIntf,
                changed("CriticalAlarmLow", int32_t{1}));
    emitChanged(sender, fanPath(0), valueIntf,
                [](sdbus::Message& m) { m.append(int32_t{7}); });
    emitChanged(sender, fanPath(0), valueIntf, changed("Value", double{NAN}));
    emitChanged(sender, fanPath(0), "xyz.openbmc_project.Other",
                changed("Value", 0.0));
    emitChanged(sender, fanPath(0), valueIntf, changed("Value", 1600.0));
    ASSERT_TRUE(loop.runUntil([&] { return reader->read().value == 1600; }));

    EXPECT_FALSE(reader->isFailed());
    EXPECT_TRUE(err.has("FanDbusPassive: ignoring Value of " + fanPath(0) +
                        ": unexpected type s"));
    EXPECT_TRUE(err.has("FanDbusPassive: ignoring CriticalAlarmLow of " +
                        fanPath(0) + ": unexpected type i"));
    EXPECT_TRUE(
        err.has("FanDbusPassive: ignoring unreadable signal of " + fanPath(0)));
}

} // namespace
} // namespace bmcmon::test
