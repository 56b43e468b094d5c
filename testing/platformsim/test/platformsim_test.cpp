#include "bus_client.hpp"
#include "testkit/commands.hpp"
#include "testkit/process.hpp"
#include "testkit/simulator.hpp"
#include "testkit/tempdir.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace platformsim::test
{
namespace
{

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* led = "xyz.openbmc_project.LED.GroupManager";
constexpr const char* groups = "/xyz/openbmc_project/led/groups";
constexpr const char* fault = "/xyz/openbmc_project/led/groups/system_fault";
constexpr const char* ledGroup = "xyz.openbmc_project.Led.Group";
constexpr const char* fans = "xyz.openbmc_project.FanSensor";
constexpr const char* fan0 = "/xyz/openbmc_project/sensors/fan_tach/fan0";
constexpr const char* value = "xyz.openbmc_project.Sensor.Value";
constexpr const char* redundancy = "xyz.openbmc_project.Control.FanRedundancy";
constexpr const char* logging = "xyz.openbmc_project.Logging";
constexpr const char* entry = "/xyz/openbmc_project/logging/entry";
constexpr const char* entryIface = "xyz.openbmc_project.Logging.Entry";
constexpr const char* mapper = "xyz.openbmc_project.ObjectMapper";
constexpr const char* mapperPath = "/xyz/openbmc_project/object_mapper";
constexpr const char* props = "org.freedesktop.DBus.Properties";
constexpr const char* invalidArgs = "org.freedesktop.DBus.Error.InvalidArgs";

json config()
{
    return json::parse(R"({"services": [
      {"name": "xyz.openbmc_project.LED.GroupManager",
       "objectManager": "/xyz/openbmc_project/led/groups",
       "objects": [{"path": "/xyz/openbmc_project/led/groups/system_fault",
         "interfaces": {"xyz.openbmc_project.Led.Group":
           {"properties": {"Asserted": ["b", false]}}}}]},
      {"name": "xyz.openbmc_project.FanSensor", "objects": [
        {"path": "/xyz/openbmc_project/sensors/fan_tach/fan0", "interfaces": {
          "xyz.openbmc_project.Sensor.Value": {"properties": {
            "Value": ["d", 4200.5], "Scale": ["x", -3],
            "Unit": ["s", "xyz.openbmc_project.Sensor.Value.Unit.RPMS"]}},
          "xyz.openbmc_project.State.Decorator.OperationalStatus":
            {"properties": {"Functional": ["b", true]}}}},
        {"path": "/xyz/openbmc_project/sensors/fan_tach/fan1", "interfaces": {
          "xyz.openbmc_project.Sensor.Value":
            {"properties": {"Value": ["d", 0]}}}},
        {"path": "/xyz/openbmc_project/control/redundancy/tach", "interfaces": {
          "xyz.openbmc_project.Control.FanRedundancy": {"properties": {
            "Status": ["s", "xyz.openbmc_project.Control.FanRedundancy.State.Full"],
            "Collection": ["ao", ["/xyz/openbmc_project/sensors/fan_tach/fan0"]]}}}}]},
      {"name": "xyz.openbmc_project.Logging", "objects": [
        {"path": "/xyz/openbmc_project/logging", "interfaces": {
          "xyz.openbmc_project.Logging.Create":
            {"methods": {"Create": {"in": "ssa{ss}"}}}}},
        {"path": "/xyz/openbmc_project/logging/entry", "interfaces": {
          "xyz.openbmc_project.Logging.Entry": {"methods": {
            "error": {"in": "s"},
            "Count": {"out": "ua{sv}", "reply": [3, {"k": ["s", "v"]}]},
            "Defaults": {"out": "sbo"},
            "Refuse": {"error": {"name": "xyz.openbmc_project.Common.Error.NotAllowed",
                                 "message": "not now"}}}}}}]}]})");
}

std::string propertiesRule(const std::string& path)
{
    return "type='signal',interface='org.freedesktop.DBus.Properties',"
           "member='PropertiesChanged',path='" +
           path + "'";
}

