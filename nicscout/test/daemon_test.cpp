// End-to-end tests of the real nicscout binary on a private bus. The
// inventory file /var/lib/smbios/network lives in this test's private
// overlay of /var; tests rewrite it between AgentSynchronizeData calls.

#include "sdbus/bus.hpp"
#include "sdbus/error.hpp"
#include "sdbus/match.hpp"
#include "testkit/commands.hpp"
#include "testkit/emulator.hpp"
#include "testkit/main.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/wait.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::HasSubstr;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

namespace
{

constexpr const char* service = "xyz.openbmc_project.NetworkAdapter";
constexpr const char* root = "/xyz/openbmc_project/NetworkAdapter";
constexpr const char* iface = "xyz.openbmc_project.NetworkAdapter.Device";
constexpr const char* inventory = "/var/lib/smbios/network";
const std::string enp59s0 = "/xyz/openbmc_project/NetworkAdapter/enp59s0";
const std::string enp59s1 = "/xyz/openbmc_project/NetworkAdapter/enp59s1";

using Properties = std::map<std::string, std::string>;
using Objects = std::map<std::string, Properties>;

struct Port
{
    std::string bus = "3b";
    std::string device = "0";
    std::string port = "0";
    std::string mac = "3c:fd:fe:a1:10:00";
    std::string link = "Up";
    std::string manufacturer = "Intel";
    std::string cpu = "CPU0";
};

std::string line(const Port& p)
{
    return "1\tenp\t" + p.mac + "\t" + p.manufacturer + "\tEthernet\tX710\t" +
           p.bus + "\t" + p.device + "\t" + p.port + "\t" + p.link +
           "\tEnabled\tSlot1\t" + p.cpu;
}

void writeInventory(const std::vector<std::string>& lines,
                    const std::string& end = "\n")
{
    std::ofstream out(inventory, std::ios::trunc | std::ios::binary);
    for (const auto& l : lines)
    {
        out << l << end;
    }
    ASSERT_TRUE(out.good());
}

class Nicscout : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        // The inventory path is only ever written inside the sandbox.
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        std::remove(inventory);
        client = std::make_unique<sdbus::Bus>(sdbus::Bus::newSystem());
        changes = std::make_unique<sdbus::Match>(
            *client,
            std::string("type='signal',sender='") + service +
                "',interface='org.freedesktop.DBus.Properties',"
                "member='PropertiesChanged'",
            [this](sdbus::Message& m) {
            auto [name, changed, invalidated] =
                m.unpack<std::string,
                         std::map<std::string, std::variant<std::string>>,
                         std::vector<std::string>>();
            for (const auto& [property, value] : changed)
            {
                signals.push_back(m.path() + " " + property + "=" +
                                  std::get<std::string>(value));
            }
            });
        added = std::make_unique<sdbus::Match>(
            *client,
            "type='signal',interface='org.freedesktop.DBus.ObjectManager',"
            "member='InterfacesAdded'",
            [this](sdbus::Message& m) {
            addedPaths.push_back(m.unpack<sdbus::ObjectPath>().str);
            });
        // A daemon of an earlier test may have ended before the bus saw
        // its name go.
        ASSERT_TRUE(testkit::waitUntil([this] { return !nameOwned(); },
                                       std::chrono::seconds(10)));
    }

    void TearDown() override
    {
        if (daemon)
        {
            EXPECT_TRUE(daemon->running()) << daemon->err();
        }
    }

    bool nameOwned()
    {
        return client
            ->callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner",
                         std::string(service))
            .unpack<bool>();
    }

    void start()
    {
        daemon = std::make_unique<testkit::Process>(testkit::Process::Options{
            .argv = {std::getenv("NICSCOUT")}, .env = {}, .pathPrepend = {}});
        ASSERT_TRUE(daemon->waitForBusName(service)) << daemon->err();
        // Calls are answered once the start-up pass is done, and its signals
        // come before the reply: none of them is taken for a later pass's.
        client->callMethod(service, root, "org.freedesktop.DBus.Peer", "Ping");
        drain();
        signals.clear();
        addedPaths.clear();
    }

    /** Calls AgentSynchronizeData; the signals of the pass arrive before
     *  its reply, so afterwards `signals` holds exactly that pass's. */
    bool sync()
    {
        drain();
        signals.clear();
        addedPaths.clear();
        auto reply =
            client->callMethod(service, root, iface, "AgentSynchronizeData");
        drain();
        return reply.unpack<bool>();
    }

    /** The error name AgentSynchronizeData answers with ("" for none). */
    std::string syncError()
    {
        try
        {
            sync();
        }
        catch (const sdbus::SdBusError& e)
        {
            return e.name();
        }
        return "";
    }

    void drain()
    {
        while (client->process() > 0)
        {}
    }

    Objects objects()
    {
        using Raw = std::map<
            sdbus::ObjectPath,
            std::map<std::string,
                     std::map<std::string, std::variant<std::string>>>>;
        auto raw =
            client
                ->callMethod(service, "/", "org.freedesktop.DBus.ObjectManager",
                             "GetManagedObjects")
                .unpack<Raw>();
        Objects result;
        for (const auto& [path, interfaces] : raw)
        {
            auto& props = result[path.str];
            for (const auto& [name, value] : interfaces.at(iface))
            {
                props[name] = std::get<std::string>(value);
            }
        }
        return result;
    }

    Properties adapter(const std::string& path)
    {
        auto all = objects();
        auto it = all.find(path);
        return it == all.end() ? Properties{} : it->second;
    }

    std::unique_ptr<sdbus::Bus> client;
    std::unique_ptr<sdbus::Match> changes;
    std::unique_ptr<sdbus::Match> added;
    std::vector<std::string> signals;
    std::vector<std::string> addedPaths;
    std::unique_ptr<testkit::Process> daemon;
};

} // namespace

