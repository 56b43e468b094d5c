// The three health objects as clients see them: start values, the object
// manager, signals on change only, refused writes, one instance at a time,
// and a restart.

#include "hub.hpp"
#include "sdbus/error.hpp"
#include "testkit/commands.hpp"

#include <map>
#include <variant>

namespace vigilhub::test
{
namespace
{

const std::string monitorFile = "../git/src/monitor";

std::string ownerOf(sdbus::Bus& bus, const std::string& name)
{
    return bus
        .callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "GetNameOwner", name)
        .unpack<std::string>();
}

TEST_F(HubTest, StartsWithThreeTrueFlagsListedByTheObjectManager)
{
    startSim();
    startHub();

    EXPECT_TRUE(health("fan"));
    EXPECT_TRUE(health("power"));
    EXPECT_TRUE(health("disk"));

    using Props = std::map<std::string, std::variant<bool>>;
    auto objects =
        client
            ->callMethod(hubService, "/", "org.freedesktop.DBus.ObjectManager",
                         "GetManagedObjects")
            .unpack<
                std::map<sdbus::ObjectPath, std::map<std::string, Props>>>();
    ASSERT_EQ(objects.size(), 3U);
    for (const char* name : {"fan", "power", "disk"})
    {
        auto object = objects.find(sdbus::ObjectPath(hubBase + name));
        ASSERT_NE(object, objects.end()) << name;
        ASSERT_TRUE(object->second.contains(statusIntf)) << name;
        EXPECT_EQ(object->second[statusIntf], (Props{{"Health", true}}))
            << name;
    }

    EXPECT_TRUE(waitEntry(entry(6, "../git/src/health", 57, "start",
                                "Start health monitor. current health "
                                "state: 1")));
    EXPECT_TRUE(waitEntry(
        entry(6, "../git/src/led", 49, "safeAssert", safeAssertText(0, 0))));
    // The group was already de-asserted: read, never written.
    EXPECT_EQ(sim->count("Get", "Asserted"), 1U);
    EXPECT_EQ(sim->count("Set"), 0U);
}

TEST_F(HubTest, ChangedWriteSignalsOnceAndUnchangedWriteNever)
{
    startSim();
    startHub();
    SignalWatch watch;
    const std::string owner = ownerOf(*client, hubService);
    const std::string power = hubBase + "power";
    auto fromHubAt =
        [&](const std::vector<Signal>& all, const std::string& path) {
        std::vector<Signal> out;
        for (const auto& s : all)
        {
            if (s.sender == owner && s.path == path)
            {
                out.push_back(s);
            }
        }
        return out;
    };

    setHealth("power", false);
    ASSERT_TRUE(watch.waitFor([&](const std::vector<Signal>& all) {
        return !fromHubAt(all, power).empty();
    }));
    setHealth("power", false);
    EXPECT_FALSE(health("power"));

    // One sender's signals arrive in order: once the disk signal is here,
    // a signal of the second power write would be too.
    setHealth("disk", false);
    ASSERT_TRUE(watch.waitFor([&](const std::vector<Signal>& all) {
        return !fromHubAt(all, hubBase + "disk").empty();
    }));

    auto signals = fromHubAt(watch.poll(), power);
    ASSERT_EQ(signals.size(), 1U);
    EXPECT_EQ(signals[0].interface, statusIntf);
    EXPECT_EQ(signals[0].health, false);
    EXPECT_EQ(signals[0].changedCount, 1U);
    EXPECT_EQ(signals[0].invalidatedCount, 0U);
    EXPECT_TRUE(fromHubAt(watch.poll(), hubBase + "fan").empty());
}

TEST_F(HubTest, RefusesWrongTypesAndWritersThatAreNotRoot)
{
    startSim();
    startHub();
    const std::string fan = hubBase + "fan";

    auto refused = [&](const auto& value) {
        try
        {
            client->callMethod(hubService, fan, propsIntf, "Set", statusIntf,
                               std::string("Health"), value);
            return std::string("accepted");
        }
        catch (const sdbus::SdBusError& e)
        {
            return std::string(e.name());
        }
    };
    EXPECT_EQ(refused(std::variant<std::string>("false")),
              "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(refused(std::variant<int32_t>(0)),
              "org.freedesktop.DBus.Error.InvalidArgs");

    const std::vector<std::string> asNobody = {
        "setpriv",        "--reuid=65534", "--regid=65534",
        "--clear-groups", "busctl",        "--system"};
    auto as = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = asNobody;
        argv.insert(argv.end(), args.begin(), args.end());
        return testkit::run(argv);
    };
    auto write = as(
        {"set-property", hubService, fan, statusIntf, "Health", "b", "false"});
    EXPECT_NE(write.status, 0);
    EXPECT_NE(write.err.find("Access denied"), std::string::npos) << write.err;
    // Reading stays open to everyone.
    auto read = as({"get-property", hubService, fan, statusIntf, "Health"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, "b true\n");

    EXPECT_TRUE(health("fan"));
    EXPECT_EQ(sim->count("Get", "Asserted"), 1U);
    EXPECT_EQ(sim->count("Set"), 0U);
}

TEST_F(HubTest, SecondInstanceEndsAndRestartStartsAllTrue)
{
    startSim();
    startHub();
    setHealth("fan", false);
    ASSERT_TRUE(waitLedCalls("Set", "Asserted=true", 1));
    const std::string owner = ownerOf(*client, hubService);

    auto second = launchHub();
    EXPECT_EQ(second->waitExit(), 255) << second->err();
    EXPECT_TRUE(waitEntry(
        entryStarting(4, monitorFile, 34, "main", "sd_bus_request_name")));
    EXPECT_TRUE(hub->running());
    EXPECT_EQ(ownerOf(*client, hubService), owner);
    EXPECT_FALSE(health("fan"));

    // Nothing is kept across a restart; the group left asserted by the
    // first instance is cleared.
    hub->terminate();
    sim->clearLog();
    startHub();
    EXPECT_TRUE(health("fan"));
    EXPECT_TRUE(health("power"));
    EXPECT_TRUE(health("disk"));
    EXPECT_TRUE(waitEntry(
        entry(6, "../git/src/led", 49, "safeAssert", safeAssertText(1, 0))));
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=false", 1));
}

} // namespace
} // namespace vigilhub::test
