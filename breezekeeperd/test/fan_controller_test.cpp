// The mode controller and the fan health flag: one monitor step at a time,
// on a clock moved by hand, with the query helpers mocked, systemctl a
// recording stand-in and the full-speed script written at its path.

#include "bmcmon/dbus_passive.hpp"
#include "fan_controller.hpp"
#include "fan_dbus_passive.hpp"
#include "fan_mode.hpp"
#include "test_support.hpp"
#include "testkit/stubs.hpp"
#include "testkit/tempdir.hpp"

#include <sys/stat.h>

#include <stdexcept>

namespace bmcmon::test
{
namespace
{

namespace fs = std::filesystem;
using testing::_;
using testing::DoAll;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::NiceMock;
using testing::Return;
using testing::SetArgReferee;

using Calls = std::vector<std::vector<std::string>>;
const std::vector<std::string> restart = {"restart", "fan-speed-control"};
const std::vector<std::string> stop = {"stop", "fan-speed-control"};

class FanControllerTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        fs::remove_all("/var/inventory");
        fs::create_directories("/usr/share/breezekeeper");
        fs::remove(FanManager::powerCapFlagFile);
        fs::remove(FanController::customTableFile);
        stubs.add("systemctl");
        writeFanScript(scriptRuns, 0);
        for (uint32_t id = 0; id < 4; ++id)
        {
            platform.fan(id, 3000.0);
        }
        platform.sensors[totalPowerPath] = sensorValue(300.0);
        // The flag reads good unless a test says otherwise.
        ON_CALL(*health, readHealth(_, _, _))
            .WillByDefault(SetArgReferee<2>(HealthCode::good));
    }

    /** The controller, made and set up as the daemon does. */
    FanController& start(std::vector<uint32_t> fans = {0, 1, 2, 3})
    {
        controller = std::make_unique<FanController>(
            loop.bus(), std::move(ownHelper), platform.factory(), clock.clock(),
            events);
        controller->initFanController();
        controller->assignFanIds(std::move(fans));
        return *controller;
    }

    /** Passes every 3 s until the grace period is over. */
    void pastGrace()
    {
        for (int i = 0; i < 11; ++i)
        {
            controller->evaluateFanMode();
            clock.advance(3s);
        }
    }

    FanDbusPassive& fan(uint32_t id)
    {
        return static_cast<FanDbusPassive&>(
            *controller->getFanManager().getReaders().at(id));
    }

    void setPower(double watts)
    {
        dynamic_cast<DbusPassive&>(
            *controller->getPowerLimitCheck().getTotalPowerReader())
            .setValue(watts);
    }

    Calls systemctl()
    {
        return stubs.calls("systemctl");
    }

    std::size_t scriptRunCount()
    {
        return readFile(scriptRuns).size() / 4; // "ran\n" per run
    }

    testkit::CommandStubs stubs;
    PathPrepend onPath{stubs.path()};
    testkit::TempDir dir;
    fs::path scriptRuns = dir / "runs";
    FakePlatform platform;
    FakeClock clock;
    BusLoop loop;
    std::shared_ptr<NiceMock<MockEvents>> events =
        std::make_shared<NiceMock<MockEvents>>();
    std::unique_ptr<NiceMock<MockDbusHelper>> ownHelper =
        std::make_unique<NiceMock<MockDbusHelper>>();
    NiceMock<MockDbusHelper>* health = ownHelper.get();
    StderrCapture err;
    std::unique_ptr<FanController> controller;
};

TEST_F(FanControllerTest, NoHealthOrModeDecisionDuringGrace)
{
    platform.fan(1, 0.0);
    EXPECT_CALL(*health, readHealth(_, _, _)).Times(0);
    EXPECT_CALL(*health, writeHealth(_, _, _)).Times(0);
    const SteadyPoint started = clock.steadyNow;
    start();
    for (int i = 0; i < 10; ++i) // up to 27 s
    {
        controller->evaluateFanMode();
        clock.advance(3s);
    }
    clock.advance(started + 29999ms - clock.steadyNow);
    controller->evaluateFanMode();
    EXPECT_THAT(systemctl(), IsEmpty());
    EXPECT_FALSE(fs::exists(FanManager::powerCapFlagFile));
    EXPECT_EQ(controller->getFanMode(), 0);
    // Confirmations run all the same.
    EXPECT_TRUE(err.has("Fan is added to be confirmed. id: 1, recordFailed: "
                        "0, currentFailed: 1"));
}

