// End-to-end tests of the real arrayscout binary on a private bus: the
// simulated storage library and I2C buses describe the cards, the real
// vigilhub holds the disk flag (beside a simulated LED group manager and
// logging service), log-util is a recording stand-in and busctl the real
// one. The inventory files live in this run's private overlay of /var.
// Scans are driven with AgentSynchronizeData. The polling thread's scans
// (the first 30 s after start) may come in between on a slow machine: what
// holds only while no other scan has seen a description is checked only
// when the library's log shows that none did.

#include "sdbus/bus.hpp"
#include "storesim_description.hpp"
#include "testkit/commands.hpp"
#include "testkit/journal.hpp"
#include "testkit/main.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/simulator.hpp"
#include "testkit/stubs.hpp"
#include "testkit/wait.hpp"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using arrayscout_test::card;
using arrayscout_test::controller;
using arrayscout_test::json;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace
{

constexpr const char* service = "xyz.openbmc_project.Raid";
constexpr const char* root = "/xyz/openbmc_project/Raid";
constexpr const char* iface = "xyz.openbmc_project.Raid.Device";
const std::string ctrl0 = "/xyz/openbmc_project/Raid/rs1cs0ds0";

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

json platform()
{
    return {
        {"services",
         json::array(
             {{{"name", "xyz.openbmc_project.LED.GroupManager"},
               {"objects",
                json::array(
                    {{{"path", "/xyz/openbmc_project/led/groups/system_fault"},
                      {"interfaces",
                       {{"xyz.openbmc_project.Led.Group",
                         {{"properties", {{"Asserted", {"b", false}}}}}}}}}})}},
              {{"name", "xyz.openbmc_project.Logging"},
               {"objects",
                json::array(
                    {{{"path", "/xyz/openbmc_project/logging"},
                      {"interfaces",
                       {{"xyz.openbmc_project.Logging.Create",
                         {{"methods",
                           {{"Create", {{"in", "ssa{ss}"}}}}}}}}}}})}}})},
        {"mapper", false}};
}

class Daemon : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        std::filesystem::remove_all("/var/inventory");
        stubs.add("log-util");
        client = std::make_unique<sdbus::Bus>(sdbus::Bus::newSystem());
        simulator = std::make_unique<testkit::Simulator>(platform());
        hub = std::make_unique<testkit::Process>(
            testkit::Process::Options{.argv = {std::getenv("VIGILHUB")}});
        ASSERT_TRUE(hub->waitForBusName("xyz.openbmc_project.vigilhub"))
            << hub->err();
        // A daemon of an earlier test may have ended before the bus saw its
        // name go.
        ASSERT_TRUE(testkit::waitUntil([this] { return !owned(service); },
                                       std::chrono::seconds(10)));
    }

    void TearDown() override
    {
        if (daemon)
        {
            EXPECT_TRUE(daemon->running());
            EXPECT_EQ(daemon->terminate(), 128 + SIGTERM);
        }
    }

    bool owned(const std::string& name)
    {
        return client
            ->callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", name)
            .unpack<bool>();
    }

    /** Replaces the description, numbered so that the library's log
     *  tells which scans were answered from it. */
    void describe(json description)
    {
        description["generation"] = ++generation;
        sim.write(description);
    }

    /** The library's log from the current description on. */
    std::string logSinceDescribed()
    {
        std::string log = slurp(sim.logPath());
        auto at =
            log.find("description generation=" + std::to_string(generation));
        return at == std::string::npos ? "" : log.substr(at);
    }

    /** How many scans the library answered, wholly or in part, from the
     *  current description (the management commands of a test count as
     *  one more). */
    int scansOfThisDescription()
    {
        std::ifstream in(sim.logPath());
        std::string marker =
            "description generation=" + std::to_string(generation);
        std::string line;
        while (std::getline(in, line) && line != marker)
        {}
        // Every scan begins with init; a first command that is not one
        // belongs to a scan begun before the description changed.
        int scans = 0;
        bool first = true;
        while (std::getline(in, line) && !line.starts_with("description "))
        {
            if (line.starts_with("init ") || first)
            {
                ++scans;
            }
            first = false;
        }
        return scans;
    }

    void start(const json& description)
    {
        describe(description);
        std::string asan = std::getenv("ASAN_OPTIONS") != nullptr
                               ? std::getenv("ASAN_OPTIONS")
                               : "";
        daemon = std::make_unique<testkit::Process>(testkit::Process::Options{
            .argv = {std::getenv("ARRAYSCOUT")},
            .env = {{"STORESIM_CONFIG", sim.path()},
                    {"STORESIM_LOG", sim.logPath()},
                    {"LD_PRELOAD", std::getenv("ARRAYSCOUT_I2CSIM")},
                    {"ASAN_OPTIONS", asan + ":verify_asan_link_order=0"}},
            .pathPrepend = {stubs.path()}});
        ASSERT_TRUE(daemon->waitForBusName(service));
        // Answered once the start-up scan is done.
        client->callMethod(service, root, "org.freedesktop.DBus.Peer", "Ping");
    }

    bool sync(const std::string& path = root)
    {
        return client->callMethod(service, path, iface, "AgentSynchronizeData")
            .unpack<bool>();
    }

    template <typename T>
    T get(const std::string& path, const std::string& name,
          const std::string& interface = iface,
          const std::string& owner = service)
    {
        return std::get<T>(client
                               ->callMethod(owner, path,
                                            "org.freedesktop.DBus.Properties",
                                            "Get", interface, name)
                               .unpack<std::variant<T>>());
    }

    bool diskFlag()
    {
        return get<bool>("/xyz/openbmc_project/vigilhub/disk", "Health",
                         "xyz.openbmc_project.Status",
                         "xyz.openbmc_project.vigilhub");
    }

    std::vector<std::string> objects()
    {
        auto r = testkit::busctl({"tree", "--list", service});
        std::vector<std::string> paths;
        std::istringstream lines(r.out);
        std::string line;
        while (std::getline(lines, line))
        {
            if (line.starts_with(root))
            {
                paths.push_back(line);
            }
        }
        return paths;
    }

    std::vector<testkit::SimCall> creates()
    {
        std::vector<testkit::SimCall> found;
        for (const auto& c : simulator->callLog())
        {
            if (c.member == "Create")
            {
                found.push_back(c);
            }
        }
        return found;
    }

    arrayscout_test::Description sim;
    int generation = 0;
    testkit::CommandStubs stubs;
    std::unique_ptr<sdbus::Bus> client;
    std::unique_ptr<testkit::Simulator> simulator;
    std::unique_ptr<testkit::Process> hub;
    std::unique_ptr<testkit::Process> daemon;
};

