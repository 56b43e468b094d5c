// The combination of the flags and the system-fault LED group: calls only on
// transitions, failures of the LED group manager at start-up and while
// running and how they are made good, a manager that hangs, signals that
// cannot be read, and writes answered while the start-up call is pending.

#include "hub.hpp"
#include "testkit/commands.hpp"
#include "testkit/wait.hpp"

namespace vigilhub::test
{
namespace
{

using json = nlohmann::json;

const std::string healthFile = "../git/src/health";
const std::string monitorFile = "../git/src/monitor";

EntryMatch processed(int idx, int value, int current, int newStatus)
{
    return entry(6, healthFile, 93, "propertiesChanged",
                 changed(idx, value, current, newStatus));
}

EntryMatch ignoredSignal()
{
    return entryStarting(4, healthFile, 77, "propertiesChanged",
                         "Ignoring unreadable properties changed signal. "
                         "idx: 0, ");
}

EntryMatch foreignSignal()
{
    return entryStarting(4, healthFile, 82, "propertiesChanged",
                         "Ignoring properties changed signal of another "
                         "sender. idx: 0, sender: ");
}

EntryMatch ledFailed(int asserted, const std::string& error)
{
    return entry(4, healthFile, 111, "propertiesChanged",
                 "Safe assert failed, will retry on the next change. name: "
                 "system_fault, asserted: " +
                     std::to_string(asserted) + ", error: " + error);
}

TEST_F(HubTest, LedGroupIsCalledOnlyWhenTheOverallStateChanges)
{
    startSim();
    startHub();
    sim->clearLog();

    setHealth("fan", false);
    EXPECT_TRUE(waitEntry(processed(0, 0, 1, 0)));
    EXPECT_TRUE(waitEntry(
        entry(6, "../git/src/led", 49, "safeAssert", safeAssertText(0, 1))));
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=true", 1));

    setHealth("disk", false);
    EXPECT_TRUE(waitEntry(processed(2, 0, 0, 0)));
    setHealth("fan", true);
    EXPECT_TRUE(waitEntry(processed(0, 1, 0, 0)));
    setHealth("disk", true);
    EXPECT_TRUE(waitEntry(processed(2, 1, 0, 1)));
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=false", 1));

    // The writes between the two transitions made no call: the calls of
    // the last transition come after theirs in the log.
    EXPECT_EQ(sim->count("Get", "Asserted"), 2U);
    EXPECT_EQ(sim->count("Set"), 2U);
    EXPECT_TRUE(hub->running());
}

TEST_F(HubTest, MissingLedGroupManagerEndsStartUp)
{
    startSim();
    sim->setAbsent(ledService, true);
    auto absent = launchHub();
    EXPECT_EQ(absent->waitExit(), 255) << absent->err();
    EXPECT_TRUE(waitEntry(entryStarting(
        4, monitorFile, 34, "main",
        "sd_bus_call: org.freedesktop.DBus.Error.ServiceUnknown")));

    // Present, but without an answer for the group.
    sim->setAbsent(ledService, false);
    sim->setError(ledService, "Get", "org.freedesktop.DBus.Error.UnknownObject",
                  "no such group");
    auto refused = launchHub();
    EXPECT_EQ(refused->waitExit(), 255) << refused->err();
    EXPECT_TRUE(waitEntry(entry(4, monitorFile, 34, "main",
                                "sd_bus_call: "
                                "org.freedesktop.DBus.Error.UnknownObject: "
                                "no such group")));

    // Present, but answering too late.
    sim->setError(ledService, "Get", "", "");
    sim->setDelay(ledService, 6000);
    auto hung = launchHub();
    EXPECT_EQ(hung->waitExit(), 255) << hung->err();
    EXPECT_TRUE(waitEntry(
        entryStarting(4, monitorFile, 34, "main",
                      "sd_bus_call: org.freedesktop.DBus.Error.Timeout")));
}

TEST_F(HubTest, UnreadableAndForeignSignalsAreIgnored)
{
    startSim();
    startHub();
    sim->clearLog();
    const std::string fan = hubBase + "fan";

    // From a client of the test: a dictionary of the wrong type.
    auto sent =
        testkit::busctl({"emit", fan, propsIntf, "PropertiesChanged",
                         "sa{si}as", statusIntf, "1", "Health", "0", "0"});
    ASSERT_EQ(sent.status, 0) << sent.err;
    ASSERT_TRUE(waitEntry(ignoredSignal()));

    // From the simulator: no dictionary at all, then a Health that is not
    // a boolean.
    sim->emitRaw(ledService, fan, propsIntf, "PropertiesChanged", "s",
                 json::array({statusIntf}));
    sim->emitRaw(
        ledService, fan, propsIntf, "PropertiesChanged", "sa{sv}as",
        json::array({statusIntf, {{"Health", {"s", "false"}}}, json::array()}));
    // Ignored without an entry: no Health, and another interface (never
    // delivered).
    sim->emitRaw(
        ledService, fan, propsIntf, "PropertiesChanged", "sa{sv}as",
        json::array({statusIntf, {{"Other", {"b", false}}}, json::array()}));
    sim->emitRaw(ledService, fan, propsIntf, "PropertiesChanged", "sa{sv}as",
                 json::array({"xyz.openbmc_project.Other",
                              {{"Health", {"b", false}}},
                              json::array()}));
    // Well-formed signals of other senders change nothing; the first is
    // logged, the next within a minute is not.
    for (int i = 0; i < 2; ++i)
    {
        sim->emitRaw(
            ledService, fan, propsIntf, "PropertiesChanged", "sa{sv}as",
            json::array(
                {statusIntf, {{"Health", {"b", false}}}, json::array()}));
    }
    sent = testkit::busctl({"emit", fan, propsIntf, "PropertiesChanged",
                            "sa{sv}as", statusIntf, "1", "Health", "b", "false",
                            "0"});
    ASSERT_EQ(sent.status, 0) << sent.err;
    ASSERT_TRUE(waitEntry(foreignSignal()));

    // The service's own change, written after them, is the first acted on.
    setHealth("power", false);
    EXPECT_TRUE(waitEntry(processed(1, 0, 1, 0)));
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=true", 1));
    EXPECT_EQ(sim->count("Set"), 1U);
    EXPECT_EQ(countEntries(ignoredSignal()), 3U);
    EXPECT_EQ(countEntries(foreignSignal()), 1U);
    EXPECT_EQ(countEntries([](const Entry& e) {
                  auto func = e.find("CODE_FUNC");
                  return func != e.end() && func->second == "propertiesChanged";
              }),
              5U);
    EXPECT_TRUE(hub->running());
    // The fan flag was not written.
    EXPECT_TRUE(health("fan"));
}

TEST_F(HubTest, LedFailureWhileRunningIsRetriedOnTheNextChange)
{
    startSim();
    startHub();
    sim->clearLog();

    sim->setError(ledService, "Set", "org.freedesktop.DBus.Error.Failed",
                  "group broken");
    setHealth("fan", false);
    EXPECT_TRUE(waitEntry(ledFailed(
        1, "sd_bus_call: org.freedesktop.DBus.Error.Failed: group broken")));
    EXPECT_TRUE(hub->running());
    EXPECT_FALSE(health("fan"));

    // The overall state stayed true, so the next change asserts again.
    sim->setError(ledService, "Set", "", "");
    setHealth("disk", false);
    EXPECT_TRUE(waitEntry(processed(2, 0, 1, 0)));
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=true", 2));

    // The manager gone: the clearing fails and the state stays false.
    sim->setAbsent(ledService, true);
    setHealth("fan", true);
    setHealth("disk", true);
    EXPECT_TRUE(waitEntry(processed(2, 1, 0, 1)));
    EXPECT_TRUE(waitEntry(entryStarting(
        4, healthFile, 111, "propertiesChanged",
        "Safe assert failed, will retry on the next change. name: "
        "system_fault, asserted: 0, error: sd_bus_call: "
        "org.freedesktop.DBus.Error.ServiceUnknown")));
    EXPECT_TRUE(hub->running());

    // Back again: the group is cleared with no further change of a flag.
    sim->setAbsent(ledService, false);
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=false", 1, 15s));
    EXPECT_EQ(sim->count("Get", "Asserted"), 3U);
    setHealth("power", false);
    EXPECT_TRUE(waitEntry(processed(1, 0, 1, 0)));
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=true", 3));
    EXPECT_TRUE(hub->running());
}

TEST_F(HubTest, ReturningLedManagerGetsTheCurrentState)
{
    startSim();
    startHub();
    sim->clearLog();

    // Away while a fault is set: shown once it is back.
    sim->setAbsent(ledService, true);
    setHealth("fan", false);
    EXPECT_TRUE(waitEntry(entryStarting(
        4, healthFile, 111, "propertiesChanged",
        "Safe assert failed, will retry on the next change. name: "
        "system_fault, asserted: 1, error: sd_bus_call: "
        "org.freedesktop.DBus.Error.ServiceUnknown")));
    sim->setAbsent(ledService, false);
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=true", 1, 15s));

    // Restarted with its group cleared, though no call had failed.
    sim->setAbsent(ledService, true);
    sim->setProperty(ledService, faultGroup, "xyz.openbmc_project.Led.Group",
                     "Asserted", "b", false);
    sim->setAbsent(ledService, false);
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=true", 2, 15s));
    EXPECT_TRUE(hub->running());
}

TEST_F(HubTest, HungLedManagerHoldsNoClientAndIsRetried)
{
    startSim();
    startHub();
    sim->clearLog();

    // It keeps its name but answers long after the service gave up.
    sim->setDelay(ledService, 6000);
    setHealth("fan", false);
    const auto changed = std::chrono::steady_clock::now();
    EXPECT_FALSE(health("fan"));
    EXPECT_LT(std::chrono::steady_clock::now() - changed, 3s);
    EXPECT_TRUE(waitEntry(entryStarting(
        4, healthFile, 111, "propertiesChanged",
        "Safe assert failed, will retry on the next change. name: "
        "system_fault, asserted: 1, error: sd_bus_call: "
        "org.freedesktop.DBus.Error.Timeout")));

    // Answering again, with its name never lost: the timer's retry asserts.
    sim->setDelay(ledService, 0);
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=true", 1, 15s));
    EXPECT_TRUE(hub->running());
}

TEST_F(HubTest, WriteIsAnsweredWhileStartUpLedCallIsDelayed)
{
    startSim();
    // Late, but within the time the service waits.
    sim->setDelay(ledService, 1500);
    hub = launchHub();
    ASSERT_TRUE(hub->waitForBusName(hubService)) << hub->err();
    ASSERT_TRUE(testkit::waitUntil(
        [&] { return sim->count("Get", "Asserted") == 1; }, 10s));

    // Sent while start-up waits for the LED group manager.
    setHealth("fan", false);
    sim->setDelay(ledService, 0);
    EXPECT_FALSE(health("fan"));
    EXPECT_TRUE(waitEntry(processed(0, 0, 1, 0), 20s));
    EXPECT_TRUE(waitLedCalls("Set", "Asserted=true", 1, 20s));
    EXPECT_TRUE(hub->running());
}

} // namespace
} // namespace vigilhub::test
