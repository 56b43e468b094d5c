// The host-state, thermal-mode and power-cap readers: their first read,
// their setters and the signals they take from the bus.

#include "bmcmon/passive_sensor_config.hpp"
#include "host_state_dbus_passive.hpp"
#include "power_cap_dbus_passive.hpp"
#include "test_support.hpp"
#include "thermal_mode_dbus_passive.hpp"

namespace bmcmon::test
{
namespace
{

constexpr const char* hostIntf = "xyz.openbmc_project.State.Host";
constexpr const char* thermalIntf = "xyz.openbmc_project.Control.ThermalMode";
constexpr const char* capIntf = "xyz.openbmc_project.Control.Power.Cap";
constexpr const char* running =
    "xyz.openbmc_project.State.Host.HostState.Running";
constexpr const char* off = "xyz.openbmc_project.State.Host.HostState.Off";

class SettingReaders : public testing::Test
{
  protected:
    std::unique_ptr<HostStateDbusPassive> host()
    {
        return createHostStateDbusPassive(loop.bus(), "host", "host0",
                                          platform.factory()(), {}, nullptr,
                                          clock.clock());
    }
    std::unique_ptr<ThermalModeDbusPassive> thermal()
    {
        return createThermalModeDbusPassive(loop.bus(), "ThermalMode",
                                            "ThermalMode", platform.factory()(),
                                            {}, nullptr, clock.clock());
    }
    std::unique_ptr<PowerCapDbusPassive> cap()
    {
        return createPowerCapDbusPassive(loop.bus(), "powercap", "power_cap",
                                         platform.factory()(), {}, nullptr,
                                         clock.clock());
    }

    FakePlatform platform;
    FakeClock clock;
    BusLoop loop;
    StderrCapture err;
    sdbus::Bus sender = serviceConnection();
};

TEST_F(SettingReaders, FactoriesWithoutHelperOrObject)
{
    EXPECT_EQ(createHostStateDbusPassive(loop.bus(), "host", "host0", nullptr,
                                         {}, nullptr),
              nullptr);
    EXPECT_EQ(createThermalModeDbusPassive(loop.bus(), "ThermalMode",
                                           "ThermalMode", nullptr, {}, nullptr),
              nullptr);
    EXPECT_EQ(createPowerCapDbusPassive(loop.bus(), "powercap", "power_cap",
                                        nullptr, {}, nullptr),
              nullptr);
    EXPECT_EQ(err.text(), "createHostStateDbusPassive: helper=null\n"
                          "createThermalModeDbusPassive: helper=null\n"
                          "createPowerCapDbusPassive: helper=null\n");

    err.clear();
    platform.absent = {hostPath, thermalPath, powerCapPath};
    EXPECT_EQ(host(), nullptr);
    EXPECT_EQ(thermal(), nullptr);
    EXPECT_EQ(cap(), nullptr);
    EXPECT_EQ(err.text(),
              std::string("createHostStateDbusPassive: exception: Unable to "
                          "find Object: ") +
                  hostPath +
                  "\ncreateThermalModeDbusPassive: exception: Unable to find "
                  "Object: " +
                  thermalPath +
                  "\ncreatePowerCapDbusPassive: exception: Unable to find "
                  "Object: " +
                  powerCapPath + "\n");
}

TEST_F(SettingReaders, HostStateChangesAndTheirTimes)
{
    // The first reading of a running host is a change made now.
    auto reader = host();
    ASSERT_NE(reader, nullptr);
    SteadyPoint changed{};
    EXPECT_EQ(reader->getHostState(changed), HostPowerState::running);
    EXPECT_EQ(changed, clock.steadyNow);
    EXPECT_EQ(err.text(), "Host state changed. Value: 0 -> 1\n");
    EXPECT_FALSE(reader->isFailed());

    const SteadyPoint started = clock.steadyNow;
    clock.advance(5s);
    reader->setHostState(HostPowerState::running);
    reader->getHostState(changed);
    EXPECT_EQ(changed, started);

    clock.advance(5s);
    reader->setHostState(HostPowerState::off);
    clock.advance(5s);
    reader->setHostState(HostPowerState::running);
    EXPECT_EQ(reader->getHostState(changed), HostPowerState::running);
    EXPECT_EQ(changed, clock.steadyNow);
    EXPECT_EQ(reader->read().updated, clock.now);
    EXPECT_EQ(err.text(), "Host state changed. Value: 0 -> 1\n"
                          "Host state changed. Value: 1 -> 2\n"
                          "Host state changed. Value: 2 -> 1\n");
}

TEST_F(SettingReaders, HostWithoutStateStartsAtZero)
{
    platform.hostState = -1;
    auto reader = host();
    ASSERT_NE(reader, nullptr);
    SteadyPoint changed = clock.steadyNow;
    EXPECT_EQ(reader->getHostState(changed), HostPowerState::other);
    EXPECT_EQ(changed, SteadyPoint{});
    EXPECT_EQ(err.text(), "");
}

TEST_F(SettingReaders, HostStateSignals)
{
    auto reader = host();
    ASSERT_NE(reader, nullptr);
    clock.advance(1s);

    // A transition state is neither running nor off.
    emitChanged(sender, hostPath, hostIntf,
                changed("CurrentHostState",
                        std::string("xyz.openbmc_project.State.Host."
                                    "HostState.Quiesced")));
    SteadyPoint since{};
    ASSERT_TRUE(loop.runUntil(
        [&] { return reader->getHostState(since) == HostPowerState::other; }));
    EXPECT_EQ(since, clock.steadyNow);

    // Other interfaces and properties change nothing; a value that is no
    // text reads as an unknown state.
    emitChanged(sender, hostPath, "xyz.openbmc_project.Other",
                changed("CurrentHostState", std::string(running)));
    emitChanged(sender, hostPath, hostIntf,
                changed("RequestedHostTransition", std::string(running)));
    emitChanged(sender, hostPath, hostIntf,
                changed("CurrentHostState", std::string(off)));
    ASSERT_TRUE(loop.runUntil(
        [&] { return reader->getHostState(since) == HostPowerState::off; }));
    emitChanged(sender, hostPath, hostIntf,
                changed("CurrentHostState", int32_t{1}));
    ASSERT_TRUE(loop.runUntil(
        [&] { return reader->getHostState(since) == HostPowerState::other; }));
    EXPECT_EQ(err.text(), "Host state changed. Value: 0 -> 1\n"
                          "Host state changed. Value: 1 -> 0\n"
                          "Host state changed. Value: 0 -> 2\n"
                          "Host state changed. Value: 2 -> 0\n");
}

TEST_F(SettingReaders, ReadAgainWhenPublishedAnew)
{
    auto hostReader = host();
    auto thermalReader = thermal();
    ASSERT_NE(hostReader, nullptr);
    ASSERT_NE(thermalReader, nullptr);

    // Both objects published anew, with new values and no change signal.
    platform.hostState = HostPowerState::off;
    platform.thermalMode = FanMode::highPerformance;
    for (const char* path : {hostPath, thermalPath})
    {
        sdbus::Message added = sender.newSignal(
            "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
        added.append(sdbus::ObjectPath(path),
                     std::map<std::string,
                              std::map<std::string, std::variant<int32_t>>>{});
        sender.send(added);
    }
    sender.flush();
    SteadyPoint since{};
    ASSERT_TRUE(loop.runUntil([&] {
        return hostReader->getHostState(since) == HostPowerState::off &&
               thermalReader->getThermalMode() == FanMode::highPerformance;
    }));
}

TEST_F(SettingReaders, ThermalMode)
{
    platform.thermalMode = -1;
    auto none = thermal();
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->getThermalMode(), FanMode::unknown);

    platform.thermalMode = FanMode::energySave;
    auto reader = thermal();
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->getThermalMode(), FanMode::energySave);
    EXPECT_EQ(reader->read().updated, clock.now);