TEST_F(Nicscout, StartPublishesEachAdapterWithItsProperties)
{
    Port twelve{.bus = "3c"};
    std::string twelveFields = line(twelve);
    twelveFields.erase(twelveFields.rfind('\t'));
    std::string doubledTabs = line(Port{.device = "1", .mac = "m1"});
    doubledTabs.replace(doubledTabs.find("\tX710\t"), 6, "\t\tX710\t\t");
    writeInventory({line(Port{}), twelveFields, doubledTabs + "\textra"});
    start();

    auto all = objects();
    ASSERT_EQ(all.size(), 3U);
    EXPECT_TRUE(all.at(root).empty());
    EXPECT_EQ(all.at(enp59s1).at("MACAddress0"), "m1");
    EXPECT_EQ(all.at(enp59s1).at("Model"), "X710");
    EXPECT_EQ(all.at(enp59s1).at("CPU"), "CPU0");

    Properties expected{
        {"Manufacturer", "Intel"},
        {"AdapterType", "Ethernet"},
        {"Model", "X710"},
        {"Slot", "Slot1"},
        {"SRIOV", "Enabled"},
        {"CPU", "CPU0"},
        {"Technology", "Ethernet"},
        {"PortCount", "1"},
        {"DeviceType", "SingleFunction"},
        {"MACAddress0", "3c:fd:fe:a1:10:00"},
        {"LinkStatus0", "Up"},
        {"Function0VendorId", ""},
        {"Function0DeviceId", ""},
        {"Function0ClassCode", ""},
        {"Function0RevisionId", ""},
        {"Function0SubsystemId", ""},
        {"Function0SubsystemVendorId", ""},
        {"Function0FunctionType", "Physical"},
        {"Function0DeviceClass", "Ethernet"},
        {"MACAddress1", ""},
        {"LinkStatus1", ""},
        {"MACAddress2", ""},
        {"LinkStatus2", ""},
        {"MACAddress3", ""},
        {"LinkStatus3", ""},
    };
    EXPECT_EQ(all.at(enp59s0), expected);
}