json oneCard(json ctrl)
{
    return {{"buses", json::array({card(14, json::array({ctrl}))})}};
}

} // namespace

TEST_F(Daemon, ObjectsAndPropertiesAfterStart)
{
    // What a daemon killed while writing left behind.
    std::filesystem::create_directories("/var/inventory/disk");
    std::ofstream("/var/inventory/disk/data.q7Rt2k") << "0\tdisk";
    start(oneCard(controller(0, 2, 1)));
    EXPECT_FALSE(std::filesystem::exists("/var/inventory/disk/data.q7Rt2k"));
    EXPECT_THAT(
        objects(),
        ElementsAre(root, "/xyz/openbmc_project/Raid/rs0cs0ds0", ctrl0));
    EXPECT_EQ(
        get<int32_t>("/xyz/openbmc_project/Raid/rs0cs0ds0", "resourceNum"), 1);
    EXPECT_EQ(get<std::vector<int32_t>>("/xyz/openbmc_project/Raid/rs0cs0ds0",
                                        "resourceI2CList"),
              std::vector<int32_t>{0});
    EXPECT_EQ(get<std::string>(ctrl0, "Model"), "SimRAID 9460-8i");
    EXPECT_EQ(get<int64_t>(ctrl0, "SASAddress"), 5764824127046860800LL);
    EXPECT_THAT(get<std::vector<std::string>>(ctrl0, "PD_names"),
                ElementsAre("disk0", "disk1"));
    EXPECT_THAT(
        get<std::vector<std::vector<int32_t>>>(ctrl0, "PD_capableSpeedGbss"),
        ElementsAre(ElementsAre(6, 0), ElementsAre(6, 0)));
    EXPECT_THAT(get<std::vector<std::string>>(ctrl0, "LD_raidTypes"),
                ElementsAre("RAID1"));

    auto intro = testkit::busctl({"introspect", service, root, iface});
    for (const char* m : {".AgentSynchronizeData", ".LocatePD", ".StopLocatePD",
                          ".DeleteVolumes", ".SetPDState", ".AddLD"})
    {
        EXPECT_THAT(intro.out, HasSubstr(m));
    }
    EXPECT_THAT(intro.out, HasSubstr("iisaiiiiiii"));

    // One scan for the first confirmation, on any object.
    bool written = std::filesystem::exists("/var/inventory/raid/data");
    if (scansOfThisDescription() == 1)
    {
        EXPECT_FALSE(written);
    }
    EXPECT_TRUE(sync(ctrl0));
    EXPECT_THAT(slurp("/var/inventory/raid/data"),
                HasSubstr("\tRAIDStorage0\tOK\t"));
    std::string disks = slurp("/var/inventory/disk/data");
    EXPECT_EQ(std::count(disks.begin(), disks.end(), '\n'), 2);
    EXPECT_THAT(disks, HasSubstr("1\tdisk1\t"));
}

