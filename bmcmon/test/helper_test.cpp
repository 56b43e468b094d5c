// The helper's calls against the platform simulator on the private bus:
// what each operation sends and decodes, and what it does when the peer
// answers an error, is absent, or publishes properties of other types.

#include "bmcmon/dbus_helper.hpp"
#include "journal/journal.hpp"
#include "sim_fragments.hpp"
#include "testkit/journal.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/simulator.hpp"

#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using namespace std::chrono_literals;
using ::testing::StartsWith;
using json = nlohmann::json;

constexpr const char* settingsService = "xyz.openbmc_project.Settings";
constexpr const char* hostService = "xyz.openbmc_project.State.Host";
constexpr const char* hostPath = "/xyz/openbmc_project/state/host0";
constexpr const char* thermalPath = "/xyz/openbmc_project/control/thermal";
constexpr const char* capPath = "/xyz/openbmc_project/control/host0/power_cap";
constexpr const char* healthService = "xyz.openbmc_project.vigilhub";
constexpr const char* healthPath = "/xyz/openbmc_project/vigilhub/fan";
constexpr const char* loggingService = "xyz.openbmc_project.Logging";
constexpr const char* unknownService =
    "org.freedesktop.DBus.Error.ServiceUnknown";

std::string fan(const std::string& id)
{
    return std::string(fanPath) + id;
}

json platform()
{
    json services =
        settingsServices("xyz.openbmc_project.State.Host.HostState.Running",
                         "custom", {"u", 300}, {"b", true});
    json sensors = json::array(
        {sensorObject(fan("FAN0"), {"d", 3000.0}, 0, 0, 20000),
         sensorObject(fan("FAN1"), {"i", 3000}, -3, 0, 0, false, true),
         sensorObject(fan("FAN3"), {"d", 10.0}),
         {{"path", fan("FAN2")},
          {"interfaces",
           {{valueIntf, {{"properties", {{"Scale", {"i", -2}}}}}},
            {criticalIntf,
             {{"properties", {{"CriticalAlarmLow", {"b", true}}}}}}}}}});
    sensors[2]["interfaces"][valueIntf]["properties"]["MaxValue"] = {"s",
                                                                     "lots"};
    services.push_back(service(sensorService, sensors));
    // A second holder of FAN0 whose name sorts later.
    services.push_back(service("xyz.openbmc_project.ZSensor",
                               {sensorObject(fan("FAN0"), {"d", 1.0})}));
    services.push_back(service(
        healthService,
        {{{"path", healthPath},
          {"interfaces",
           {{"xyz.openbmc_project.Status",
             {{"properties", {{"Health", {"b", true}}}}}}}}},
         {{"path", "/xyz/openbmc_project/vigilhub/empty"},
          {"interfaces",
           {{"xyz.openbmc_project.Status", {{"properties", json::object()}}},
            {"xyz.openbmc_project.State.Host",
             {{"properties", json::object()}}},
            {"xyz.openbmc_project.Control.ThermalMode",
             {{"properties", json::object()}}},
            {"xyz.openbmc_project.Control.Power.Cap",
             {{"properties", json::object()}}}}}}}));
    services.push_back(bmcmon::test::loggingService());
    return {{"services", services}};
}

class Helper : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::journalSandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        journal = std::make_unique<testkit::JournalCapture>();
        sim = std::make_unique<testkit::Simulator>(platform());
        helper = std::make_unique<DbusHelper>(sdbus::Bus::newSystem());
    }

    /** The error entry with this MESSAGE, once it has arrived. */
    std::optional<testkit::JournalEntry> errorEntry(const std::string& message)
    {
        return journal->waitFor(
            [&message](const testkit::JournalEntry& e) {
            return e.contains("MESSAGE") && e.at("MESSAGE") == message;
            },
            10s);
    }

    /** Every entry written so far, fenced by an entry of our own. */
    std::vector<testkit::JournalEntry> allEntries()
    {
        journal::log(6, "fence");
        journal->waitFor(
            [](const testkit::JournalEntry& e) {
            return e.contains("MESSAGE") && e.at("MESSAGE") == "fence";
            },
            10s);
        auto entries = journal->entries();
        entries.pop_back();
        return entries;
    }

    /** Checks the entry of a failed call: priority 3, the error in WHAT. */
    void expectFailureLogged(const std::string& message,
                             const std::string& errorName)
    {
        auto e = errorEntry(message);
        ASSERT_TRUE(e) << "no journal entry " << message;
        EXPECT_EQ(e->at("PRIORITY"), "3");
        EXPECT_THAT(e->at("WHAT"), StartsWith("sd_bus_call: " + errorName));
        EXPECT_TRUE(e->contains("CODE_FILE"));
        EXPECT_TRUE(e->contains("CODE_LINE"));
    }

    std::unique_ptr<testkit::JournalCapture> journal;
    std::unique_ptr<testkit::Simulator> sim;
    std::unique_ptr<DbusHelper> helper;
};