TEST_F(Nicscout, LaterPortsUpdateTheAdapterTheirFirstLineCreated)
{
    writeInventory(
        {line(Port{}),
         line(
             Port{.device = "1", .port = "1", .mac = "d1p1", .link = "Down"})});
    start();
    // A first line for port 1 keeps its values under port 1's names.
    auto second = adapter(enp59s1);
    EXPECT_EQ(second.at("MACAddress1"), "d1p1");
    EXPECT_EQ(second.at("LinkStatus1"), "Down");
    EXPECT_EQ(second.count("MACAddress0"), 0U);
    EXPECT_EQ(second.at("Function1FunctionType"), "Physical");

    writeInventory({line(Port{}),
                    line(Port{.port = "1", .mac = "p1", .link = "Down"}),
                    line(Port{.port = "4", .mac = "p4", .link = "p4link"})});
    EXPECT_TRUE(sync());
    EXPECT_TRUE(addedPaths.empty());

    auto first = adapter(enp59s0);
    EXPECT_EQ(first.at("MACAddress0"), "3c:fd:fe:a1:10:00");
    EXPECT_EQ(first.at("MACAddress1"), "p1");
    EXPECT_EQ(first.at("LinkStatus1"), "Down");
    // The last line decides the port-derived values; port 4 has no names
    // and no port adds Function properties of its own.
    EXPECT_EQ(first.at("PortCount"), "5");
    EXPECT_EQ(first.at("DeviceType"), "MultiFunction");
    for (const auto& [name, value] : first)
    {
        EXPECT_NE(value, "p4") << name;
        EXPECT_NE(value, "p4link") << name;
        EXPECT_EQ(name.find("Function1"), std::string::npos);
        EXPECT_EQ(name.find("Function4"), std::string::npos);
    }
}

TEST_F(Nicscout, OnlyChangedValuesEmitPropertiesChanged)
{
    writeInventory({line(Port{})});
    start();

    // Both port lines set PortCount and DeviceType: each final value is
    // signalled once.
    writeInventory({line(Port{}), line(Port{.port = "1", .mac = "p1"})});
    EXPECT_TRUE(sync());
    EXPECT_THAT(signals,
                UnorderedElementsAre(enp59s0 + " PortCount=2",
                                     enp59s0 + " DeviceType=MultiFunction",
                                     enp59s0 + " MACAddress1=p1",
                                     enp59s0 + " LinkStatus1=Up"));

    EXPECT_TRUE(sync());
    EXPECT_TRUE(signals.empty()) << ::testing::PrintToString(signals);

    writeInventory(
        {line(Port{}), line(Port{.port = "1", .mac = "p1", .link = "Down"})});
    EXPECT_TRUE(sync());
    EXPECT_THAT(signals, UnorderedElementsAre(enp59s0 + " LinkStatus1=Down"));

    EXPECT_TRUE(sync());
    EXPECT_TRUE(signals.empty()) << ::testing::PrintToString(signals);
}

TEST_F(Nicscout, AdaptersAndValuesOutliveTheirLines)
{
    writeInventory({line(Port{}), line(Port{.device = "1", .mac = "gone"})});
    start();

    writeInventory({line(Port{.manufacturer = "Other"})});
    EXPECT_TRUE(sync());
    auto all = objects();
    ASSERT_EQ(all.count(enp59s1), 1U);
    EXPECT_EQ(all.at(enp59s1).at("MACAddress0"), "gone");
    EXPECT_EQ(all.at(enp59s0).at("Manufacturer"), "Other");

    // No file at all changes nothing and answers false; an empty one true.
    std::remove(inventory);
    EXPECT_FALSE(sync());
    EXPECT_TRUE(signals.empty());
    EXPECT_EQ(objects(), all);
    writeInventory({});
    EXPECT_TRUE(sync());
    EXPECT_EQ(objects(), all);

    // Nor does a file that cannot be read, which answers false.
    std::remove(inventory);
    ASSERT_EQ(mkdir(inventory, 0755), 0);
    EXPECT_FALSE(sync());
    EXPECT_EQ(objects(), all);
    rmdir(inventory);

    // A FIFO is not waited on.
    ASSERT_EQ(mkfifo(inventory, 0644), 0);
    EXPECT_FALSE(sync());
    EXPECT_EQ(objects(), all);
    std::remove(inventory);
}