TEST_F(Daemon, RescanPicksUpChanges)
{
    json c = controller(0, 2);
    start(oneCard(c));
    c["drives"][1]["fwState"] = 0x18;
    json both = {
        {"buses", json::array({card(14, json::array({c})),
                               card(15, json::array({controller(1, 1)}))})}};
    describe(both);
    EXPECT_TRUE(sync());
    EXPECT_THAT(get<std::vector<std::string>>(ctrl0, "PD_fwStates"),
                ElementsAre("UGOOD", "ONLINE"));
    EXPECT_THAT(objects(), Contains("/xyz/openbmc_project/Raid/rs2cs0ds0"));
    EXPECT_EQ(get<std::vector<int32_t>>("/xyz/openbmc_project/Raid/rs0cs0ds0",
                                        "resourceI2CList"),
              (std::vector<int32_t>{0, 1}));

    // Cards gone: the scan says so and the objects keep their last values.
    describe({{"buses", json::array()}});
    EXPECT_FALSE(sync());
    EXPECT_EQ(get<int32_t>("/xyz/openbmc_project/Raid/rs2cs0ds0", "PDcount"),
              1);
}

TEST_F(Daemon, DriveRemovedForTwoScans)
{
    json two = controller(0, 2);
    start(oneCard(two));
    ASSERT_TRUE(sync()); // confirmed: published, no event
    EXPECT_TRUE(diskFlag());
    EXPECT_THAT(stubs.calls("log-util"), IsEmpty());

    json one = two;
    one["drives"].erase(1);
    describe(oneCard(one));
    ASSERT_TRUE(sync());
    EXPECT_THAT(get<std::vector<std::string>>(ctrl0, "PD_names"),
                ElementsAre("disk0"));
    bool flag = diskFlag();
    auto logs = stubs.calls("log-util");
    if (scansOfThisDescription() == 1)
    {
        // Seen once: not yet acted on.
        EXPECT_TRUE(flag);
        EXPECT_THAT(logs, IsEmpty());
    }

    ASSERT_TRUE(sync());
    EXPECT_FALSE(diskFlag());
    EXPECT_THAT(
        stubs.calls("log-util"),
        ElementsAre(ElementsAre(
            "PRIORITY=4", "REDFISH_MESSAGE_ID=OpenBMC.0.1.PhysicalDiskRemoved",
            "REDFISH_MESSAGE_ARGS=disk1", "MESSAGE=disk1 removed.")));
    auto traps = creates();
    ASSERT_EQ(traps.size(), 1U);
    EXPECT_THAT(traps[0].detail,
                HasSubstr("\"1.3.6.1.4.1.61842.1.1.1.500.11.3.5\""));
    EXPECT_THAT(traps[0].detail, HasSubstr("\"sdisk1\""));
    EXPECT_THAT(traps[0].detail, HasSubstr("\"i4\""));
    std::string disks = slurp("/var/inventory/disk/data");
    EXPECT_THAT(disks, HasSubstr("0\tdisk0\t"));
    EXPECT_THAT(disks, ::testing::Not(HasSubstr("disk1")));

    describe(oneCard(two));
    ASSERT_TRUE(sync());
    flag = diskFlag();
    if (scansOfThisDescription() == 1)
    {
        EXPECT_FALSE(flag);
    }
    ASSERT_TRUE(sync());
    EXPECT_TRUE(diskFlag());
    EXPECT_EQ(creates().size(), 2U);
    EXPECT_EQ(stubs.calls("log-util").size(), 2U);
}

