// The alarm threshold, its file, and the over-threshold report through a
// recording log-util.

#include "stats_fixture.hpp"
#include "testkit/stubs.hpp"

#include <cstdlib>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class AlarmTest : public StatsTest
{
  protected:
    void SetUp() override
    {
        stubs.add("log-util");
        const char* old = std::getenv("PATH");
        savedPath = old != nullptr ? old : "";
        setenv("PATH", (stubs.path() + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("PATH", savedPath.c_str(), 1);
    }

    std::size_t reports()
    {
        return stubs.calls("log-util").size();
    }

    testkit::CommandStubs stubs;
    std::string savedPath;
};

TEST_F(AlarmTest, ReachingTheThresholdReportsInWholeWatts)
{
    auto s = start();
    ASSERT_TRUE(s->setAlarmThreshold(100));

    s->checkAlarmThreshold(1000, 99999);
    EXPECT_FALSE(s->alarmRaised());
    s->checkAlarmThreshold(1001, 100999);
    EXPECT_TRUE(s->alarmRaised());
    EXPECT_THAT(
        stubs.calls("log-util"),
        ElementsAre(ElementsAre(
            "PRIORITY=4", "REDFISH_MESSAGE_ID=OpenBMC.0.1.PowerOverThreshold",
            "REDFISH_MESSAGE_ARGS=100,100",
            "MESSAGE=Power consumption exceeded threshold. Power: 100, "
            "Threshold: 100.")));
    s->checkAlarmThreshold(1002, 99999);
    EXPECT_FALSE(s->alarmRaised());
}

TEST_F(AlarmTest, OneReportPerCrossingAndAtMostOnePerRearmPeriod)
{
    auto s = start();
    ASSERT_TRUE(s->setAlarmThreshold(100));
    s->checkAlarmThreshold(1000, 150000);
    s->checkAlarmThreshold(1005, 150000);
    s->checkAlarmThreshold(1010, 50000);
    s->checkAlarmThreshold(1020, 150000);
    EXPECT_EQ(reports(), 1U);
    // Marked raised without a report: not reported later either.
    EXPECT_TRUE(s->alarmRaised());
    s->checkAlarmThreshold(1400, 150000);
    EXPECT_EQ(reports(), 1U);

    s->checkAlarmThreshold(1401, 0);
    s->checkAlarmThreshold(1402, 200000);
    EXPECT_EQ(reports(), 2U);
    EXPECT_EQ(stubs.calls("log-util")[1][2], "REDFISH_MESSAGE_ARGS=200,100");
}

TEST_F(AlarmTest, ZeroOrNegativeThresholdIsOff)
{
    auto s = start();
    s->checkAlarmThreshold(1000, 0);
    ASSERT_TRUE(s->setAlarmThreshold(-5));
    EXPECT_EQ(s->getAlarmThreshold(), -5);
    s->checkAlarmThreshold(1001, 100);
    EXPECT_FALSE(s->alarmRaised());
    EXPECT_EQ(reports(), 0U);
}

TEST_F(AlarmTest, NewThresholdLeavesTheRaisedAlarmToTheNextSample)
{
    auto s = start();
    ASSERT_TRUE(s->setAlarmThreshold(100));
    s->checkAlarmThreshold(1000, 150000);
    ASSERT_TRUE(s->setAlarmThreshold(200));
    EXPECT_TRUE(s->alarmRaised());
    EXPECT_EQ(reports(), 1U);
    s->checkAlarmThreshold(1001, 150000);
    EXPECT_FALSE(s->alarmRaised());
}

TEST_F(AlarmTest, FailingCommandIsReportedAndCountsAsMade)
{
    stubs.setStatus("log-util", 1);
    auto s = start();
    ASSERT_TRUE(s->setAlarmThreshold(100));
    testing::internal::CaptureStderr();
    s->checkAlarmThreshold(1000, 150000);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Failed to exec. Return code: 256, cmd: "
                               "log-util PRIORITY=4 "));
    s->checkAlarmThreshold(1001, 0);
    s->checkAlarmThreshold(1002, 150000);
    EXPECT_EQ(reports(), 1U);
}

TEST_F(AlarmTest, SamplesAreCheckedBeforeTheyAreFolded)
{
    auto s = start();
    ASSERT_TRUE(s->setAlarmThreshold(100));
    double watts = 120.5;
    s->setReader(std::make_unique<FakeReader>(&watts));
    s->takeSample();
    EXPECT_EQ(reports(), 1U);
    EXPECT_EQ(s->sampleWindow().sum, 120500);
}

