// The fan manager: confirmation delays, marker files, fan and redundancy
// events, on a clock moved by hand.

#include "fan_dbus_passive.hpp"
#include "fan_manager.hpp"
#include "test_support.hpp"

namespace bmcmon::test
{
namespace
{

namespace fs = std::filesystem;
using testing::_;
using testing::ElementsAre;
using testing::InSequence;
using testing::StrictMock;

const fs::path inventory = FanManager::inventoryDir;

class FanManagerTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        fs::remove_all("/var/inventory");
        for (uint32_t id = 0; id < 4; ++id)
        {
            platform.fan(id, 3000.0);
        }
    }

    FanDbusPassive& fan(uint32_t id)
    {
        return static_cast<FanDbusPassive&>(*manager.getReaders().at(id));
    }

    /** One pass with the host running since long ago, its events sent. */
    bool pass()
    {
        return confirm(HostPowerState::running, clock.steadyNow - 1h);
    }

    /** One pass with this host state and change time, its events sent. */
    bool confirm(int hostState, SteadyPoint hostChanged)
    {
        const bool ok = manager.confirmFanChanges(hostState, hostChanged);
        manager.sendFanEvents();
        return ok;
    }

    /** Sets up fans 0 to 3 and confirms their first states. */
    void settled()
    {
        manager.setupFans({0, 1, 2, 3});
        pass();
        clock.advance(10s);
        pass();
        ASSERT_TRUE(manager.getPendingChanges().empty());
        err.clear();
    }

    FakePlatform platform;
    FakeClock clock;
    BusLoop loop;
    std::shared_ptr<StrictMock<MockEvents>> events =
        std::make_shared<StrictMock<MockEvents>>();
    StderrCapture err;
    FanManager manager{loop.bus(), platform.factory(), clock.clock(), events};
};

TEST_F(FanManagerTest, ReaderTableFollowsTheIds)
{
    manager.setupFans({3, 1, 3});
    EXPECT_THAT(manager.getFanIds(), ElementsAre(3, 1, 3));
    ASSERT_EQ(manager.getReaders().size(), 4u);
    EXPECT_EQ(manager.getReaders()[0], nullptr);
    EXPECT_NE(manager.getReaders()[1], nullptr);
    EXPECT_EQ(manager.getReaders()[2], nullptr);
    EXPECT_NE(manager.getReaders()[3], nullptr);
    EXPECT_EQ(platform.helpersMade, 3);

    // A fan whose sensor cannot be read is listed without a reader.
    platform.absent.insert(fanPath(7));
    manager.setupFans({7});
    EXPECT_THAT(manager.getFanIds(), ElementsAre(3, 1, 3, 7));
    ASSERT_EQ(manager.getReaders().size(), 8u);
    EXPECT_EQ(manager.getReaders()[7], nullptr);
}

TEST_F(FanManagerTest, EveryFanIsConfirmedOnceAtStartUp)
{
    platform.fan(2, 0.0);
    manager.setupFans({0, 2});
    EXPECT_TRUE(fs::is_directory(inventory));
    EXPECT_TRUE(pass());
    EXPECT_TRUE(err.has("Load fan states. ID: 0, Failed: 0.\n"
                        "Load fan states. ID: 2, Failed: 0.\n"));
    EXPECT_TRUE(err.has("Fan is added to be confirmed. id: 0, recordFailed: "
                        "0, currentFailed: 0\n"
                        "Fan is added to be confirmed. id: 2, recordFailed: "
                        "0, currentFailed: 1\n"));
    ASSERT_EQ(manager.getPendingChanges().size(), 2u);

    clock.advance(10s);
    EXPECT_CALL(*events, fanRemoved(2));
    EXPECT_FALSE(pass());
    EXPECT_EQ(manager.getConfirmed(), 0b100u);
    EXPECT_TRUE(fs::exists(inventory / "f2"));
    EXPECT_FALSE(fs::exists(inventory / "f0"));
    EXPECT_TRUE(manager.getPendingChanges().empty());
    EXPECT_TRUE(err.has("Fan status confirmed. FanId: 2, Failed: 1, "
                        "recordFailed: 0, RepotTime: "));
}