class PlatformSim : public ::testing::Test
{
  protected:
    testkit::Simulator sim{config()};
    BusClient client;

    Reply get(const std::string& service, const std::string& path,
              const std::string& interface, const std::string& property)
    {
        return client.call(service, path, props, "Get", "ss",
                           json::array({interface, property}));
    }

    Reply set(const std::string& service, const std::string& path,
              const std::string& interface, const std::string& property,
              const std::string& sig, const json& v)
    {
        return client.call(
            service, path, props, "Set", "ssv",
            json::array({interface, property, json::array({sig, v})}));
    }
};

TEST_F(PlatformSim, GetAnswersTypedValues)
{
    auto out = [](const std::vector<std::string>& args) {
        auto r = testkit::busctl(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    EXPECT_EQ(out({"get-property", fans, fan0, value, "Value", "Scale"}),
              "d 4200.5\nx -3\n");
    EXPECT_EQ(out({"get-property", fans,
                   "/xyz/openbmc_project/control/redundancy/tach", redundancy,
                   "Collection"}),
              "ao 1 \"/xyz/openbmc_project/sensors/fan_tach/fan0\"\n");
    auto all =
        client.call(fans, fan0, props, "GetAll", "s", json::array({value}));
    ASSERT_EQ(all.error, "");
    EXPECT_EQ(all.values[0], json::parse(R"([["Scale", ["x", -3]],
        ["Unit", ["s", "xyz.openbmc_project.Sensor.Value.Unit.RPMS"]],
        ["Value", ["d", 4200.5]]])"));
}

TEST_F(PlatformSim, SetStoresAndSignalsOnlyChanges)
{
    client.watch(propertiesRule(fault));
    EXPECT_EQ(testkit::busctl({"set-property", led, fault, ledGroup, "Asserted",
                               "b", "true"})
                  .status,
              0);
    EXPECT_EQ(set(led, fault, ledGroup, "Asserted", "b", true).error, "");
    EXPECT_EQ(set(led, fault, ledGroup, "Asserted", "b", false).error, "");
    ASSERT_TRUE(client.waitFor([&] { return client.signals().size() >= 2; }));
    // Signals come in order, so an echo of the unchanged write would sit
    // between these two.
    ASSERT_EQ(client.signals().size(), 2U);
    EXPECT_EQ(client.signals()[0].args,
              json::parse(R"(["xyz.openbmc_project.Led.Group",
                              [["Asserted", ["b", true]]], []])"));
    EXPECT_EQ(client.signals()[1].args[1],
              json::parse(R"([["Asserted", ["b", false]]])"));
    EXPECT_EQ(get(led, fault, ledGroup, "Asserted").values[0],
              json::array({"b", false}));
}

TEST_F(PlatformSim, SetOfAnotherTypeIsRefused)
{
    client.watch(propertiesRule(fault));
    auto reply = set(led, fault, ledGroup, "Asserted", "i", 1);
    EXPECT_EQ(reply.error, invalidArgs);
    EXPECT_EQ(testkit::busctl({"set-property", led, fault, ledGroup, "Asserted",
                               "s", "true"})
                      .status == 0,
              false);
    EXPECT_EQ(get(led, fault, ledGroup, "Asserted").values[0],
              json::array({"b", false}));
    EXPECT_EQ(client
                  .call(led, fault, props, "Set", "ss",
                        json::array({ledGroup, "Asserted"}))
                  .error,
              invalidArgs);
    client.waitFor([] { return false; }, std::chrono::milliseconds(0));
    EXPECT_TRUE(client.signals().empty());
}

TEST_F(PlatformSim, UnknownNamesAnswerTheirErrors)
{
    EXPECT_EQ(get(led, fault, ledGroup, "Nope").error,
              "org.freedesktop.DBus.Error.UnknownProperty");
    EXPECT_EQ(get(led, fault, "xyz.Nope", "Asserted").error,
              "org.freedesktop.DBus.Error.UnknownInterface");
    EXPECT_EQ(get(led, "/nope", ledGroup, "Asserted").error,
              "org.freedesktop.DBus.Error.UnknownObject");
    EXPECT_EQ(client.call(logging, entry, entryIface, "Nope").error,
              "org.freedesktop.DBus.Error.UnknownMethod");
    EXPECT_EQ(set(led, fault, ledGroup, "Nope", "b", true).error,
              "org.freedesktop.DBus.Error.UnknownProperty");
}

TEST_F(PlatformSim, MapperAnswersFromPresentServices)
{
    auto getObject = [&](const std::string& path, const json& interfaces) {
        return client.call(mapper, mapperPath, mapper, "GetObject", "sas",
                           json::array({path, interfaces}));
    };
    auto subTree =
        [&](const std::string& root, int depth, const json& interfaces) {
        return client.call(mapper, mapperPath, mapper, "GetSubTree", "sias",
                           json::array({root, depth, interfaces}));
    };
    EXPECT_EQ(getObject(fan0, json::array()).values[0],
              json::parse(R"([["xyz.openbmc_project.FanSensor",
                  ["xyz.openbmc_project.Sensor.Value",
                   "xyz.openbmc_project.State.Decorator.OperationalStatus"]]])"));
    EXPECT_EQ(getObject(fan0, json::array({ledGroup})).error,
              "xyz.openbmc_project.Common.Error.ResourceNotFound");
    EXPECT_EQ(getObject("/nope", json::array()).error,
              "xyz.openbmc_project.Common.Error.ResourceNotFound");

    EXPECT_EQ(subTree("/", 0, json::array({redundancy})).values[0],
              json::parse(R"([["/xyz/openbmc_project/control/redundancy/tach",
                  [["xyz.openbmc_project.FanSensor",
                    ["xyz.openbmc_project.Control.FanRedundancy"]]]]])"));
    auto paths = [](const Reply& reply) {
        std::vector<std::string> out;
        for (const auto& item : reply.values.at(0))
        {
            out.push_back(item[0]);
        }
        return out;
    };
    EXPECT_THAT(
        paths(subTree("/xyz/openbmc_project/sensors", 1, json::array())),
        ElementsAre());
    EXPECT_THAT(
        paths(subTree("/xyz/openbmc_project/sensors", 2, json::array())),
        ElementsAre(fan0, "/xyz/openbmc_project/sensors/fan_tach/fan1"));

    sim.setAbsent(fans, true);
    EXPECT_EQ(client.ownerOf(fans), "");
    EXPECT_THAT(paths(subTree("/", 0, json::array())),
                ElementsAre(fault, "/xyz/openbmc_project/logging", entry));
    EXPECT_EQ(get(fans, fan0, value, "Value").error,
              "org.freedesktop.DBus.Error.ServiceUnknown");
    sim.setAbsent(fans, false);
    EXPECT_EQ(paths(subTree("/", 0, json::array())).size(), 6U);
    EXPECT_EQ(get(fans, fan0, value, "Value").values[0],
              json::array({"d", 4200.5}));
}