TEST_F(Daemon, ManagementStatusCodes)
{
    json c = controller(0, 4, 1);
    c["drives"][1]["kind"] = 0;
    start(oneCard(c));

    auto call = [this](const char* method, auto... args) {
        return client->callMethod(service, root, iface, method, args...)
            .template unpack<int32_t>();
    };
    EXPECT_EQ(call("LocatePD", 0, 0, 9, 20), 0);
    EXPECT_TRUE(sync());
    EXPECT_THAT(get<std::vector<int32_t>>(ctrl0, "PD_locateState"),
                ElementsAre(0, 1, 0, 0));
    EXPECT_EQ(call("StopLocatePD", 0, 0, 99), 1);
    EXPECT_EQ(call("DeleteVolumes", 0, 0, 0, 42, 0), 1);
    EXPECT_EQ(call("SetPDState", 0, 0, 8, 99, 0x18), 0x0e);
    EXPECT_EQ(call("AddLD", 0, 0, std::string("fast"),
                   std::vector<int32_t>{10, 11}, 12, 0, 0, 0, 1, 1),
              1);
    EXPECT_EQ(call("AddLD", 0, 0, std::string("fast"),
                   std::vector<int32_t>{10, 11}, 7, 0, 0, 0, 5, 1),
              0);
    EXPECT_TRUE(sync());
    EXPECT_THAT(get<std::vector<std::string>>(ctrl0, "LD_Names"),
                ElementsAre("vd0", "fast"));
    EXPECT_THAT(get<std::vector<std::string>>(ctrl0, "PD_fwStates"),
                ElementsAre("UGOOD", "UGOOD", "ONLINE", "ONLINE"));
}

TEST_F(Daemon, StartUpScanThatThrows)
{
    testkit::JournalCapture journal;
    json broken = oneCard(controller(0, 1));
    broken["throw"] = {{"init", "storesim: init thrown"}};
    start(broken);
    EXPECT_TRUE(journal.waitFor([](const testkit::JournalEntry& e) {
        return e.contains("MESSAGE") &&
               e.at("MESSAGE") == "scan failed: storesim: init thrown" &&
               e.contains("PRIORITY") && e.at("PRIORITY") == "3";
    }));
    EXPECT_TRUE(owned(service));
    EXPECT_THAT(objects(), ::testing::Not(Contains(ctrl0)));

    // Served on, and the library's next answers are published.
    describe(oneCard(controller(0, 1)));
    EXPECT_TRUE(sync());
    EXPECT_THAT(get<std::vector<std::string>>(ctrl0, "PD_names"),
                ElementsAre("disk0"));
}

