#include "testkit/commands.hpp"
#include "testkit/main.hpp"
#include "testkit/simulator.hpp"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace
{

using nlohmann::json;

constexpr const char* service = "xyz.openbmc_project.LED.GroupManager";
constexpr const char* path = "/xyz/openbmc_project/led/groups/system_fault";
constexpr const char* iface = "xyz.openbmc_project.Led.Group";

json config()
{
    return {{"services",
             {{{"name", service},
               {"objects",
                {{{"path", path},
                  {"interfaces",
                   {{iface,
                     {{"properties",
                       {{"Asserted", {"b", false}},
                        {"Dict", {"a{sv}", json::object()}},
                        {"ByNumber", {"a{ys}", json::object()}},
                        {"Bytes", {"ay", json::array()}}}}}}}}}}}}}},
            {"mapper", false}};
}

// The property as busctl reads it, in busctl's JSON form.
json busctlValue(const std::string& property)
{
    auto r = testkit::busctl(
        {"--json=short", "get-property", service, path, iface, property});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.status == 0 ? json::parse(r.out) : json();
}

// busctl's text form, for what its JSON form cannot show (integer keys).
std::string busctlText(const std::string& property)
{
    auto r = testkit::busctl({"get-property", service, path, iface, property});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

TEST(SimulatorTest, ServesItsConfigurationAndLogsCalls)
{
    testkit::Simulator sim(config());
    EXPECT_EQ(busctlValue("Asserted"), json({{"type", "b"}, {"data", false}}));
    EXPECT_EQ(sim.count("Get", "Asserted"), 1U);
    auto log = sim.callLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().service, service);
    EXPECT_EQ(log.back().path, path);
    sim.clearLog();
    EXPECT_EQ(sim.count("Get"), 0U);
}

TEST(SimulatorTest, SetPropertyCarriesNestedValues)
{
    testkit::Simulator sim(config());
    sim.setProperty(service, path, iface, "Dict", "a{sv}",
                    {{"Name", {"s", "fan0"}},
                     {"Ids", {"at", {1, 18446744073709551615ULL}}},
                     {"Nested", {"v", {"(ib)", {-5, true}}}}});
    EXPECT_EQ(busctlValue("Dict"), json::parse(R"J({"type":"a{sv}","data":{
                  "Ids":{"type":"at","data":[1,18446744073709551615]},
                  "Name":{"type":"s","data":"fan0"},
                  "Nested":{"type":"v","data":{"type":"(ib)",
                                                "data":[-5,true]}}}})J"));

    // Integer dict keys, from a JSON object or from pairs.
    sim.setProperty(service, path, iface, "ByNumber", "a{ys}",
                    {{"7", "seven"}});
    EXPECT_EQ(busctlText("ByNumber"), "a{ys} 1 7 \"seven\"\n");
    sim.setProperty(service, path, iface, "ByNumber", "a{ys}",
                    json::array({json::array({3, "three"})}));
    EXPECT_EQ(busctlText("ByNumber"), "a{ys} 1 3 \"three\"\n");

    sim.setProperty(service, path, iface, "Bytes", "ay", "AB");
    EXPECT_EQ(busctlValue("Bytes")["data"], json({65, 66}));
}

TEST(SimulatorTest, MismatchedValuesAreRefusedBeforeSending)
{
    testkit::Simulator sim(config());
    EXPECT_THROW(sim.setProperty(service, path, iface, "Asserted", "y", 256),
                 std::invalid_argument);
    EXPECT_THROW(sim.setProperty(service, path, iface, "Asserted", "b", 1),
                 std::invalid_argument);
    EXPECT_THROW(sim.setProperty(service, path, iface, "Asserted", "(is)", {1}),
                 std::invalid_argument);
    EXPECT_THROW(
        sim.setProperty(service, path, iface, "Asserted", "a{sv}", {{"k", 1}}),
        std::invalid_argument);
    EXPECT_THROW(sim.setProperty(service, path, iface, "Asserted", "u", -1),
                 std::invalid_argument);
    EXPECT_EQ(busctlValue("Asserted")["data"], false);
}

TEST(SimulatorTest, ErrorsAndAbsenceReachClients)
{
    testkit::Simulator sim(config());
    sim.setError(service, "Get", "org.example.Error.Broken", "it broke");
    auto r =
        testkit::busctl({"get-property", service, path, iface, "Asserted"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("it broke"), std::string::npos) << r.err;
    sim.setError(service, "Get", "", "");
    EXPECT_EQ(busctlValue("Asserted")["data"], false);

    sim.setAbsent(service, true);
    EXPECT_NE(testkit::busctl({"status", service}).status, 0);
    sim.setAbsent(service, false);
    EXPECT_EQ(testkit::busctl({"status", service}).status, 0);
}

} // namespace

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {});
}