TEST_F(PlatformSim, InjectedErrorsAnswerTheMember)
{
    sim.setError(led, "Get", "xyz.openbmc_project.Common.Error.InternalFailure",
                 "broken");
    auto reply = get(led, fault, ledGroup, "Asserted");
    EXPECT_EQ(reply.error, "xyz.openbmc_project.Common.Error.InternalFailure");
    EXPECT_EQ(reply.message, "broken");
    EXPECT_EQ(
        client.call(led, fault, props, "GetAll", "s", json::array({ledGroup}))
            .error,
        "");
    sim.setError(mapper, "GetObject", "org.freedesktop.DBus.Error.Timeout");
    EXPECT_EQ(client
                  .call(mapper, mapperPath, mapper, "GetObject", "sas",
                        json::array({fault, json::array()}))
                  .error,
              "org.freedesktop.DBus.Error.Timeout");
    sim.setError(led, "Get", "");
    EXPECT_EQ(get(led, fault, ledGroup, "Asserted").error, "");
    EXPECT_THROW(sim.setError(led, "Get", "not an error name"),
                 std::runtime_error);
    EXPECT_THROW(sim.setError("no.such.Service", "Get", "a.b"),
                 std::runtime_error);
}

TEST_F(PlatformSim, DelayedServiceHoldsNoOtherService)
{
    // Far longer than the test, so the reply cannot have come yet.
    sim.setDelay(led, 600000);
    client.callAsync("led", led, fault, props, "Get", "ss",
                     json::array({ledGroup, "Asserted"}));
    auto reply = client.call(mapper, mapperPath, mapper, "GetObject", "sas",
                             json::array({fault, json::array()}));
    EXPECT_EQ(reply.error, "");
    EXPECT_TRUE(client.asyncReplies().empty());
    // The delayed call was received and logged all the same.
    EXPECT_EQ(sim.count("Get", "Asserted"), 1U);
}