TEST_F(FanControllerTest, GraceCountsFromSetUp)
{
    controller = std::make_unique<FanController>(
        loop.bus(), std::move(ownHelper), platform.factory(), clock.clock(),
        events);
    clock.advance(20s);
    controller->initFanController();
    controller->assignFanIds({0});
    clock.advance(29s);
    EXPECT_CALL(*health, readHealth(_, _, _)).Times(0);
    controller->evaluateFanMode();
    testing::Mock::VerifyAndClearExpectations(health);

    clock.advance(1s);
    EXPECT_CALL(*health, readHealth(_, _, _)).Times(1);
    controller->evaluateFanMode();
    EXPECT_THAT(systemctl(), ElementsAre(restart));
}

TEST_F(FanControllerTest, FirstDecisionAfterGrace)
{
    EXPECT_CALL(*health, readHealth(FanController::healthService,
                                    FanController::fanHealthPath, _))
        .Times(1);
    EXPECT_CALL(*health, writeHealth(_, _, _)).Times(0);
    start();
    pastGrace();
    EXPECT_EQ(controller->getHealthCode(), HealthCode::good);
    EXPECT_EQ(controller->getFanMode(), FanMode::lowNoise);
    EXPECT_TRUE(err.has("Fan mode is changed. Transfer Mode: Unknown -> "
                        "LowNoise\n"));
    EXPECT_THAT(systemctl(), ElementsAre(restart));
    EXPECT_EQ(readFile(FanManager::powerCapFlagFile), "false");
    EXPECT_EQ(scriptRunCount(), 0u);

    // Nothing changed: nothing more.
    err.clear();
    controller->evaluateFanMode();
    EXPECT_THAT(systemctl(), ElementsAre(restart));
    EXPECT_EQ(err.text(), "");
}

TEST_F(FanControllerTest, FlagFalseWithGoodFansIsWrittenTrue)
{
    EXPECT_CALL(*health, readHealth(_, _, _))
        .WillOnce(SetArgReferee<2>(HealthCode::fail))
        .WillOnce(SetArgReferee<2>(HealthCode::good));
    EXPECT_CALL(*health,
                writeHealth(FanController::healthService,
                            FanController::fanHealthPath, HealthCode::good));
    start();
    pastGrace();
    EXPECT_TRUE(err.has("Set fan health state. Health: fail -> health of 1\n"));
    EXPECT_EQ(controller->getHealthCode(), HealthCode::good);
}

TEST_F(FanControllerTest, AWriteThatDidNotTakeIsRepeated)
{
    // The health service keeps answering false: every pass writes again.
    ON_CALL(*health, readHealth(_, _, _))
        .WillByDefault(SetArgReferee<2>(HealthCode::fail));
    EXPECT_CALL(*health, writeHealth(_, _, HealthCode::good)).Times(2);
    start();
    pastGrace();
    controller->evaluateFanMode();
}

TEST_F(FanControllerTest, HealthServiceUnreachableHoldsUpNothing)
{
    // Every read of the flag fails: a stopped fan goes to full speed all
    // the same, and no write is tried before a read has answered.
    ON_CALL(*health, readHealth(_, _, _))
        .WillByDefault(testing::Throw(std::runtime_error("no vigilhub")));
    EXPECT_CALL(*health, writeHealth(_, _, _)).Times(0);
    platform.fan(1, 0.0);
    start();
    for (int i = 0; i < 21; ++i) // 63 s: confirmed and past grace
    {
        controller->evaluateFanMode();
        clock.advance(3s);
    }
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
    EXPECT_THAT(systemctl(), ElementsAre(restart, stop));
    EXPECT_EQ(scriptRunCount(), 1u);
    EXPECT_EQ(controller->getHealthCode(), HealthCode::unknown);
    testing::Mock::VerifyAndClearExpectations(health);

    // The service answers again: read, written and read back at once.
    EXPECT_CALL(*health, readHealth(_, _, _))
        .WillOnce(SetArgReferee<2>(HealthCode::good))
        .WillOnce(SetArgReferee<2>(HealthCode::fail));
    EXPECT_CALL(*health, writeHealth(_, _, HealthCode::fail));
    controller->evaluateFanMode();
    EXPECT_EQ(controller->getHealthCode(), HealthCode::fail);
}

