// The road of a fan failure and of its repair, in process on a clock moved
// by hand, with everything else real: the simulated platform, the real
// vigilhub and LED group, the real busctl; log-util and systemctl are
// recording stand-ins and the full-speed script is written at its path.

#include "fan_controller.hpp"
#include "fan_mode.hpp"
#include "sim_config.hpp"
#include "test_support.hpp"
#include "testkit/commands.hpp"
#include "testkit/process.hpp"
#include "testkit/simulator.hpp"
#include "testkit/stubs.hpp"
#include "testkit/tempdir.hpp"

#include <sys/stat.h>

namespace bmcmon::test
{
namespace
{

namespace fs = std::filesystem;
using testing::ElementsAre;

class Road : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        fs::remove_all("/var/inventory");
        stubs.add("log-util");
        stubs.add("systemctl");
        writeFanScript(scriptRuns, 0);
        hub = std::make_unique<testkit::Process>(
            testkit::Process::Options{.argv = {std::getenv("VIGILHUB")}});
        ASSERT_TRUE(hub->waitForBusName(vigilhubService)) << hub->err();
        controller = std::make_unique<FanController>(
            loop.bus(), newSystemHelper(), newSystemHelper, clock.clock());
        controller->initFanController();
        controller->assignFanIds({0, 1, 2, 3});
    }

    /** Handles what has arrived, then one monitor pass, then 3 s pass. */
    void pass()
    {
        loop.io.restart();
        loop.io.poll();
        controller->evaluateFanMode();
        clock.advance(3s);
    }

    void setFan(uint32_t id, double value)
    {
        sim.setProperty(fanService, simFanPath(id), sensorValueIntf, "Value",
                        "d", value);
        ASSERT_TRUE(loop.runUntil([&] {
            return controller->getFanManager().getReaders()[id]->read().value ==
                   value;
        }));
    }

    bool fanFlag()
    {
        auto r = testkit::busctl({"get-property", vigilhubService, fanFlagPath,
                                  "xyz.openbmc_project.Status", "Health"});
        return r.out == "b true\n";
    }

    std::vector<std::string> trapIds()
    {
        std::vector<std::string> ids;
        for (const auto& call : sim.callLog())
        {
            if (call.member == "Create")
            {
                // s "<trap id>" s ...
                ids.push_back(
                    call.detail.substr(3, call.detail.find('"', 3) - 3));
            }
        }
        return ids;
    }

    std::vector<std::string> redfishIds()
    {
        std::vector<std::string> ids;
        for (const auto& args : stubs.calls("log-util"))
        {
            if (args.size() > 1 && args[1].starts_with("REDFISH_MESSAGE_ID="))
            {
                ids.push_back(args[1].substr(args[1].rfind('.') + 1));
            }
        }
        return ids;
    }

    testkit::CommandStubs stubs;
    PathPrepend onPath{stubs.path()};
    testkit::TempDir dir;
    fs::path scriptRuns = dir / "runs";
    testkit::Simulator sim{
        platformConfig({3000, 3100, 3200, 3300}, "low-noise")};
    std::unique_ptr<testkit::Process> hub;
    FakeClock clock;
    BusLoop loop;
    StderrCapture err;
    std::unique_ptr<FanController> controller;
};

const std::string trap = "1.3.6.1.4.1.61842.1.1.1.500";

