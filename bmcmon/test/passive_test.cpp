// The passive reader's creation and state rules, with a fake helper and
// signals built here.

#include "bmcmon/dbus_passive.hpp"
#include "mock_dbus_helper.hpp"
#include "sim_fragments.hpp"
#include "test_message.hpp"

#include <cmath>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using ::testing::_;
using ::testing::Return;
using ::testing::SetArgReferee;
using ::testing::StrictMock;
using ::testing::Throw;

constexpr const char* fan0 = "/xyz/openbmc_project/sensors/fan_tach/FAN0";

SensorValueProperties sensor(double value, int64_t scale = 0, double min = 0,
                             double max = 0)
{
    return {.scale = scale, .value = value, .min = min, .max = max, .unit = ""};
}

class CreateDbusPassive : public ::testing::Test
{
  protected:
    /** A helper that finds the sensor and reads `props` and `alarm`. */
    std::unique_ptr<MockDbusHelper> helperFor(const SensorValueProperties& p,
                                              bool alarm = false)
    {
        auto h = std::make_unique<StrictMock<MockDbusHelper>>();
        EXPECT_CALL(*h, lookupService("xyz.openbmc_project.Sensor.Value", fan0))
            .WillOnce(Return("svc"));
        EXPECT_CALL(*h, readSensorValue("svc", fan0, _))
            .WillOnce(SetArgReferee<2>(p));
        EXPECT_CALL(*h, readCriticalAlarms("svc", fan0))
            .WillOnce(Return(alarm));
        return h;
    }

    std::unique_ptr<ReadInterface>
        create(std::unique_ptr<DbusHelperInterface>&& h,
               const std::string& type = "fan", bool skipMinMax = false)
    {
        return createDbusPassive(
            bus, type, "FAN0", std::move(h),
            {.type = type, .readPath = "", .skipDbusMinMax = skipMinMax},
            nullptr);
    }

    sdbus::Bus bus = sdbus::Bus::newSystem();
};