TEST_F(PlatformSim, DelayedRepliesComeInOrder)
{
    sim.setDelay(led, 100);
    client.callAsync("get", led, fault, props, "Get", "ss",
                     json::array({ledGroup, "Asserted"}));
    client.callAsync("set", led, fault, props, "Set", "ssv",
                     json::array({ledGroup, "Asserted", {"b", true}}));
    sim.setDelay(led, 0);
    client.callAsync("after", led, fault, props, "Get", "ss",
                     json::array({ledGroup, "Asserted"}));
    ASSERT_TRUE(
        client.waitFor([&] { return client.asyncReplies().size() == 3; }));
    const auto& replies = client.asyncReplies();
    EXPECT_EQ(replies[0].first, "get");
    EXPECT_EQ(replies[0].second.values[0], json::array({"b", false}));
    EXPECT_EQ(replies[1].first, "set");
    EXPECT_EQ(replies[2].first, "after");
    EXPECT_EQ(replies[2].second.values[0], json::array({"b", true}));
}

TEST_F(PlatformSim, CallLogRecordsEveryCall)
{
    sim.clearLog();
    EXPECT_EQ(
        testkit::busctl({"get-property", led, fault, ledGroup, "Asserted"})
            .status,
        0);
    EXPECT_EQ(set(led, fault, ledGroup, "Asserted", "b", true).error, "");
    client.call(led, fault, props, "GetAll", "s", json::array({ledGroup}));
    EXPECT_EQ(testkit::busctl({"call", logging, "/xyz/openbmc_project/logging",
                               "xyz.openbmc_project.Logging.Create", "Create",
                               "ssa{ss}", "1.3.6.1.4.1.61842.1.1.1.500.11.5.3",
                               "xyz.openbmc_project.Logging.Entry.Level.Error",
                               "1", "1.3.6.1.4.1.61842.1.1.1.500.1.2", "sFAN2"})
                  .status,
              0);
    // Arguments that do not fit are answered with an error but logged.
    EXPECT_EQ(
        client.call(logging, entry, entryIface, "error", "i", json::array({5}))
            .error,
        invalidArgs);

    auto log = sim.callLog();
    ASSERT_EQ(log.size(), 5U);
    EXPECT_EQ(log[0].service, led);
    EXPECT_EQ(log[0].path, fault);
    EXPECT_EQ(log[0].interface, props);
    EXPECT_EQ(log[0].member, "Get");
    EXPECT_EQ(log[0].detail, "Asserted");
    EXPECT_EQ(log[1].detail, "Asserted=true");
    EXPECT_EQ(log[2].member, "GetAll");
    EXPECT_EQ(log[2].detail, ledGroup);
    EXPECT_EQ(log[3].member, "Create");
    EXPECT_EQ(log[3].detail,
              "s \"1.3.6.1.4.1.61842.1.1.1.500.11.5.3\" "
              "s \"xyz.openbmc_project.Logging.Entry.Level.Error\" "
              "a{ss} 1 \"1.3.6.1.4.1.61842.1.1.1.500.1.2\" \"sFAN2\"");
    EXPECT_EQ(log[4].interface, entryIface);
    EXPECT_EQ(log[4].member, "error");
    EXPECT_EQ(log[4].detail, "i 5");

    // The wire form of the log, as any client sees it.
    auto raw =
        testkit::busctl({"call", "local.platformsim", "/local/platformsim",
                         "local.platformsim.Control", "CallLog"});
    EXPECT_THAT(raw.out, HasSubstr("a(sssss) 5 \"" + std::string(led)));
    sim.clearLog();
    EXPECT_TRUE(sim.callLog().empty());
}

