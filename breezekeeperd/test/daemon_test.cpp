// The real daemon as a child process on a private bus against the simulated
// platform: its command line, its start-up and first passes, and (in their
// own test runs, as they wait for the 30 s grace period or the host's 60 s
// settling time) its first health decision and its full speed when the
// health service cannot be asked.

#include "sim_config.hpp"
#include "test_support.hpp"
#include "testkit/commands.hpp"
#include "testkit/emulator.hpp"
#include "testkit/journal.hpp"
#include "testkit/process.hpp"
#include "testkit/simulator.hpp"
#include "testkit/stubs.hpp"
#include "testkit/tempdir.hpp"

#include <systemd/sd-bus.h>

namespace bmcmon::test
{
namespace
{

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

constexpr auto afterGrace = 45s;
constexpr auto afterSettle = 80s;

class Daemon : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        journal.emplace();
        fs::remove_all("/var/inventory");
        fs::create_directories("/usr/share/breezekeeper");
        fs::remove("/usr/share/breezekeeper/powercap");
        stubs.add("log-util");
        stubs.add("systemctl");
        writeFanScript(dir / "runs", 0);
    }

    std::unique_ptr<testkit::Process>
        daemon(std::vector<std::string> args,
               std::map<std::string, std::string> env = {})
    {
        args.insert(args.begin(), std::getenv("BREEZEKEEPERD"));
        return std::make_unique<testkit::Process>(testkit::Process::Options{
            .argv = args, .env = env, .pathPrepend = {stubs.path()}});
    }

    std::optional<testkit::JournalEntry> journalLine(const std::string& text)
    {
        return journal->waitFor(
            [&](const testkit::JournalEntry& e) {
            return e.contains("MESSAGE") && e.at("MESSAGE") == text;
            },
            10s);
    }

    // Made once the sandbox is known to be there.
    std::optional<testkit::JournalCapture> journal;
    testkit::CommandStubs stubs;
    testkit::TempDir dir;
};

TEST_F(Daemon, Help)
{
    auto d = daemon({"--help"});
    EXPECT_EQ(d->waitExit(), 0);
    EXPECT_THAT(d->out(), HasSubstr("OpenBMC Fan Control Daemon"));
    EXPECT_THAT(d->out(), HasSubstr("-f,--fan"));
    EXPECT_THAT(d->out(), HasSubstr("Fan ID List to be monitor"));
}

TEST_F(Daemon, NoFanList)
{
    for (auto args :
         {std::vector<std::string>{}, std::vector<std::string>{"-f", ""}})
    {
        journal->clear();
        auto d = daemon(args);
        EXPECT_EQ(d->waitExit(), 255);
        auto started = journalLine("breezekeeper started");
        ASSERT_TRUE(started);
        EXPECT_EQ(started->at("PRIORITY"), "6");
        EXPECT_EQ(started->at("CODE_LINE"), "109");
        EXPECT_EQ(started->at("CODE_FUNC"), "main");
        auto none = journalLine("FAN ID is NOT specified");
        ASSERT_TRUE(none);
        EXPECT_EQ(none->at("PRIORITY"), "6");
        EXPECT_EQ(none->at("CODE_LINE"), "129");
        EXPECT_EQ(none->at("CODE_FUNC"), "main");
    }
}

TEST_F(Daemon, BadCommandLines)
{
    // Ids the fan masks cannot hold are refused.
    auto big = daemon({"-f", "1,32"});
    EXPECT_EQ(big->waitExit(), 255);
    EXPECT_THAT(big->err(), HasSubstr("Fan ID out of range (0 to 31): 32"));
    auto entry = journalLine("Fan ID out of range (0 to 31): 32");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->at("PRIORITY"), "3");

    auto unknown = daemon({"--speed", "3"});
    auto status = unknown->waitExit();
    ASSERT_TRUE(status);
    EXPECT_NE(*status, 0);
    EXPECT_NE(*status, 255);
    EXPECT_THAT(unknown->err(), HasSubstr("--speed"));
}

TEST_F(Daemon, OptionsNeedNoBus)
{
    const std::map<std::string, std::string> noBus = {
        {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (dir / "none").string()}};
    auto help = daemon({"--help"}, noBus);
    EXPECT_EQ(help->waitExit(), 0);
    EXPECT_THAT(help->out(), HasSubstr("OpenBMC Fan Control Daemon"));

    auto none = daemon({}, noBus);
    EXPECT_EQ(none->waitExit(), 255);
    EXPECT_TRUE(journalLine("FAN ID is NOT specified"));
    auto big = daemon({"-f", "40"}, noBus);
    EXPECT_EQ(big->waitExit(), 255);
    EXPECT_THAT(big->err(), HasSubstr("Fan ID out of range (0 to 31): 40\n"));

    // Fans to monitor need the bus: without one the daemon says why.
    auto fans = daemon({"-f", "0"}, noBus);
    EXPECT_EQ(fans->waitExit(), 255);
    EXPECT_THAT(fans->err(), HasSubstr("sd_bus_"));
    EXPECT_THAT(fans->err(), HasSubstr("No such file or directory"));
}