TEST_F(Helper, LookupServiceTakesFirstHolderByName)
{
    EXPECT_EQ(helper->lookupService(valueIntf, fan("FAN0")), sensorService);
    EXPECT_EQ(sim->count("GetObject"), 1U);
    for (const auto& c : sim->callLog())
    {
        if (c.member == "GetObject")
        {
            EXPECT_EQ(c.detail,
                      "s \"" + fan("FAN0") +
                          "\" as 1 \"xyz.openbmc_project.Sensor.Value\"");
        }
    }
}

TEST_F(Helper, LookupServiceFailureIsLoggedAndRethrown)
{
    EXPECT_THROW(helper->lookupService(valueIntf, fan("FAN9")),
                 sdbus::SdBusError);
    expectFailureLogged("ObjectMapper call failure",
                        "xyz.openbmc_project.Common.Error.ResourceNotFound");

    sim->setAbsent("xyz.openbmc_project.ObjectMapper", true);
    journal->clear();
    EXPECT_THROW(helper->lookupService(valueIntf, fan("FAN0")),
                 sdbus::SdBusError);
    expectFailureLogged("ObjectMapper call failure", unknownService);

    // The same call failing again within a minute is not written again;
    // another call is.
    journal->clear();
    EXPECT_THROW(helper->lookupService(valueIntf, fan("FAN0")),
                 sdbus::SdBusError);
    EXPECT_THROW(helper->lookupService(valueIntf, fan("FAN1")),
                 sdbus::SdBusError);
    std::size_t written = 0;
    for (const auto& e : allEntries())
    {
        written += e.contains("MESSAGE") &&
                   e.at("MESSAGE") == "ObjectMapper call failure";
    }
    EXPECT_EQ(written, 1U);
}

TEST_F(Helper, ReadSensorValue)
{
    SensorValueProperties p{
        .scale = 9, .value = 9, .min = 9, .max = 9, .unit = "kept"};
    helper->readSensorValue(sensorService, fan("FAN0"), p);
    EXPECT_EQ(p.value, 3000);
    EXPECT_EQ(p.scale, 0);
    EXPECT_EQ(p.min, 0);
    EXPECT_EQ(p.max, 20000);
    EXPECT_EQ(p.unit, "xyz.openbmc_project.Sensor.Value.Unit.RPMS");

    // A value published as 'i' is read as the number it is.
    helper->readSensorValue(sensorService, fan("FAN1"), p);
    EXPECT_EQ(p.value, 3000);
    EXPECT_EQ(p.scale, -3);

    // Only an 'i' Scale: the value becomes 0, the unit stays.
    p.unit = "kept";
    helper->readSensorValue(sensorService, fan("FAN2"), p);
    EXPECT_EQ(p.value, 0);
    EXPECT_EQ(p.scale, -2);
    EXPECT_EQ(p.max, 0);
    EXPECT_EQ(p.unit, "kept");
    EXPECT_EQ(sim->count("GetAll", valueIntf), 3U);
}

TEST_F(Helper, ReadSensorValueWithTextMaximumFails)
{
    SensorValueProperties p;
    try
    {
        helper->readSensorValue(sensorService, fan("FAN3"), p);
        FAIL() << "no exception";
    }
    catch (const std::invalid_argument& e)
    {
        EXPECT_STREQ(e.what(), "Cannot translate type to double");
    }
    for (const auto& e : allEntries())
    {
        EXPECT_NE(e.at("MESSAGE"), "GetAll Properties Failed");
    }
}