TEST_F(Road, FanFailureAndRepair)
{
    const auto restart =
        std::vector<std::string>{"restart", "fan-speed-control"};
    const auto stop = std::vector<std::string>{"stop", "fan-speed-control"};

    pass(); // t = 0: every fan under confirmation
    setFan(2, 0.0);
    for (int i = 0; i < 10; ++i) // t = 3 to 30
    {
        pass();
    }
    // The grace period is over: the flag was read, the thermal mode set.
    EXPECT_EQ(controller->getHealthCode(), HealthCode::good);
    EXPECT_THAT(stubs.calls("systemctl"), ElementsAre(restart));
    EXPECT_FALSE(fs::exists("/var/inventory/fan/f2"));
    EXPECT_TRUE(stubs.calls("log-util").empty());

    for (int i = 0; i < 10; ++i) // t = 33 to 60: the host has settled
    {
        pass();
    }
    EXPECT_TRUE(fs::exists("/var/inventory/fan/f2"));
    EXPECT_THAT(redfishIds(), ElementsAre("FanRemoved"));
    EXPECT_THAT(trapIds(), ElementsAre(trap + ".11.5.3"));
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
    EXPECT_THAT(stubs.calls("systemctl"), ElementsAre(restart, stop));
    EXPECT_EQ(readFile(scriptRuns), "ran\n");
    EXPECT_EQ(readFile(FanManager::powerCapFlagFile), "false");
    EXPECT_FALSE(fanFlag());
    EXPECT_TRUE(testkit::waitUntil(
        [&] { return sim.count("Set", "Asserted=true") == 1; }, 10s))
        << hub->err();

    // A second fan: redundancy is lost.
    setFan(3, 0.4);
    for (int i = 0; i < 5; ++i) // noted, then confirmed 12 s later
    {
        pass();
    }
    EXPECT_THAT(redfishIds(),
                ElementsAre("FanRemoved", "FanRemoved", "FanRedundancyLost"));
    EXPECT_THAT(trapIds(), ElementsAre(trap + ".11.5.3", trap + ".11.5.3",
                                       trap + ".11.5.5"));
    EXPECT_TRUE(err.has("Fan status confirmed. FanId: 3, Failed: 1, "
                        "recordFailed: 0, RepotTime: "));

    // Both repaired: inserted twice, redundancy regained, flag true, LED
    // off, back to the thermal mode.
    setFan(2, 2900.0);
    setFan(3, 2950.0);
    for (int i = 0; i < 5; ++i)
    {
        pass();
    }
    EXPECT_THAT(redfishIds(),
                ElementsAre("FanRemoved", "FanRemoved", "FanRedundancyLost",
                            "FanInserted", "FanInserted",
                            "FanRedundancyRegained"));
    EXPECT_FALSE(fs::exists("/var/inventory/fan/f2"));
    EXPECT_FALSE(fs::exists("/var/inventory/fan/f3"));
    EXPECT_TRUE(fanFlag());
    EXPECT_TRUE(testkit::waitUntil(
        [&] { return sim.count("Set", "Asserted=false") == 1; }, 10s));
    EXPECT_EQ(controller->getFanMode(), FanMode::lowNoise);
    EXPECT_THAT(stubs.calls("systemctl"), ElementsAre(restart, stop, restart));
    EXPECT_TRUE(hub->running());
}

TEST_F(Road, AFifoFlagFileAndARestartedHealthService)
{
    // A FIFO that nobody reads where the power-cap flag file goes: refused
    // as an unwritable file, the fans still go to full speed.
    fs::remove(FanManager::powerCapFlagFile);
    ASSERT_EQ(::mkfifo(FanManager::powerCapFlagFile, 0644), 0);
    pass();
    setFan(2, 0.0);
    for (int i = 0; i < 20; ++i) // t = 3 to 60: confirmed
    {
        pass();
    }
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
    EXPECT_EQ(readFile(scriptRuns), "ran\n");
    EXPECT_TRUE(err.has("Warning. Write power cap flag failed. File: "
                        "/usr/share/breezekeeper/powercap"));
    EXPECT_FALSE(fanFlag());
    ASSERT_TRUE(testkit::waitUntil(
        [&] { return sim.count("Set", "Asserted=true") == 1; }, 10s));

    // The health service restarts with every flag true: the next pass sets
    // the fan flag again and the fault LED comes back on.
    hub->terminate();
    hub = std::make_unique<testkit::Process>(
        testkit::Process::Options{.argv = {std::getenv("VIGILHUB")}});
    ASSERT_TRUE(hub->waitForBusName(vigilhubService)) << hub->err();
    ASSERT_TRUE(loop.runUntil(
        [&] { return controller->getHealthCode() == HealthCode::unknown; }));
    pass();
    EXPECT_FALSE(fanFlag());
    EXPECT_TRUE(testkit::waitUntil(
        [&] { return sim.count("Set", "Asserted=true") == 2; }, 10s))
        << hub->err();
}