TEST_F(Daemon, WithoutTheHostStateItDoesNotStart)
{
    auto config = platformConfig({3000}, "low-noise");
    config["services"][1]["absent"] = true;
    testkit::Simulator sim(config);
    auto d = daemon({"-f", "0"});
    EXPECT_EQ(d->waitExit(), 1);
    EXPECT_THAT(d->err(), HasSubstr("createHostStateDbusPassive: exception: "));
    EXPECT_THAT(d->err(), HasSubstr("Cannot monitor fans without the host "
                                    "state reader\n"));
}

TEST_F(Daemon, StartUpAndFirstPasses)
{
    testkit::Simulator sim(platformConfig({3000, 0, 3200, 3300}, "low-noise"));
    fs::create_directories("/var/inventory/fan");
    writeFile("/var/inventory/fan/f2", "");

    auto d = daemon({"-f", "0,1,2,3"});
    // The first pass runs at start-up.
    ASSERT_TRUE(d->waitForOutput("Fan is added to be confirmed. id: 3", true))
        << d->err();
    const std::string err = d->err();
    EXPECT_THAT(err, HasSubstr("Host state changed. Value: 0 -> 1\n"));
    EXPECT_THAT(err, HasSubstr("Load fan states. ID: 0, Failed: 0.\n"
                               "Load fan states. ID: 1, Failed: 0.\n"
                               "Load fan states. ID: 2, Failed: 1.\n"
                               "Load fan states. ID: 3, Failed: 0.\n"));
    EXPECT_THAT(err, HasSubstr("Fan is added to be confirmed. id: 1, "
                               "recordFailed: 0, currentFailed: 1\n"));
    EXPECT_THAT(err, HasSubstr("Fan is added to be confirmed. id: 2, "
                               "recordFailed: 1, currentFailed: 0\n"));

    // A tachometer signal is taken at once, and the next pass (3 s later)
    // puts the new state under confirmation.
    sim.setProperty(fanService, simFanPath(0), sensorValueIntf, "Value", "d",
                    0.0);
    EXPECT_TRUE(
        d->waitForOutput("Fan state changed. id: 0, value: 3000 -> 0", true));
    EXPECT_TRUE(d->waitForOutput("Change its state to be confirmed. id: 0, "
                                 "recordFailed: 0, confirmFailed: 0 -> 1",
                                 true));

    // Nothing is decided yet: no command, no health flag, no event.
    EXPECT_TRUE(d->running());
    EXPECT_THAT(stubs.calls("systemctl"), IsEmpty());
    EXPECT_THAT(stubs.calls("log-util"), IsEmpty());
    EXPECT_TRUE(fs::exists("/var/inventory/fan/f2"));
    EXPECT_FALSE(fs::exists("/usr/share/breezekeeper/powercap"));
    EXPECT_EQ(sim.count("Create"), 0u);
}

/** Resident memory of a process, in KiB (VmRSS). */
long residentKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.starts_with("VmRSS:"))
        {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

/** The unique names of the connections a process holds on the bus. */
std::vector<std::string> connectionsOf(sdbus::Bus& bus, pid_t pid)
{
    auto names = bus.callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "ListNames")
                     .unpack<std::vector<std::string>>();
    std::vector<std::string> mine;
    for (const auto& name : names)
    {
        if (!name.starts_with(":"))
        {
            continue;
        }
        try
        {
            auto owner =
                bus.callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus",
                               "GetConnectionUnixProcessID", name)
                    .unpack<uint32_t>();
            if (owner == static_cast<uint32_t>(pid))
            {
                mine.push_back(name);
            }
        }
        catch (const sdbus::Exception&)
        {
            // Gone meanwhile.
        }
    }
    return mine;
}

TEST_F(Daemon, SignalsToItsQueryConnectionsCostNoMemory)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
#endif
    if (testkit::emulated())
    {
        GTEST_SKIP() << "the emulator does not hand freed memory back";
    }
    testkit::Simulator sim(platformConfig({3000, 3100}, "low-noise"));
    auto d = daemon({"-f", "0,1"});
    ASSERT_TRUE(d->waitForOutput("Fan is added to be confirmed. id: 1", true))
        << d->err();
    const long before = residentKb(d->pid());

    // 1,500 signals of 8 KiB addressed to each of its connections: a
    // connection read only inside calls finds them at its next call.
    sdbus::Bus sender = sdbus::Bus::newSystem();
    const std::string payload(8192, 'x');
    for (const auto& name : connectionsOf(sender, d->pid()))
    {
        for (int i = 0; i < 1500; ++i)
        {
            sdbus::Message m =
                sender.newSignal("/flood", "local.test.Flood", "Flood");
            ASSERT_GE(sd_bus_message_set_destination(m.get(), name.c_str()), 0);
            m.append(payload);
            sender.send(m);
        }
        sender.flush();
    }
    // The fan service comes back with both fans stopped: each fan reader
    // reads again, on its own connection.
    sim.setAbsent(fanService, true);
    for (uint32_t fan : {0, 1})
    {
        sim.removeObject(fanService, simFanPath(fan));
        sim.addObject(fanService, sensor(simFanPath(fan), 0.0));
    }
    sim.setAbsent(fanService, false);
    for (const char* line : {"Fan state changed. id: 0, value: 3000 -> 0",
                             "Fan state changed. id: 1, value: 3100 -> 0"})
    {
        ASSERT_TRUE(d->waitForOutput(line, true, 30s)) << d->err();
    }
    EXPECT_LE(residentKb(d->pid()), before + 1024);
    EXPECT_TRUE(d->running());
}