TEST(PlatformSimLog, KeepsTheNewestCallsUpToItsLimit)
{
    auto limited = config();
    limited["callLogLimit"] = 3;
    testkit::Simulator sim(limited);
    sim.clearLog();
    for (const char* value : {"true", "false", "true", "false", "true"})
    {
        ASSERT_EQ(testkit::busctl({"set-property", led, fault, ledGroup,
                                   "Asserted", "b", value})
                      .status,
                  0);
    }
    auto log = sim.callLog();
    ASSERT_EQ(log.size(), 3U);
    EXPECT_EQ(log[0].detail, "Asserted=true");
    EXPECT_EQ(log[1].detail, "Asserted=false");
    EXPECT_EQ(log[2].detail, "Asserted=true");
}

TEST_F(PlatformSim, MethodsAnswerTheirConfiguredReplies)
{
    auto r = testkit::busctl({"call", logging, entry, entryIface, "Count"});
    EXPECT_EQ(r.out, "ua{sv} 3 1 \"k\" s \"v\"\n");
    EXPECT_EQ(client.call(logging, entry, entryIface, "Defaults").values,
              json::parse(R"(["", false, "/"])"));
    auto refused = client.call(logging, entry, entryIface, "Refuse");
    EXPECT_EQ(refused.error, "xyz.openbmc_project.Common.Error.NotAllowed");
    EXPECT_EQ(refused.message, "not now");
    auto logged = client.call(logging, entry, entryIface, "error", "s",
                              json::array({"disk failed"}));
    EXPECT_EQ(logged.error, "");
    EXPECT_TRUE(logged.values.empty());
    EXPECT_EQ(sim.count("error", "s \"disk failed\""), 1U);
}

TEST_F(PlatformSim, SetPropertyAlwaysEmits)
{
    client.watch(propertiesRule(fault));
    sim.setProperty(led, fault, ledGroup, "Asserted", "b", false);
    sim.setProperty(led, fault, ledGroup, "Asserted", "s", "bad");
    ASSERT_TRUE(client.waitFor([&] { return client.signals().size() == 2; }));
    EXPECT_EQ(client.signals()[0].args[1],
              json::parse(R"([["Asserted", ["b", false]]])"));
    EXPECT_EQ(client.signals()[1].args[1],
              json::parse(R"([["Asserted", ["s", "bad"]]])"));
    EXPECT_EQ(client.signals()[1].sender, client.ownerOf(led));
    EXPECT_EQ(get(led, fault, ledGroup, "Asserted").values[0],
              json::array({"s", "bad"}));
    EXPECT_THROW(sim.setProperty(led, fault, ledGroup, "Nope", "b", true),
                 std::runtime_error);
}

TEST_F(PlatformSim, EmitRawSendsFromTheServiceConnection)
{
    client.watch(propertiesRule(fan0));
    sim.emitRaw(fans, fan0, props, "PropertiesChanged", "sa{sv}as",
                json::parse(R"(["xyz.openbmc_project.Sensor.Value",
                                {"Value": ["s", "garbage"]}, []])"));
    sim.emitRaw(fans, fan0, props, "PropertiesChanged", "s",
                json::array({"only an interface"}));
    ASSERT_TRUE(client.waitFor([&] { return client.signals().size() == 2; }));
    EXPECT_EQ(client.signals()[0].sender, client.ownerOf(fans));
    EXPECT_EQ(client.signals()[0].args[1],
              json::parse(R"([["Value", ["s", "garbage"]]])"));
    EXPECT_EQ(client.signals()[1].args, json::array({"only an interface"}));
    EXPECT_THROW(sim.emitRaw(fans, fan0, props, "PropertiesChanged", "si",
                             json::array({"x"})),
                 std::runtime_error);
    EXPECT_THROW(sim.emitRaw(fans, "bad path", props, "PropertiesChanged", "",
                             json::array()),
                 std::runtime_error);
}