TEST_F(FanManagerTest, ConfirmationTakesTenSeconds)
{
    settled();
    fan(2).updateFanValue(0.0, false);
    pass();
    EXPECT_EQ(err.text(), "Fan state changed. id: 2, value: 3000 -> 0\n"
                          "Fan is added to be confirmed. id: 2, "
                          "recordFailed: 0, currentFailed: 1\n");

    clock.advance(9999ms);
    EXPECT_TRUE(pass());
    EXPECT_FALSE(fs::exists(inventory / "f2"));

    clock.advance(1ms);
    EXPECT_CALL(*events, fanRemoved(2));
    EXPECT_FALSE(pass());
    EXPECT_EQ(manager.getConfirmed(), 0b100u);
    EXPECT_TRUE(fs::exists(inventory / "f2"));
}

TEST_F(FanManagerTest, ConfirmationWaitsForARunningSettledHost)
{
    settled();
    fan(1).updateFanValue(0.0, false);
    confirm(HostPowerState::off, clock.steadyNow - 1h);
    ASSERT_EQ(manager.getPendingChanges().size(), 1u);
    const SteadyPoint since = manager.getPendingChanges().at(1).since;

    clock.advance(30s);
    EXPECT_TRUE(confirm(HostPowerState::off, clock.steadyNow - 1h));
    EXPECT_TRUE(confirm(HostPowerState::other, clock.steadyNow - 1h));
    // The host changed 30 s ago.
    EXPECT_TRUE(confirm(HostPowerState::running, clock.steadyNow - 30s));
    EXPECT_TRUE(confirm(HostPowerState::running, clock.steadyNow - 59s));
    EXPECT_EQ(manager.getPendingChanges().at(1).since, since);
    EXPECT_FALSE(fs::exists(inventory / "f1"));

    // Exactly 60 s after the change is enough.
    EXPECT_CALL(*events, fanRemoved(1));
    EXPECT_FALSE(confirm(HostPowerState::running, clock.steadyNow - 60s));
    EXPECT_TRUE(err.has("Fan status confirmed. FanId: 1, Failed: 1, "
                        "recordFailed: 0, RepotTime: "));
}

TEST_F(FanManagerTest, FlipBackRestartsTheDelay)
{
    settled();
    fs::create_directories(inventory);
    writeFile(inventory / "f3", "");

    fan(3).updateFanValue(0.0, false);
    pass();
    clock.advance(6s);
    fan(3).updateFanValue(2500.0, false);
    pass();
    EXPECT_TRUE(err.has("Change its state to be confirmed. id: 3, "
                        "recordFailed: 0, confirmFailed: 1 -> 0\n"));
    EXPECT_EQ(manager.getPendingChanges().at(3).since, clock.steadyNow);

    clock.advance(6s);
    pass();
    EXPECT_FALSE(manager.getPendingChanges().empty());

    // Confirmed as not failed: no event; a stray marker goes.
    clock.advance(4s);
    EXPECT_TRUE(pass());
    EXPECT_TRUE(manager.getPendingChanges().empty());
    EXPECT_FALSE(fs::exists(inventory / "f3"));
}

TEST_F(FanManagerTest, MarkerFromBeforeARestart)
{
    fs::create_directories(inventory);
    writeFile(inventory / "f1", "");
    manager.setupFans({0, 1});
    EXPECT_TRUE(err.has("Load fan states. ID: 1, Failed: 1.\n"));
    EXPECT_EQ(manager.getConfirmed(), 0b10u);
    EXPECT_FALSE(pass());

    // Fan 1 is healthy now: inserted, and its marker goes.
    clock.advance(10s);
    EXPECT_CALL(*events, fanInserted(1));
    EXPECT_TRUE(pass());
    EXPECT_FALSE(fs::exists(inventory / "f1"));
}