// Waits for the grace period: run on its own (see meson.build).
TEST_F(Daemon, AfterGraceHealthAndMode)
{
    testkit::Simulator sim(platformConfig({3000, 3100}, "high-perf"));
    testkit::Process hub(
        {.argv = {std::getenv("VIGILHUB")}, .env = {}, .pathPrepend = {}});
    ASSERT_TRUE(hub.waitForBusName(vigilhubService)) << hub.err();
    // The flag was left false: with good fans the daemon sets it true.
    ASSERT_EQ(
        testkit::busctl({"set-property", vigilhubService, fanFlagPath,
                         "xyz.openbmc_project.Status", "Health", "b", "false"})
            .status,
        0);

    auto d = daemon({"-f", "0,1"});
    ASSERT_TRUE(d->waitForOutput("Fan mode is changed. Transfer Mode: "
                                 "Unknown -> HighPerf",
                                 true, afterGrace))
        << d->err();
    EXPECT_THAT(d->err(), HasSubstr("Set fan health state. Health: fail -> "
                                    "health of 1\n"));
    auto flag = testkit::busctl({"get-property", vigilhubService, fanFlagPath,
                                 "xyz.openbmc_project.Status", "Health"});
    EXPECT_EQ(flag.out, "b true\n");
    EXPECT_TRUE(testkit::waitUntil(
        [&] { return stubs.calls("systemctl").size() == 1; }, 10s));
    EXPECT_THAT(stubs.calls("systemctl"),
                ElementsAre(ElementsAre("restart", "fan-speed-control")));
    EXPECT_EQ(readFile("/usr/share/breezekeeper/powercap"), "false");
    EXPECT_TRUE(d->running());
}

// Waits for the host to settle: run on its own (see meson.build).
TEST_F(Daemon, AfterGraceWithoutHealthServiceFullSpeedAllTheSame)
{
    // No health service, no folder for the power-cap flag file, and fan 1
    // stopped.
    fs::remove_all("/usr/share/breezekeeper");
    testkit::Simulator sim(platformConfig({3000, 0}, "low-noise"));
    auto d = daemon({"-f", "0,1"});
    ASSERT_TRUE(d->waitForOutput("Fan is failed. Transfer Mode: Unknown -> "
                                 "Broken",
                                 true, afterSettle))
        << d->err();
    EXPECT_TRUE(testkit::waitUntil(
        [&] { return readFile(dir / "runs") == "ran\n"; }, 10s));
    EXPECT_THAT(stubs.calls("systemctl"),
                ElementsAre(ElementsAre("stop", "fan-speed-control")));
    EXPECT_THAT(d->err(), HasSubstr("Warning. Write power cap flag failed. "
                                    "File: /usr/share/breezekeeper/powercap, "
                                    "Error: No such file or directory\n"));

    // Every pass asks again; the warning is written once, and the failed
    // read once a minute. A fan change noted by a later pass shows that
    // passes went on.
    const std::string warning = "Fan health state cannot be read, fan mode "
                                "decided without it. Error: ";
    ASSERT_EQ(
        testkit::busctl({"call", "local.platformsim", "/local/platformsim",
                         "local.platformsim.Control", "SetProperty", "ssssv",
                         fanService, simFanPath(0), sensorValueIntf, "Value",
                         "d", "0"})
            .status,
        0);
    ASSERT_TRUE(d->waitForOutput("Fan is added to be confirmed. id: 0, "
                                 "recordFailed: 0, currentFailed: 1",
                                 true, 20s))
        << d->err();
    std::size_t failedReads = 0;
    std::size_t warnings = 0;
    for (const auto& e : journal->entries())
    {
        const std::string text = e.contains("MESSAGE") ? e.at("MESSAGE") : "";
        failedReads += (text == "Get Fan Health Properties Failed");
        if (text.starts_with(warning))
        {
            ++warnings;
            EXPECT_EQ(e.at("PRIORITY"), "4");
        }
    }
    EXPECT_EQ(failedReads, 1u);
    EXPECT_EQ(warnings, 1u);
    EXPECT_TRUE(d->running());
}

} // namespace
} // namespace bmcmon::test