TEST_F(Helper, ReadFailuresAreLoggedAndRethrown)
{
    sim->setError(sensorService, "GetAll", "org.freedesktop.DBus.Error.Failed",
                  "sensor broke");
    SensorValueProperties p{
        .scale = 9, .value = 9, .min = 9, .max = 9, .unit = "kept"};
    EXPECT_THROW(helper->readSensorValue(sensorService, fan("FAN0"), p),
                 sdbus::SdBusError);
    expectFailureLogged("GetAll Properties Failed",
                        "org.freedesktop.DBus.Error.Failed");
    EXPECT_EQ(p.scale, 9) << "nothing is cleared before a reply";
    EXPECT_EQ(p.value, 9);

    sim->setAbsent(settingsService, true);
    PowerCapSetting cap{.enabled = true, .cap = 7};
    EXPECT_THROW(helper->readPowerCap(settingsService, capPath, cap),
                 sdbus::SdBusError);
    expectFailureLogged("GetAll PowerCap Properties Failed", unknownService);
    EXPECT_EQ(cap.cap, 7U);

    int mode = 4;
    EXPECT_THROW(helper->readThermalMode(settingsService, thermalPath, mode),
                 sdbus::SdBusError);
    expectFailureLogged("GetAll ThermalMode Properties Failed", unknownService);
    EXPECT_EQ(mode, 4);

    sim->setError(hostService, "GetAll",
                  "org.freedesktop.DBus.Error.AccessDenied", "no");
    int state = 1;
    EXPECT_THROW(helper->readHostState(hostService, hostPath, state),
                 sdbus::SdBusError);
    expectFailureLogged("GetAll HostState Properties Failed",
                        "org.freedesktop.DBus.Error.AccessDenied");

    sim->setError(healthService, "GetAll", "org.freedesktop.DBus.Error.Timeout",
                  "late");
    int code = 1;
    EXPECT_THROW(helper->readHealth(healthService, healthPath, code),
                 sdbus::SdBusError);
    expectFailureLogged("Get Fan Health Properties Failed",
                        "org.freedesktop.DBus.Error.Timeout");
    EXPECT_EQ(code, 1);
}

TEST_F(Helper, ReadSettings)
{
    PowerCapSetting cap;
    helper->readPowerCap(settingsService, capPath, cap);
    EXPECT_TRUE(cap.enabled);
    EXPECT_EQ(cap.cap, 300U);

    int state = 0;
    helper->readHostState(hostService, hostPath, state);
    EXPECT_EQ(state, HostPowerState::running);
    sim->setProperty(hostService, hostPath, "xyz.openbmc_project.State.Host",
                     "CurrentHostState", "s",
                     "xyz.openbmc_project.State.Host.HostState.Quiesced");
    helper->readHostState(hostService, hostPath, state);
    EXPECT_EQ(state, HostPowerState::other);

    int mode = 0;
    helper->readThermalMode(settingsService, thermalPath, mode);
    EXPECT_EQ(mode, FanMode::custom);
    sim->setProperty(settingsService, thermalPath,
                     "xyz.openbmc_project.Control.ThermalMode", "Current", "s",
                     "Custom");
    helper->readThermalMode(settingsService, thermalPath, mode);
    EXPECT_EQ(mode, FanMode::unknown);

    int code = 0;
    helper->readHealth(healthService, healthPath, code);
    EXPECT_EQ(code, HealthCode::good);
    sim->setProperty(healthService, healthPath, "xyz.openbmc_project.Status",
                     "Health", "b", false);
    helper->readHealth(healthService, healthPath, code);
    EXPECT_EQ(code, HealthCode::fail);
}

TEST_F(Helper, ReadSettingsWithoutTheirProperty)
{
    const std::string empty = "/xyz/openbmc_project/vigilhub/empty";
    PowerCapSetting cap{.enabled = true, .cap = 9};
    helper->readPowerCap(healthService, empty, cap);
    EXPECT_FALSE(cap.enabled);
    EXPECT_EQ(cap.cap, 0U);

    int state = 2;
    int mode = 3;
    int code = 2;
    helper->readHostState(healthService, empty, state);
    helper->readThermalMode(healthService, empty, mode);
    helper->readHealth(healthService, empty, code);
    EXPECT_EQ(state, 2);
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(code, 2);
}

TEST_F(Helper, WriteHealth)
{
    helper->writeHealth(healthService, healthPath, HealthCode::unknown);
    EXPECT_EQ(sim->count("Set"), 0U);

    helper->writeHealth(healthService, healthPath, 2);
    EXPECT_EQ(sim->count("Set", "Health=false"), 1U);
    helper->writeHealth(healthService, healthPath, 1);
    EXPECT_EQ(sim->count("Set", "Health=true"), 1U);
    helper->writeHealth(healthService, healthPath, 3);
    EXPECT_EQ(sim->count("Set", "Health=false"), 2U);
    int code = 0;
    helper->readHealth(healthService, healthPath, code);
    EXPECT_EQ(code, HealthCode::fail);
}