TEST_F(FanControllerTest, BrokenAndBack)
{
    start();
    pastGrace();
    ASSERT_EQ(controller->getFanMode(), FanMode::lowNoise);

    // The host-state reader was made at the start: 60 s later fan changes
    // can be confirmed.
    clock.advance(30s);
    fan(2).updateFanValue(0.0, false);
    controller->evaluateFanMode();
    clock.advance(10s);
    EXPECT_CALL(*events, fanRemoved(2));
    EXPECT_CALL(*health, writeHealth(_, _, HealthCode::fail));
    EXPECT_CALL(*health, readHealth(_, _, _))
        .WillOnce(SetArgReferee<2>(HealthCode::fail));
    controller->evaluateFanMode();
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
    EXPECT_TRUE(err.has("Set fan health state. Health: good -> health of 0\n"
                        "Fan is failed. Transfer Mode: LowNoise -> Broken\n"));
    EXPECT_THAT(systemctl(), ElementsAre(restart, stop));
    EXPECT_EQ(scriptRunCount(), 1u);
    EXPECT_EQ(readFile(FanManager::powerCapFlagFile), "false");

    // Still broken: nothing more.
    controller->evaluateFanMode();
    EXPECT_EQ(scriptRunCount(), 1u);
    testing::Mock::VerifyAndClearExpectations(health);

    fan(2).updateFanValue(2800.0, false);
    controller->evaluateFanMode();
    clock.advance(10s);
    EXPECT_CALL(*events, fanInserted(2));
    EXPECT_CALL(*health, writeHealth(_, _, HealthCode::good));
    EXPECT_CALL(*health, readHealth(_, _, _))
        .WillOnce(SetArgReferee<2>(HealthCode::good));
    controller->evaluateFanMode();
    EXPECT_EQ(controller->getFanMode(), FanMode::lowNoise);
    EXPECT_TRUE(err.has("Fan mode is changed. Transfer Mode: Broken -> "
                        "LowNoise\n"));
    EXPECT_THAT(systemctl(), ElementsAre(restart, stop, restart));
}

TEST_F(FanControllerTest, FailingCommandsAreReportedAndTheModeTaken)
{
    platform.fan(0, 0.0);
    stubs.setStatus("systemctl", 1);
    writeFanScript(scriptRuns, 3);
    start();
    for (int i = 0; i < 21; ++i) // 63 s: confirmed and past grace
    {
        controller->evaluateFanMode();
        clock.advance(3s);
    }
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
    EXPECT_TRUE(err.has("Warning. Run script failed. Command: systemctl stop "
                        "fan-speed-control, Return: 256\n"
                        "Warning. Run script failed. Command: bash "
                        "/usr/bin/fan-max-speed.sh, Return: 768\n"));
    EXPECT_EQ(scriptRunCount(), 1u);
}

TEST_F(FanControllerTest, FlagFileThatCannotBeWrittenIsRetried)
{
    start();
    fs::remove_all("/usr/share/breezekeeper");
    pastGrace();
    EXPECT_EQ(controller->getFanMode(), 0);
    EXPECT_THAT(systemctl(), IsEmpty());
    EXPECT_EQ(err.count("Fan mode is changed. Transfer Mode: Unknown -> "
                        "LowNoise\nRun Fan System failed\n"),
              1u);

    controller->evaluateFanMode();
    EXPECT_EQ(err.count("Run Fan System failed\n"), 2u);

    fs::create_directories("/usr/share/breezekeeper");
    controller->evaluateFanMode();
    EXPECT_EQ(controller->getFanMode(), FanMode::lowNoise);
    EXPECT_THAT(systemctl(), ElementsAre(restart));
}