TEST_F(Road, HostOffHoldsConfirmation)
{
    pass();
    setFan(1, 0.0);
    for (int i = 0; i < 19; ++i) // t = 3 to 57
    {
        pass();
    }
    sim.setProperty(hostService, "/xyz/openbmc_project/state/host0",
                    "xyz.openbmc_project.State.Host", "CurrentHostState", "s",
                    "xyz.openbmc_project.State.Host.HostState.Off");
    ASSERT_TRUE(loop.runUntil([&] { return err.has("Value: 1 -> 2"); }));
    for (int i = 0; i < 10; ++i)
    {
        pass();
    }
    EXPECT_FALSE(fs::exists("/var/inventory/fan/f1"));

    // Running again: 60 s from that change before anything is confirmed.
    sim.setProperty(hostService, "/xyz/openbmc_project/state/host0",
                    "xyz.openbmc_project.State.Host", "CurrentHostState", "s",
                    "xyz.openbmc_project.State.Host.HostState.Running");
    ASSERT_TRUE(loop.runUntil([&] { return err.has("Value: 2 -> 1"); }));
    for (int i = 0; i < 19; ++i)
    {
        pass();
    }
    EXPECT_FALSE(fs::exists("/var/inventory/fan/f1"));
    pass();
    pass();
    EXPECT_TRUE(fs::exists("/var/inventory/fan/f1"));
    EXPECT_THAT(redfishIds(), ElementsAre("FanRemoved"));
}

TEST_F(Road, FullSpeedBeforeTheEventsOfItsPass)
{
    // The logging service hangs. The full-speed script notes how many traps
    // it had received by the time the fans went to full speed.
    writeFile("/usr/bin/fan-max-speed.sh",
              "#!/bin/bash\nbusctl --system call local.platformsim "
              "/local/platformsim local.platformsim.Control CallLog | "
              "grep -o '\"Create\"' | wc -l >> '" +
                  scriptRuns.string() + "'\n");
    sim.setDelay(loggingService, 60'000);
    pass();
    setFan(2, 0.0);
    for (int i = 0; i < 20; ++i) // t = 3 to 60: confirmed
    {
        pass();
    }
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
    EXPECT_EQ(readFile(scriptRuns), "0\n");
    EXPECT_TRUE(err.has("Failed to exec. Return code: 256, cmd: busctl "));
    EXPECT_TRUE(
        testkit::waitUntil([&] { return sim.count("Create") == 1; }, 10s));
}

TEST_F(Road, ATachometerThatComesLateIsMonitored)
{
    controller->assignFanIds({4});
    ASSERT_EQ(controller->getFanManager().getReaders()[4], nullptr);
    pass();
    pass();
    sim.addObject(fanService, sensor(simFanPath(4), 3000.0));
    for (int i = 0; i < 4; ++i) // tried again within 10 s
    {
        pass();
    }
    ASSERT_NE(controller->getFanManager().getReaders()[4], nullptr);
    setFan(4, 0.0);
    for (int i = 0; i < 15; ++i) // t = 18 to 60
    {
        pass();
    }
    EXPECT_TRUE(fs::exists("/var/inventory/fan/f4"));
    EXPECT_EQ(controller->getFanMode(), FanMode::broken);
}

TEST_F(Road, ARestartedSensorServiceIsReadAgain)
{
    pass();
    // The fan service restarts: its new instance publishes FAN1 stopped,
    // and sends no change signal.
    sim.setAbsent(fanService, true);
    sim.removeObject(fanService, simFanPath(1));
    sim.addObject(fanService, sensor(simFanPath(1), 0.0));
    sim.setAbsent(fanService, false);
    ASSERT_TRUE(loop.runUntil([&] {
        return controller->getFanManager().getReaders()[1]->isFailed();
    }));
    for (int i = 0; i < 20; ++i) // t = 3 to 60
    {
        pass();
    }
    EXPECT_TRUE(fs::exists("/var/inventory/fan/f1"));
    EXPECT_THAT(redfishIds(), ElementsAre("FanRemoved"));
}

} // namespace
} // namespace bmcmon::test