    // A name that is not one of the four keeps the last mode.
    emitChanged(sender, thermalPath, thermalIntf,
                changed("Current", std::string("low-noise")));
    ASSERT_TRUE(loop.runUntil(
        [&] { return reader->getThermalMode() == FanMode::lowNoise; }));
    emitChanged(sender, thermalPath, thermalIntf,
                changed("Current", std::string("Custom")));
    emitChanged(sender, thermalPath, thermalIntf,
                changed("Current", std::string("high-perf")));
    ASSERT_TRUE(loop.runUntil(
        [&] { return reader->getThermalMode() == FanMode::highPerformance; }));
    emitChanged(sender, thermalPath, thermalIntf,
                changed("Current", std::string("turbo")));
    emitChanged(sender, thermalPath, thermalIntf,
                changed("Current", std::string("custom")));
    ASSERT_TRUE(loop.runUntil(
        [&] { return reader->getThermalMode() == FanMode::custom; }));
}

TEST_F(SettingReaders, PowerCap)
{
    platform.powerCap = {.enabled = true, .cap = 800};
    auto reader = cap();
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(reader->getPowerCapEnable());
    EXPECT_EQ(reader->getPowerCap(), 800u);
    const TimePoint stamped = clock.now;
    clock.advance(1s);

    // The flag alone: the cap and its time stay.
    emitChanged(sender, powerCapPath, capIntf,
                changed("PowerCapEnable", false));
    ASSERT_TRUE(loop.runUntil([&] { return !reader->getPowerCapEnable(); }));
    EXPECT_EQ(reader->getPowerCap(), 800u);
    EXPECT_EQ(reader->read().updated, stamped);

    // Values of another type are reported and ignored.
    emitChanged(sender, powerCapPath, capIntf, changed("PowerCap", true));
    emitChanged(sender, powerCapPath, capIntf,
                changed("PowerCap", int32_t{500}));
    emitChanged(sender, powerCapPath, capIntf,
                changed("PowerCapEnable", std::string("yes")));
    emitChanged(sender, powerCapPath, capIntf, [](sdbus::Message& m) {
        m.append(
            std::map<std::string, std::variant<uint32_t, bool>>{
                {"PowerCap", uint32_t{1200}}, {"PowerCapEnable", true}},
            std::vector<std::string>{});
    });
    ASSERT_TRUE(loop.runUntil([&] { return reader->getPowerCap() == 1200; }));
    EXPECT_TRUE(reader->getPowerCapEnable());
    EXPECT_EQ(reader->read().updated, clock.now);
    EXPECT_EQ(err.count("PowerCapDbusPassive: ignoring "), 3u);
    EXPECT_TRUE(err.has("ignoring PowerCap of " + std::string(powerCapPath) +
                        ": unexpected type b"));
}

} // namespace
} // namespace bmcmon::test