TEST_F(FanControllerTest, BrokenWithoutTheFlagFolderStillGoesToFullSpeed)
{
    platform.fan(0, 0.0);
    start();
    fs::remove_all("/usr/share/breezekeeper");
    for (int i = 0; i < 21; ++i) // 63 s: confirmed and past grace
    {
        controller->evaluateFanMode();
        clock.advance(3s);
    }
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
    EXPECT_THAT(systemctl(), ElementsAre(stop));
    EXPECT_EQ(scriptRunCount(), 1u);
    EXPECT_EQ(err.count("Warning. Write power cap flag failed. File: "
                        "/usr/share/breezekeeper/powercap, Error: No such "
                        "file or directory\n"),
              1u);
    fs::create_directories("/usr/share/breezekeeper");
}

TEST_F(FanControllerTest, MissingPowerReadersAreMadeLater)
{
    platform.absent = {totalPowerPath, powerCapPath};
    platform.sensors[totalPowerPath] = sensorValue(900.0);
    start();
    PowerLimitCheck& check = controller->getPowerLimitCheck();
    ASSERT_EQ(check.getTotalPowerReader(), nullptr);
    platform.absent.clear();
    controller->evaluateFanMode();
    EXPECT_EQ(check.getTotalPowerReader(), nullptr) << "tried again too soon";
    clock.advance(10s);
    controller->evaluateFanMode();
    EXPECT_NE(check.getTotalPowerReader(), nullptr);
    EXPECT_NE(check.getPowerCapReader(), nullptr);
    pastGrace();
    EXPECT_EQ(controller->getFanMode(), FanMode::powerLimit);
}

TEST_F(FanControllerTest, PowerLimitHysteresis)
{
    platform.powerCap = {.enabled = true, .cap = 1000};
    start();
    PowerLimitCheck& check = controller->getPowerLimitCheck();
    setPower(800.0);
    EXPECT_FALSE(check.inPowerLimitRange());
    setPower(801.9);
    EXPECT_TRUE(check.inPowerLimitRange());
    setPower(501.0);
    EXPECT_TRUE(check.inPowerLimitRange());
    setPower(500.9);
    EXPECT_FALSE(check.inPowerLimitRange());
    setPower(801.0);
    EXPECT_TRUE(check.inPowerLimitRange());

    // Disabled: never in range, and the state is dropped.
    check.getPowerCapReader()->setPowerCapEnable(false);
    setPower(5000.0);
    EXPECT_FALSE(check.inPowerLimitRange());
    check.getPowerCapReader()->setPowerCapEnable(true);
    setPower(700.0);
    EXPECT_FALSE(check.inPowerLimitRange());

    // A power that is no number is not in range.
    setPower(std::nan(""));
    EXPECT_FALSE(check.inPowerLimitRange());
}

TEST_F(FanControllerTest, PowerLimitWithHugeValues)
{
    platform.powerCap = {.enabled = true, .cap = 100'000'000};
    start();
    PowerLimitCheck& check = controller->getPowerLimitCheck();
    setPower(79'000'000.0);
    EXPECT_FALSE(check.inPowerLimitRange());
    setPower(80'000'001.0);
    EXPECT_TRUE(check.inPowerLimitRange());
    setPower(1e300);
    EXPECT_TRUE(check.inPowerLimitRange());
}

TEST_F(FanControllerTest, MissingPowerReadersMeanNoPowerLimit)
{
    platform.absent = {totalPowerPath};
    start();
    EXPECT_TRUE(err.has("createDbusPassive: exception: Unable to find Object: "
                        "/xyz/openbmc_project/sensors/power/total_power\n"));
    EXPECT_FALSE(controller->getPowerLimitCheck().inPowerLimitRange());
    pastGrace();
    EXPECT_EQ(controller->getFanMode(), FanMode::lowNoise);
}