TEST_F(Nicscout, BadLineAnswersInvalidArgsAndChangesNothingOfItsOwn)
{
    writeInventory({line(Port{})});
    start();

    const std::string invalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
    // Earlier lines are published, the rest of the file is not read.
    writeInventory({line(Port{.device = "1"}), line(Port{.bus = "zz"}),
                    line(Port{.device = "2"})});
    EXPECT_EQ(syncError(), invalidArgs);
    auto all = objects();
    EXPECT_EQ(all.count(enp59s1), 1U);
    EXPECT_EQ(all.count(root + std::string("/enp59s2")), 0U);

    // A bad port of a known adapter changes none of its values, and a bad
    // port of a new one leaves nothing behind.
    writeInventory({line(Port{.port = "g", .manufacturer = "Bad"})});
    EXPECT_EQ(syncError(), invalidArgs);
    EXPECT_TRUE(signals.empty()) << ::testing::PrintToString(signals);
    writeInventory({line(Port{.device = "3", .port = "-x"})});
    EXPECT_EQ(syncError(), invalidArgs);
    writeInventory({line(Port{.bus = "-1"})});
    EXPECT_EQ(syncError(), invalidArgs);
    writeInventory({line(Port{.bus = "80000000"})});
    EXPECT_EQ(syncError(), invalidArgs);
    EXPECT_EQ(objects(), all);
    EXPECT_THAT(daemon->err(), HasSubstr("bus field \"zz\""));

    // Once fixed, the adapter is created whole and announced.
    writeInventory({line(Port{.device = "3"})});
    EXPECT_TRUE(sync());
    const std::string enp59s3 = root + std::string("/enp59s3");
    EXPECT_THAT(addedPaths, UnorderedElementsAre(enp59s3));
    EXPECT_EQ(adapter(enp59s3).at("Function0FunctionType"), "Physical");
}