TEST_F(Daemon, SlowLibraryCallInAPolledScan)
{
    using namespace std::chrono_literals;
    json c = controller(0, 2);
    start(oneCard(c));
    // From now on the drive list takes 10 s, and a drive is online.
    c["drives"][1]["fwState"] = 0x18;
    c["delayMs"] = {{"SL_GET_PD_LIST", 10000}};
    describe(oneCard(c));
    // The first polled scan comes 30 s after start.
    ASSERT_TRUE(testkit::waitUntil(
        [this] {
        return logSinceDescribed().find("SL_GET_PD_LIST") != std::string::npos;
        },
        60s));

    auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(get<std::string>(ctrl0, "Model"), "SimRAID 9460-8i");
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);

    // A management call waits for the library to be free.
    EXPECT_EQ(client->callMethod(service, root, iface, "LocatePD", 0, 0, 9, 5)
                  .unpack<int32_t>(),
              0);
    // What the polled scan read reaches the bus.
    EXPECT_TRUE(testkit::waitUntil(
        [this] {
        return get<std::vector<std::string>>(ctrl0, "PD_fwStates") ==
               std::vector<std::string>{"UGOOD", "ONLINE"};
        },
        30s));
    EXPECT_THAT(logSinceDescribed(),
                ::testing::Not(HasSubstr("overlapping call")));
}

TEST_F(Daemon, DiskFlagFollowsRestartsAndAHungHealthService)
{
    using namespace std::chrono_literals;
    auto led = [this] {
        return get<bool>("/xyz/openbmc_project/led/groups/system_fault",
                         "Asserted", "xyz.openbmc_project.Led.Group",
                         "xyz.openbmc_project.LED.GroupManager");
    };
    json two = controller(0, 2);
    start(oneCard(two));
    ASSERT_TRUE(sync());

    // The health service hangs while a drive goes: the scan that confirms
    // it, disk flag command included, still answers long before a call's
    // default timeout.
    hub->kill(SIGSTOP);
    json one = two;
    one["drives"].erase(1);
    describe(oneCard(one));
    ASSERT_TRUE(sync());
    sdbus::Message call =
        client->newMethodCall(service, root, iface, "AgentSynchronizeData");
    EXPECT_TRUE(client->call(call, 15s).unpack<bool>());
    EXPECT_EQ(get<std::string>(ctrl0, "Model"), "SimRAID 9460-8i");
    hub->kill(SIGCONT);

    // The health service restarts with every flag true: it is told again.
    hub->terminate();
    hub = std::make_unique<testkit::Process>(
        testkit::Process::Options{.argv = {std::getenv("VIGILHUB")}});
    ASSERT_TRUE(hub->waitForBusName("xyz.openbmc_project.vigilhub"));
    EXPECT_TRUE(testkit::waitUntil([&] { return !diskFlag() && led(); }, 20s));

    // The drive is put back while this daemon is down: its first confirmed
    // list after the restart sets the flag.
    EXPECT_EQ(daemon->terminate(), 128 + SIGTERM);
    ASSERT_TRUE(testkit::waitUntil([this] { return !owned(service); }, 10s));
    start(oneCard(two));
    ASSERT_TRUE(sync());
    EXPECT_TRUE(testkit::waitUntil([&] { return diskFlag() && !led(); }, 20s));
    EXPECT_EQ(creates().size(), 1U);
}

TEST_F(Daemon, NoCard)
{
    start({{"buses", json::array({card(14, json::array(), false)})}});
    EXPECT_FALSE(sync());
    EXPECT_THAT(objects(), ElementsAre(root));
}

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv,
                             {.overlays = {"/var"}, .journal = true});
}