TEST_F(PlatformSim, AddedAndRemovedObjectsAreAnnounced)
{
    const std::string path = std::string(groups) + "/enclosure_identify";
    client.watch("type='signal',interface='org.freedesktop.DBus."
                 "ObjectManager',path='" +
                 std::string(groups) + "'");
    sim.addObject(
        led,
        json{{"path", path},
             {"interfaces",
              {{ledGroup, {{"properties", {{"Asserted", {"b", true}}}}}}}}});
    ASSERT_TRUE(client.waitFor([&] { return client.signals().size() == 1; }));
    EXPECT_EQ(client.signals()[0].member, "InterfacesAdded");
    EXPECT_EQ(
        client.signals()[0].args,
        json::parse(R"(["/xyz/openbmc_project/led/groups/enclosure_identify",
                  [["xyz.openbmc_project.Led.Group",
                    [["Asserted", ["b", true]]]]]])"));
    auto managed = client.call(
        led, groups, "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
    EXPECT_EQ(managed.values[0].size(), 2U);
    EXPECT_EQ(client
                  .call(mapper, mapperPath, mapper, "GetObject", "sas",
                        json::array({path, json::array()}))
                  .error,
              "");

    sim.removeObject(led, path);
    ASSERT_TRUE(client.waitFor([&] { return client.signals().size() == 2; }));
    EXPECT_EQ(client.signals()[1].member, "InterfacesRemoved");
    EXPECT_EQ(client.signals()[1].args,
              json::array({path, json::array({ledGroup})}));
    EXPECT_EQ(get(led, path, ledGroup, "Asserted").error,
              "org.freedesktop.DBus.Error.UnknownObject");
    EXPECT_THROW(sim.removeObject(led, path), std::runtime_error);
    EXPECT_THROW(
        sim.addObject(led, json{{"path", fault},
                                {"interfaces", {{ledGroup, json::object()}}}}),
        std::runtime_error);
}

TEST_F(PlatformSim, IntrospectionServesBusctl)
{
    auto r = testkit::busctl({"introspect", led, fault});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(".Asserted"));
    EXPECT_THAT(r.out, HasSubstr("property  b         false"));
    auto tree = testkit::busctl({"tree", logging});
    EXPECT_THAT(tree.out, HasSubstr(entry));
}

TEST(PlatformSimProcess, TracesAndEndsCleanly)
{
    testkit::Simulator sim(config(), true);
    EXPECT_EQ(testkit::busctl({"set-property", led, fault, ledGroup, "Asserted",
                               "b", "true"})
                  .status,
              0);
    EXPECT_TRUE(sim.process().waitForOutput(std::string("call ") + led + " " +
                                            fault + " " + props +
                                            " Set Asserted=true\n"));
    EXPECT_TRUE(sim.process().waitForOutput(
        std::string("signal ") + led + " " + fault + " " + props +
        " PropertiesChanged s \"xyz.openbmc_project.Led.Group\" "
        "a{sv} 1 \"Asserted\" b true as 0\n"));
    EXPECT_EQ(sim.process().terminate(), 0);
}

TEST(PlatformSimProcess, RefusesBadConfigurationAndTakenNames)
{
    testkit::TempDir dir;
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    };
    const char* exe = std::getenv("PLATFORMSIM");
    ASSERT_NE(exe, nullptr);

    testkit::Process bad(
        {{exe, "--config",
          write("bad.json", R"({"services": [{"nme": "a.b"}]})")},
         {},
         {}});
    EXPECT_EQ(bad.waitExit(), 1);
    EXPECT_THAT(bad.err(), HasSubstr("unknown key \"nme\""));

    testkit::Process usage({{exe}, {}, {}});
    EXPECT_EQ(usage.waitExit(), 2);

    testkit::Simulator first(config());
    testkit::Process second(
        {{exe, "--config", write("good.json", config().dump())}, {}, {}});
    EXPECT_EQ(second.waitExit(), 1);
    EXPECT_THAT(second.err(), HasSubstr("already owned"));
}

} // namespace
} // namespace platformsim::test