TEST_F(Nicscout, OverlongLinesAndNulBytesAreBadLines)
{
    std::string overlong = line(Port{.device = "2"});
    overlong.replace(overlong.find("X710"), 4, std::string(100'000, 'M'));
    writeInventory({line(Port{}), line(Port{.device = "1"}), overlong});
    start();
    ASSERT_TRUE(
        daemon->waitForOutput("line 3: line longer than 65536 bytes", true));
    auto all = objects();
    EXPECT_EQ(all.count(enp59s0), 1U);
    EXPECT_EQ(all.count(enp59s1), 1U);
    EXPECT_EQ(all.count(root + std::string("/enp59s2")), 0U);

    const std::string invalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";
    EXPECT_EQ(syncError(), invalidArgs);
    writeInventory({line(Port{.mac = std::string("3c:fd\0fe", 8)})});
    EXPECT_EQ(syncError(), invalidArgs);
    EXPECT_THAT(daemon->err(), HasSubstr("line 1: field 2 holds a NUL byte"));
    EXPECT_EQ(objects(), all);
}

TEST_F(Nicscout, FileBeyondItsBoundIsCutThereAndTheDaemonServes)
{
    // 40 MB of lines well within the line bound, one adapter each: all
    // of them published would make a GetManagedObjects reply larger than
    // the bus carries, which costs the daemon its connection.
    constexpr int lines = 2500;
    std::vector<std::string> file;
    for (int i = 0; i < lines; ++i)
    {
        char bus[16];
        char device[16];
        std::snprintf(bus, sizeof(bus), "%x", 1 + i / 32);
        std::snprintf(device, sizeof(device), "%x", i % 32);
        std::string l = line(Port{.bus = bus, .device = device});
        l.replace(l.find("X710"), 4, std::string(16'000, 'M'));
        file.push_back(l);
    }
    writeInventory(file);
    // The lines that end within the first 4 MiB are read.
    const std::size_t length = file.front().size() + 1;
    const std::size_t whole = (std::size_t{4} << 20) / length;
    ASSERT_LT(whole, lines);
    start();
    const std::string refusal = "line " + std::to_string(whole + 1) +
                                ": file longer than 4194304 bytes";
    ASSERT_TRUE(daemon->waitForOutput(refusal, true));

    auto pathOf = [](std::size_t i) {
        return root + std::string("/enp") + std::to_string(1 + i / 32) + "s" +
               std::to_string(i % 32);
    };
    auto all = objects();
    EXPECT_EQ(all.size(), whole + 1);
    EXPECT_EQ(all.count(pathOf(0)), 1U);
    EXPECT_EQ(all.count(pathOf(whole - 1)), 1U);
    EXPECT_EQ(all.count(pathOf(whole)), 0U);
    EXPECT_EQ(syncError(), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_TRUE(signals.empty()) << signals.size();
    EXPECT_EQ(objects().size(), whole + 1);
}

TEST_F(Nicscout, ReplyBeyondTheBusBoundIsRefusedAndTheDaemonServes)
{
    // Lines of the fewest bytes the parser takes, within the file's bound,
    // whose adapters make a GetManagedObjects reply beyond the 32 MiB the
    // bus carries: sent, it would cost the daemon its connection. A byte
    // that is not UTF-8 is served as three, and the adapter type twice, so
    // this takes some 9,000 adapters rather than 30,000 of short lines.
    constexpr int adapters = 9300;
    if (testkit::emulated())
    {
        // Publishing them takes seconds natively and minutes under
        // qemu-user; the native builds run it.
        GTEST_SKIP() << "too slow under the emulator";
    }
    auto lineOf = [](int i, const std::string& type) {
        char location[16];
        std::snprintf(location, sizeof(location), "%x\t%x", i / 256, i % 256);
        return "\t1\tm\ti\t" + type + "\tx\t" + location + "\t0\tU\tE\tS\t";
    };
    std::vector<std::string> file;
    for (int i = 0; i < adapters; ++i)
    {
        file.push_back(lineOf(i, std::string(420, '\xFF')));
    }
    writeInventory(file);
    // Nobody follows the start-up signals.
    changes.reset();
    added.reset();
    ASSERT_FALSE(nameOwned());
    daemon = std::make_unique<testkit::Process>(testkit::Process::Options{
        .argv = {std::getenv("NICSCOUT")}, .env = {}, .pathPrepend = {}});
    ASSERT_TRUE(daemon->waitForBusName(service)) << daemon->err();
    ASSERT_TRUE(testkit::waitUntil(
        [] {
        return testkit::busctl(
                   {"call", service, root, "org.freedesktop.DBus.Peer", "Ping"})
                   .status == 0;
        },
        std::chrono::minutes(3)));

    const std::string bound = "the bus carries messages of at most 33554432";
    for (int ask = 0; ask < 2; ++ask)
    {
        try
        {
            client->callMethod(service, "/",
                               "org.freedesktop.DBus.ObjectManager",
                               "GetManagedObjects");
            ADD_FAILURE() << "GetManagedObjects answered";
        }
        catch (const sdbus::SdBusError& e)
        {
            EXPECT_EQ(std::string(e.name()),
                      "org.freedesktop.DBus.Error.LimitsExceeded");
            EXPECT_THAT(e.what(), HasSubstr(bound));
        }
    }
    const std::string last = root + std::string("/enp") +
                             std::to_string((adapters - 1) / 256) + "s" +
                             std::to_string((adapters - 1) % 256);
    auto get =
        testkit::busctl({"get-property", service, root + std::string("/enp0s0"),
                         iface, "Model", "SRIOV"});
    EXPECT_EQ(get.out, "s \"x\"\ns \"E\"\n") << get.err;
    EXPECT_EQ(
        testkit::busctl({"get-property", service, last, iface, "Slot"}).out,
        "s \"S\"\n");
    ASSERT_TRUE(daemon->running()) << daemon->err();
    // One line however often it is asked.
    std::string err = daemon->err();
    EXPECT_EQ(err.find(bound), err.rfind(bound)) << err;
    EXPECT_NE(err.find(bound), std::string::npos) << err;

    // Once the values shrink the reply fits again.
    file.clear();
    for (int i = 0; i < adapters; ++i)
    {
        file.push_back(lineOf(i, "e"));
    }
    writeInventory(file);
    EXPECT_EQ(syncError(), "");
    auto all = testkit::busctl({"call", service, "/",
                                "org.freedesktop.DBus.ObjectManager",
                                "GetManagedObjects"});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_THAT(all.out, HasSubstr("a{oa{sa{sv}}} " +
                                   std::to_string(adapters + 1) + " "));
}

TEST_F(Nicscout, LostBusConnectionEndsTheDaemonWithStatusOne)
{
    std::optional<testkit::PrivateBus> own;
    own.emplace();
    testkit::Process lost(testkit::Process::Options{
        .argv = {std::getenv("NICSCOUT")}, .env = {}, .pathPrepend = {}});
    ASSERT_TRUE(lost.waitForBusName(service)) << lost.err();
    own.reset();
    EXPECT_EQ(lost.waitExit(), 1) << lost.err();
}

TEST_F(Nicscout, BadLineAtStartKeepsEarlierAdaptersAndTheDaemonServes)
{
    writeInventory(
        {line(Port{}), line(Port{.device = "zz"}), line(Port{.device = "1"})});
    start();
    ASSERT_TRUE(daemon->waitForOutput("device field \"zz\"", true));

    auto all = objects();
    EXPECT_EQ(all.count(enp59s0), 1U);
    EXPECT_EQ(all.count(enp59s1), 0U);

    writeInventory({line(Port{}), line(Port{.device = "1"})});
    EXPECT_TRUE(sync());
    EXPECT_EQ(objects().count(enp59s1), 1U);
}

TEST_F(Nicscout, PortFieldTextNamesThePortProperties)
{
    writeInventory({
        line(Port{.device = "a", .port = "a", .mac = "ma"}),
        line(Port{.device = "b", .port = "-1", .mac = "m-1"}),
        line(Port{.device = "c", .port = "7fffffff"}),
        line(Port{.device = "d", .port = std::string(300, '0')}),
    });
    start();
    auto all = objects();

    auto& a = all.at(root + std::string("/enp59s10"));
    EXPECT_EQ(a.at("PortCount"), "11");
    EXPECT_EQ(a.at("MACAddressa"), "ma");
    EXPECT_EQ(a.at("LinkStatusa"), "Up");
    EXPECT_EQ(a.at("Function10DeviceClass"), "Ethernet");

    auto& minus = all.at(root + std::string("/enp59s11"));
    EXPECT_EQ(minus.at("PortCount"), "0");
    EXPECT_EQ(minus.at("DeviceType"), "SingleFunction");
    for (const auto& [name, value] : minus)
    {
        EXPECT_EQ(name.find('-'), std::string::npos);
        EXPECT_NE(value, "m-1") << name;
    }

    EXPECT_EQ(all.at(root + std::string("/enp59s12")).at("PortCount"),
              "2147483648");

    // A name too long for D-Bus is skipped; the adapter is still there.
    auto& longName = all.at(root + std::string("/enp59s13"));
    EXPECT_EQ(longName.at("PortCount"), "1");
    EXPECT_EQ(longName.at("Function0FunctionType"), "Physical");
    EXPECT_EQ(longName.size(), 23U);
}

TEST_F(Nicscout, CrlfLinesAndBadUtf8AreServedSafely)
{
    writeInventory(
        {line(Port{}), line(Port{.device = "1", .manufacturer = "In\xFFtel"})},
        "\r\n");
    start();
    auto all = objects();
    EXPECT_EQ(all.at(enp59s0).at("CPU"), "CPU0\r");
    EXPECT_EQ(all.at(enp59s0).at("PortCount"), "1");
    EXPECT_EQ(all.at(enp59s1).at("Manufacturer"), "In\xEF\xBF\xBDtel");

    // Unchanged bytes map to unchanged values: nothing is signalled.
    EXPECT_TRUE(sync());
    EXPECT_TRUE(signals.empty()) << ::testing::PrintToString(signals);
}

TEST_F(Nicscout, ClientsCannotSetProperties)
{
    writeInventory({line(Port{})});
    start();
    auto result = testkit::busctl({"set-property", service, enp59s0, iface,
                                   "Manufacturer", "s", "Forged"});
    EXPECT_NE(result.status, 0);
    EXPECT_THAT(result.err, HasSubstr("not writable"));
    EXPECT_EQ(adapter(enp59s0).at("Manufacturer"), "Intel");
}

TEST_F(Nicscout, TakenBusNameEndsTheDaemonWithStatusOne)
{
    client->requestName(service);
    testkit::Process taken(testkit::Process::Options{
        .argv = {std::getenv("NICSCOUT")}, .env = {}, .pathPrepend = {}});
    EXPECT_EQ(taken.waitExit(), 1);
    EXPECT_THAT(taken.err(), HasSubstr("sd_bus_request_name"));
}

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv,
                             {.overlays = {"/var"},
                              .mkdirs = {"/var/lib/smbios"},
                              .ipc = false,
                              .journal = false});
}