TEST_F(CreateDbusPassive, RefusesMissingHelperAndInvalidType)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(create(nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "createDbusPassive: helper=null\n");

    std::unique_ptr<DbusHelperInterface> h =
        std::make_unique<StrictMock<MockDbusHelper>>();
    testing::internal::CaptureStderr();
    EXPECT_EQ(create(std::move(h), "powercap"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "createDbusPassive: invalid type\n");
    EXPECT_NE(h, nullptr) << "the helper stays with the caller";
}

TEST_F(CreateDbusPassive, FailedReadLeavesHelperWithCaller)
{
    auto mock = std::make_unique<StrictMock<MockDbusHelper>>();
    EXPECT_CALL(*mock, lookupService(_, fan0))
        .WillOnce(Throw(
            std::runtime_error(std::string("Unable to find Object: ") + fan0)));
    std::unique_ptr<DbusHelperInterface> h = std::move(mock);
    testing::internal::CaptureStderr();
    EXPECT_EQ(create(std::move(h)), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("createDbusPassive: exception: Unable to find "
                          "Object: ") +
                  fan0 + "\n");
    EXPECT_NE(h, nullptr);

    auto bad = std::make_unique<StrictMock<MockDbusHelper>>();
    EXPECT_CALL(*bad, lookupService(_, _)).WillOnce(Return("svc"));
    EXPECT_CALL(*bad, readSensorValue(_, _, _))
        .WillOnce(Throw(std::invalid_argument("Cannot translate type to "
                                              "double")));
    testing::internal::CaptureStderr();
    EXPECT_EQ(create(std::move(bad)), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "createDbusPassive: exception: Cannot translate type to "
              "double\n");
}

TEST_F(CreateDbusPassive, ScaleAndRange)
{
    auto milli = create(helperFor(sensor(12500, -3, 0, 0)));
    ASSERT_NE(milli, nullptr);
    EXPECT_DOUBLE_EQ(milli->read().value, 12.5);
    EXPECT_NE(milli->read().updated.time_since_epoch().count(), 0);

    auto ranged = create(helperFor(sensor(250, 0, 0, 1000)));
    EXPECT_DOUBLE_EQ(ranged->read().value, 0.25);

    auto raw = create(helperFor(sensor(250, 0, 0, 1000)), "fan", true);
    EXPECT_DOUBLE_EQ(raw->read().value, 250);

    // The range is scaled as the value is: 1500 of [1000, 2000] x 10^-3.
    auto both = create(helperFor(sensor(1500, -3, 1000, 2000)));
    EXPECT_DOUBLE_EQ(both->read().value, 0.5);
}

TEST_F(CreateDbusPassive, AlarmAtCreationFailsTheReader)
{
    auto alarmed = create(helperFor(sensor(3000), true));
    ASSERT_NE(alarmed, nullptr);
    EXPECT_TRUE(alarmed->isFailed());
    auto fine = create(helperFor(sensor(3000), false));
    EXPECT_FALSE(fine->isFailed());
}

TEST_F(CreateDbusPassive, BadValueAtCreationIsStoredButFailed)
{
    auto nan = create(helperFor(sensor(std::nan(""))));
    EXPECT_TRUE(std::isnan(nan->read().value));
    EXPECT_TRUE(nan->isFailed());
}

class PassiveState : public ::testing::Test
{
  protected:
    std::unique_ptr<DbusPassive> make(const std::string& type, double value,
                                      bool alarm = false)
    {
        return std::make_unique<DbusPassive>(
            bus, type, "FAN0", std::make_unique<MockDbusHelper>(),
            sensor(value), alarm, fan0, nullptr);
    }

    sdbus::Bus bus = sdbus::Bus::newSystem();
};

TEST_F(PassiveState, MarginFailsAtZeroOrBelow)
{
    auto margin = make("margin", 5);
    EXPECT_FALSE(margin->isFailed());
    margin->updateValue(0, false);
    EXPECT_TRUE(margin->isFailed());
    margin->updateValue(-2, false);
    EXPECT_TRUE(margin->isFailed());
    margin->updateValue(0.5, false);
    EXPECT_FALSE(margin->isFailed());

    auto temp = make("temp", 5);
    temp->updateValue(0, false);
    EXPECT_FALSE(temp->isFailed());
    EXPECT_EQ(temp->getValue(), 0);
}

TEST_F(PassiveState, NonFiniteValueIsNotStored)
{
    auto p = make("temp", 40);
    SensorReading before = p->read();
    p->updateValue(std::nan(""), false);
    EXPECT_EQ(p->read().value, 40);
    EXPECT_EQ(p->read().updated, before.updated);
    EXPECT_TRUE(p->isFailed());
    p->updateValue(std::numeric_limits<double>::infinity(), false);
    EXPECT_TRUE(p->isFailed());
    p->updateValue(41, false);
    EXPECT_EQ(p->getValue(), 41);
    EXPECT_FALSE(p->isFailed());
}

TEST_F(PassiveState, ValueSignals)
{
    auto p = make("fan", 1000);
    auto b = propertiesChanged(
        bus, fan0, std::string(valueIntf),
        std::map<std::string, std::variant<bool>>{{"Value", true}},
        std::vector<std::string>{});
    p->handleSensorSignal(b);
    EXPECT_EQ(p->getValue(), 1) << "a boolean value counts as 0 or 1";

    // Another interface of the object changes nothing.
    auto other = propertiesChanged(
        bus, fan0, std::string("xyz.openbmc_project.Other"),
        std::map<std::string, std::variant<double>>{{"Value", 7.0}},
        std::vector<std::string>{});
    p->handleSensorSignal(other);
    EXPECT_EQ(p->getValue(), 1);
}

TEST_F(PassiveState, AlarmSignals)
{
    auto p = make("fan", 3000);
    using Alarms = std::map<std::string, std::variant<bool>>;
    auto low = propertiesChanged(bus, fan0, std::string(criticalIntf),
                                 Alarms{{"CriticalAlarmLow", true}},
                                 std::vector<std::string>{});
    p->handleSensorSignal(low);
    EXPECT_TRUE(p->isFailed());

    // Only the high alarm, false: the flag is cleared all the same.
    auto high = propertiesChanged(bus, fan0, std::string(criticalIntf),
                                  Alarms{{"CriticalAlarmHigh", false}},
                                  std::vector<std::string>{});
    p->handleSensorSignal(high);
    EXPECT_FALSE(p->isFailed());

    auto neither = propertiesChanged(bus, fan0, std::string(criticalIntf),
                                     Alarms{{"WarningAlarmLow", true}},
                                     std::vector<std::string>{});
    p->setFailed(true);
    p->handleSensorSignal(neither);
    EXPECT_TRUE(p->isFailed());
}

TEST_F(PassiveState, UnreadableBodyIsIgnored)
{
    auto p = make("fan", 3000);
    for (auto& m : {propertiesChanged(bus, fan0, std::string(valueIntf)),
                    propertiesChanged(bus, fan0, int32_t{5}),
                    propertiesChanged(bus, fan0, std::string(valueIntf),
                                      std::vector<std::string>{"Value"})})
    {
        sdbus::Message msg = m;
        testing::internal::CaptureStderr();
        p->handleSensorSignal(msg);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_THAT(err, ::testing::StartsWith(
                             std::string("DbusPassive: ignoring unreadable "
                                         "signal of ") +
                             fan0 + ": "));
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    }
    EXPECT_EQ(p->getValue(), 3000);
    EXPECT_FALSE(p->isFailed());
}

TEST_F(PassiveState, MatchThatCannotBeAddedStillGivesAReader)
{
    testing::internal::CaptureStderr();
    DbusPassive p(bus, "fan", "it's", std::make_unique<MockDbusHelper>(),
                  sensor(3000), false, "/bad", nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err,
                ::testing::StartsWith(
                    "DbusPassive: no signals will be followed for /bad: "));
    EXPECT_EQ(p.getValue(), 3000);
}

} // namespace
} // namespace bmcmon::test