TEST_F(FanControllerTest, PowerLimitModeAndItsEnd)
{
    platform.sensors[totalPowerPath] = sensorValue(900.0);
    start();
    pastGrace();
    EXPECT_EQ(controller->getFanMode(), FanMode::powerLimit);
    EXPECT_TRUE(err.has("In power Limit range. Transfer Mode: Unknown -> "
                        "PowerLimit\n"));
    EXPECT_EQ(readFile(FanManager::powerCapFlagFile), "true");
    EXPECT_THAT(systemctl(), ElementsAre(restart));

    controller->getPowerLimitCheck().getPowerCapReader()->setPowerCapEnable(
        false);
    controller->evaluateFanMode();
    EXPECT_EQ(controller->getFanMode(), FanMode::lowNoise);
    EXPECT_TRUE(err.has("Fan mode is changed. Transfer Mode: PowerLimit -> "
                        "LowNoise\n"));
    EXPECT_EQ(readFile(FanManager::powerCapFlagFile), "false");
    EXPECT_THAT(systemctl(), ElementsAre(restart, restart));
}

TEST_F(FanControllerTest, BrokenWinsOverPowerLimit)
{
    platform.fan(3, 0.0);
    platform.sensors[totalPowerPath] = sensorValue(900.0);
    start();
    // Power limit after the grace period, until the failure is confirmed.
    for (int i = 0; i < 21; ++i)
    {
        controller->evaluateFanMode();
        clock.advance(3s);
    }
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
    EXPECT_TRUE(err.has("In power Limit range. Transfer Mode: Unknown -> "
                        "PowerLimit\n"));
    EXPECT_TRUE(err.has("Fan is failed. Transfer Mode: PowerLimit -> "
                        "Broken\n"));

    // The test does not run while broken: its state stays as it was.
    setPower(0.0);
    controller->evaluateFanMode();
    EXPECT_TRUE(controller->getPowerLimitCheck().getInRange());
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
}

TEST_F(FanControllerTest, CustomModeFollowsTheTableFile)
{
    platform.thermalMode = FanMode::custom;
    start();
    pastGrace();
    // No table: no switch.
    EXPECT_EQ(controller->getFanMode(), 0);
    EXPECT_THAT(systemctl(), IsEmpty());

    writeFile(FanController::customTableFile, "table");
    struct timespec times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, FanController::customTableFile, times, 0), 0);
    controller->evaluateFanMode();
    EXPECT_EQ(controller->getFanMode(), FanMode::custom);
    EXPECT_EQ(controller->getCustomTime(), 1000);
    EXPECT_TRUE(err.has("Fan custom mode is changed. Transfer Mode: Unknown "
                        "-> Custom, Custom timestamp: -2147483648 -> 1000\n"));
    EXPECT_THAT(systemctl(), ElementsAre(restart));

    controller->evaluateFanMode();
    EXPECT_THAT(systemctl(), ElementsAre(restart));

    // A new table: applied again.
    times[0].tv_sec = times[1].tv_sec = 2000;
    ASSERT_EQ(utimensat(AT_FDCWD, FanController::customTableFile, times, 0), 0);
    controller->evaluateFanMode();
    EXPECT_TRUE(err.has("Fan custom mode is changed. Transfer Mode: Custom -> "
                        "Custom, Custom timestamp: 1000 -> 2000\n"));
    EXPECT_THAT(systemctl(), ElementsAre(restart, restart));

    // The table removed: custom stays as it was.
    fs::remove(FanController::customTableFile);
    controller->getThermalModeReader()->setThermalMode(FanMode::custom);
    controller->evaluateFanMode();
    EXPECT_EQ(controller->getFanMode(), FanMode::custom);
    EXPECT_THAT(systemctl(), ElementsAre(restart, restart));
}

TEST_F(FanControllerTest, UnrecognisedThermalModeAtStartSwitchesNothing)
{
    platform.thermalMode = -1;
    start();
    pastGrace();
    EXPECT_EQ(controller->getFanMode(), 0);
    EXPECT_THAT(systemctl(), IsEmpty());

    controller->getThermalModeReader()->setThermalMode(FanMode::energySave);
    controller->evaluateFanMode();
    EXPECT_TRUE(err.has("Fan mode is changed. Transfer Mode: Unknown -> "
                        "EnergySave\n"));
}

TEST_F(FanControllerTest, SettingReadersAreRequired)
{
    platform.absent = {hostPath};
    EXPECT_THROW(start(), std::runtime_error);

    platform.absent = {thermalPath};
    ownHelper = std::make_unique<NiceMock<MockDbusHelper>>();
    EXPECT_THROW(start(), std::runtime_error);
}

} // namespace
} // namespace bmcmon::test