TEST_F(AlarmTest, WallClockSteppedBackDoesNotSilenceReports)
{
    auto s = start();
    int64_t steady = 5000;
    s->setSteadyClock([&steady] { return steady; });
    ASSERT_TRUE(s->setAlarmThreshold(100));
    double watts = 150.0;
    s->setReader(std::make_unique<FakeReader>(&watts));
    s->takeSample();
    ASSERT_EQ(reports(), 1U);

    // The wall clock goes back a day; the re-arm period still ends 300 s
    // after the report.
    now -= 86400;
    watts = 50.0;
    steady += 10;
    s->takeSample();
    watts = 150.0;
    steady += 290;
    s->takeSample();
    EXPECT_EQ(reports(), 2U);
}

TEST_F(AlarmTest, ThresholdIsStoredAndReadBack)
{
    auto s = start();
    testing::internal::CaptureStderr();
    ASSERT_TRUE(s->setAlarmThreshold(350));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Config file has been updated.\n");
    EXPECT_EQ(s->getAlarmThreshold(), 350);
    EXPECT_EQ(readFile(configPath()), "{\n    \"AlarmThreshold\": 350000\n}");
    EXPECT_FALSE(std::filesystem::exists(configPath() + ".tmp"));

    auto again = start();
    EXPECT_EQ(again->getAlarmThreshold(), 350);
}

TEST_F(AlarmTest, ThresholdOutOfRangeIsRefused)
{
    auto s = start();
    ASSERT_TRUE(s->setAlarmThreshold(350));
    EXPECT_FALSE(s->setAlarmThreshold(2147484));
    EXPECT_FALSE(s->setAlarmThreshold(-2147484));
    EXPECT_TRUE(s->setAlarmThreshold(2147483));
    EXPECT_EQ(readFile(configPath()),
              "{\n    \"AlarmThreshold\": 2147483000\n}");
}

TEST_F(AlarmTest, ThresholdThatCannotBeStoredIsNotTaken)
{
    auto s = start();
    ASSERT_TRUE(s->setAlarmThreshold(350));
    std::filesystem::create_directory(configPath() + ".tmp");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(s->setAlarmThreshold(100));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Failed to update config file"));
    EXPECT_THAT(err, Not(HasSubstr("has been updated")));
    EXPECT_EQ(s->getAlarmThreshold(), 350);
    EXPECT_EQ(readFile(configPath()), "{\n    \"AlarmThreshold\": 350000\n}");
}

struct ConfigCase
{
    std::string text;
    int32_t watts;
    std::string message;
};

class ConfigFileTest :
    public StatsTest,
    public ::testing::WithParamInterface<ConfigCase>
{};

TEST_P(ConfigFileTest, ReadsThresholdOrStartsWithTheAlarmOff)
{
    writeFile(configPath(), GetParam().text);
    testing::internal::CaptureStderr();
    auto s = start();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s->getAlarmThreshold(), GetParam().watts);
    if (GetParam().message.empty())
    {
        EXPECT_EQ(err, "");
    }
    else
    {
        EXPECT_THAT(err, HasSubstr(GetParam().message));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ConfigFileTest,
    ::testing::Values(
        ConfigCase{"{\"AlarmThreshold\": 250000}", 250, ""},
        ConfigCase{"{\"AlarmThreshold\": 250999.9}", 250, ""},
        ConfigCase{"{\"AlarmThreshold\": true, \"Other\": 1}", 0, ""},
        ConfigCase{"{\"AlarmThreshold\": -4000}", -4, ""},
        ConfigCase{"{\"AlarmThreshold\": 2", 0, "Invalid json - parse failed"},
        ConfigCase{"", 0, "Invalid json - parse failed"}));

TEST_F(StatsTest, ThresholdThatIsNoInt32FailsTheStart)
{
    for (const char* text :
         {"{}", "{\"AlarmThreshold\": \"350\"}", "{\"AlarmThreshold\": 1e20}",
          "{\"AlarmThreshold\": 2147483648}",
          "{\"AlarmThreshold\": -2147483649}", "[1, 2]", "null"})
    {
        writeFile(configPath(), text);
        PowerStatistics s(nullptr, nullptr);
        EXPECT_THROW(s.initStatistics(dir.path().string()), std::exception)
            << text;
        EXPECT_EQ(s.getAlarmThreshold(), 0) << text;
    }
}

} // namespace
} // namespace bmcmon::test