TEST_F(Helper, WriteHealthFailureIsOneLine)
{
    sim->setError(healthService, "Set", "org.freedesktop.DBus.Error.Failed",
                  "refused");
    testing::internal::CaptureStderr();
    helper->writeHealth(healthService, healthPath, 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to set fan state. Exception: sd_bus_call: "
              "org.freedesktop.DBus.Error.Failed: refused\n");

    sim->setAbsent(healthService, true);
    testing::internal::CaptureStderr();
    helper->writeHealth(healthService, healthPath, 1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                StartsWith(std::string("Failed to set fan state. Exception: "
                                       "sd_bus_call: ") +
                           unknownService));
}

TEST_F(Helper, ReadCriticalAlarms)
{
    EXPECT_FALSE(helper->readCriticalAlarms(sensorService, fan("FAN0")));
    EXPECT_TRUE(helper->readCriticalAlarms(sensorService, fan("FAN1")));
    EXPECT_TRUE(helper->readCriticalAlarms(sensorService, fan("FAN2")));
    EXPECT_FALSE(helper->readCriticalAlarms(sensorService, fan("FAN3")));
    sim->setProperty(sensorService, fan("FAN3"), criticalIntf,
                     "CriticalAlarmLow", "s", "yes");
    EXPECT_THROW(helper->readCriticalAlarms(sensorService, fan("FAN3")),
                 std::bad_variant_access);

    // A sensor that cannot be asked has no alarm, and nothing is logged.
    sim->setError(sensorService, "GetAll", "org.freedesktop.DBus.Error.Failed",
                  "x");
    EXPECT_FALSE(helper->readCriticalAlarms(sensorService, fan("FAN1")));
    sim->setAbsent(sensorService, true);
    EXPECT_FALSE(helper->readCriticalAlarms(sensorService, fan("FAN1")));
    EXPECT_TRUE(allEntries().empty());
}

TEST_F(Helper, PostLogEntry)
{
    helper->postLogEntry("fan 3 broke");
    EXPECT_EQ(sim->count("error", "s \"fan 3 broke\""), 1U);

    sim->setError(loggingService, "error", "org.freedesktop.DBus.Error.Failed",
                  "full");
    testing::internal::CaptureStderr();
    helper->postLogEntry("again");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR. Failed to create log entry. Exception: sd_bus_call: "
              "org.freedesktop.DBus.Error.Failed: full\n");
}

/** A mapper of our own whose answers are configured, to see how the helper
 *  takes answers the real one would not give. */
json fakeMapper(const json& reply, const std::string& out = "a{sas}")
{
    return {{"mapper", false},
            {"services",
             {service("xyz.openbmc_project.ObjectMapper",
                      {{{"path", "/xyz/openbmc_project/object_mapper"},
                        {"interfaces",
                         {{"xyz.openbmc_project.ObjectMapper",
                           {{"methods",
                             {{"GetObject",
                               {{"in", "sas"},
                                {"out", out},
                                {"reply", reply}}}}}}}}}}})}}};
}

TEST_F(Helper, LookupServiceOfOddMapperAnswers)
{
    sim.reset();
    {
        testkit::Simulator mapper(fakeMapper(json::array({json::array(
            {json::array({"z.svc", {"i"}}), json::array({"a.svc", {"i"}})})})));
        EXPECT_EQ(helper->lookupService("i", "/p"), "a.svc");
    }
    {
        testkit::Simulator mapper(fakeMapper(json::array({json::array()})));
        try
        {
            helper->lookupService("i", "/some/path");
            FAIL() << "no exception";
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_STREQ(e.what(), "Unable to find Object: /some/path");
        }
    }
    {
        testkit::Simulator mapper(fakeMapper(json::array({"x"}), "s"));
        EXPECT_THROW(helper->lookupService("i", "/p"), sdbus::SdBusError);
        auto e = errorEntry("ObjectMapper call failure");
        ASSERT_TRUE(e);
        EXPECT_EQ(e->at("PRIORITY"), "3");
    }
}

TEST(HelperInit, ReplacesTheProcessHelper)
{
    DbusHelper& first = initDbusHelper();
    EXPECT_EQ(globalDbusHelper.get(), &first);
    DbusHelper& second = initDbusHelper();
    EXPECT_EQ(globalDbusHelper.get(), &second);
    globalDbusHelper.reset();
}

} // namespace
} // namespace bmcmon::test