TEST_F(FanManagerTest, StillFailedAfterARestartRaisesNoNewEvent)
{
    fs::create_directories(inventory);
    writeFile(inventory / "f0", "");
    platform.fan(0, 0.0);
    manager.setupFans({0, 1});
    pass();
    clock.advance(10s);
    EXPECT_FALSE(pass());
    EXPECT_TRUE(fs::exists(inventory / "f0"));
    EXPECT_TRUE(err.has("Fan status confirmed. FanId: 0, Failed: 1, "
                        "recordFailed: 1, RepotTime: "));
}

TEST_F(FanManagerTest, RedundancyLostAndRegained)
{
    settled();
    {
        InSequence order;
        EXPECT_CALL(*events, fanRemoved(0));
        EXPECT_CALL(*events, fanRemoved(1));
        EXPECT_CALL(*events, fanRedundancyLost(2));
        EXPECT_CALL(*events, fanRemoved(2));
        EXPECT_CALL(*events, fanInserted(2));
        EXPECT_CALL(*events, fanInserted(1));
        EXPECT_CALL(*events, fanRedundancyRegained());
        EXPECT_CALL(*events, fanInserted(0));
    }
    auto confirm = [this](uint32_t id, double value) {
        fan(id).updateFanValue(value, false);
        pass();
        clock.advance(10s);
        pass();
    };
    confirm(0, 0.0); // one failed: redundancy holds
    confirm(1, 0.0); // two: lost
    confirm(2, 0.0); // three: nothing more
    confirm(2, 3000.0);
    confirm(1, 3000.0); // one left: regained
    confirm(0, 3000.0); // none: nothing more
    EXPECT_EQ(manager.getConfirmed(), 0u);
}

TEST_F(FanManagerTest, TwoFailuresInOnePass)
{
    settled();
    EXPECT_CALL(*events, fanRemoved(1));
    EXPECT_CALL(*events, fanRemoved(3));
    EXPECT_CALL(*events, fanRedundancyLost(2));
    fan(1).updateFanValue(0.0, false);
    fan(3).updateFanValue(0.5, false);
    pass();
    clock.advance(10s);
    EXPECT_FALSE(pass());
    EXPECT_EQ(manager.getConfirmed(), 0b1010u);
}

TEST_F(FanManagerTest, RestartWithTwoMarkersCountsAgain)
{
    fs::create_directories(inventory);
    writeFile(inventory / "f0", "");
    writeFile(inventory / "f2", "");
    platform.fan(0, 0.0);
    platform.fan(2, 0.0);
    manager.setupFans({0, 1, 2, 3});
    pass();
    clock.advance(10s);
    EXPECT_CALL(*events, fanRedundancyLost(2));
    EXPECT_FALSE(pass());
}

TEST_F(FanManagerTest, AFanListedTwiceCountsTwice)
{
    platform.fan(2, 0.0);
    manager.setupFans({2, 2});
    pass();
    clock.advance(10s);
    EXPECT_CALL(*events, fanRemoved(2));
    EXPECT_CALL(*events, fanRedundancyLost(2));
    EXPECT_FALSE(pass());
}

TEST_F(FanManagerTest, NothingPendingNothingWritten)
{
    settled();
    clock.advance(1h);
    EXPECT_TRUE(pass());
    EXPECT_EQ(err.text(), "");
}

TEST_F(FanManagerTest, InventoryThatCannotBeWritten)
{
    // A file where a folder should be: no folder, no markers, and each
    // says so.
    writeFile("/var/inventory", "not a folder");
    platform.fan(1, 0.0);
    manager.setupFans({1});
    EXPECT_TRUE(err.has("Failed to create fan inventory directory. Error: "));
    pass();
    clock.advance(10s);
    EXPECT_CALL(*events, fanRemoved(1));
    EXPECT_FALSE(pass());
    EXPECT_TRUE(err.has("Failed to write fan state file "
                        "/var/inventory/fan/f1. Error: Not a directory\n"));
    EXPECT_EQ(manager.getConfirmed(), 0b10u);
}

TEST_F(FanManagerTest, MarkerThatCannotBeRemovedIsReported)
{
    fs::create_directories(inventory / "f0" / "inside");
    manager.setupFans({0});
    EXPECT_EQ(manager.getConfirmed(), 1u);
    pass();
    clock.advance(10s);
    EXPECT_CALL(*events, fanInserted(0));
    EXPECT_TRUE(pass());
    EXPECT_EQ(
        err.count("Failed to remove fan state file /var/inventory/fan/f0: "
                  "Directory not empty\n"),
        1u);
    EXPECT_EQ(manager.getConfirmed(), 0u);

    // Confirmed healthy again: no second inserted event.
    fan(0).updateFanValue(0.0, false);
    fan(0).updateFanValue(3000.0, false);
    pass();
    clock.advance(10s);
    EXPECT_TRUE(pass());
}

TEST_F(FanManagerTest, AFanWithoutAReaderIsNotConfirmed)
{
    // Fan 1 listed twice: its first reader notifies, its second cannot be
    // made. Its marker stands and still counts.
    fs::create_directories(inventory);
    writeFile(inventory / "f1", "");
    HelperFactory second = [this, made = 0]() mutable {
        if (++made == 2)
        {
            platform.absent.insert(fanPath(1));
        }
        return platform.factory()();
    };
    FanManager twice(loop.bus(), second, clock.clock(), events);
    twice.setupFans({1, 1});
    ASSERT_EQ(twice.getReaders()[1], nullptr);
    twice.confirmFanChanges(HostPowerState::running, clock.steadyNow - 1h);
    clock.advance(10s);
    EXPECT_FALSE(
        twice.confirmFanChanges(HostPowerState::running, clock.steadyNow - 1h));
    twice.sendFanEvents();
    EXPECT_TRUE(twice.getPendingChanges().empty());
    EXPECT_TRUE(fs::exists(inventory / "f1"));
}

TEST_F(FanManagerTest, AnAlarmBetweenTwoReadings)
{
    // A critical alarm sets the flag silently; the stop that follows is
    // still told and confirmed, and so is the recovery after the alarm has
    // gone.
    settled();
    sdbus::Bus sender = serviceConnection();
    auto alarm = [&](bool raised) {
        emitChanged(sender, fanPath(1),
                    "xyz.openbmc_project.Sensor.Threshold.Critical",
                    changed("CriticalAlarmLow", raised));
        ASSERT_TRUE(loop.runUntil([&] { return fan(1).isFailed() == raised; }));
    };
    alarm(true);
    fan(1).updateFanValue(0.0, false);
    pass();
    clock.advance(10s);
    EXPECT_CALL(*events, fanRemoved(1));
    EXPECT_FALSE(pass());

    alarm(false);
    fan(1).updateFanValue(3000.0, false);
    pass();
    clock.advance(10s);
    EXPECT_CALL(*events, fanInserted(1));
    EXPECT_TRUE(pass());
}

TEST_F(FanManagerTest, SystemClockStepsMoveNoDelay)
{
    settled();
    fan(2).updateFanValue(0.0, false);
    pass();
    clock.stepSystemClock(-1h);
    clock.advance(10s);
    EXPECT_CALL(*events, fanRemoved(2));
    EXPECT_FALSE(pass());
}

TEST_F(FanManagerTest, PowerCapFlagFile)
{
    EXPECT_TRUE(manager.writePowerCapFlag("true"));
    EXPECT_EQ(readFile(FanManager::powerCapFlagFile), "true");
    EXPECT_TRUE(manager.writePowerCapFlag("false"));
    EXPECT_EQ(readFile(FanManager::powerCapFlagFile), "false");

    fs::remove_all("/usr/share/breezekeeper");
    EXPECT_FALSE(manager.writePowerCapFlag("true"));
    fs::create_directories("/usr/share/breezekeeper");
}

} // namespace
} // namespace bmcmon::test
