// The fan events run through the real shell: log-util is a recording
// stand-in, busctl the real one calling the simulated logging service.

#include "fan_events.hpp"
#include "test_support.hpp"
#include "testkit/simulator.hpp"
#include "testkit/stubs.hpp"

namespace bmcmon::test
{
namespace
{

using testing::ElementsAre;
using json = nlohmann::json;

constexpr const char* loggingService = "xyz.openbmc_project.Logging";
constexpr const char* selId = "MESSAGE_ID=b370836ccf2f4850ac5bee185b77893a";
const std::string trap = "1.3.6.1.4.1.61842.1.1.1.500";

json loggingConfig()
{
    return {
        {"services",
         {{{"name", loggingService},
           {"objects",
            {{{"path", "/xyz/openbmc_project/logging"},
              {"interfaces",
               {{"xyz.openbmc_project.Logging.Create",
                 {{"methods",
                   {{"Create", {{"in", "ssa{ss}"}, {"out", ""}}}}}}}}}}}}}}},
        {"mapper", false}};
}

class FanEvents : public testing::Test
{
  protected:
    void SetUp() override
    {
        stubs.add("log-util");
    }

    /** The Create calls the logging service received. */
    std::vector<std::string> traps()
    {
        std::vector<std::string> details;
        for (const auto& call : sim.callLog())
        {
            if (call.member == "Create")
            {
                details.push_back(call.detail);
            }
        }
        return details;
    }

    testkit::CommandStubs stubs;
    PathPrepend onPath{stubs.path()};
    testkit::Simulator sim{loggingConfig()};
    std::ostringstream err;
};

/** The arguments of a Create call as the logging service received them:
 *  the trap, the severity, and the name (if any) and state bindings. */
std::string created(const std::string& trapId, const std::string& name,
                    int state)
{
    std::string pairs =
        name.empty() ? "1" : "2 \"" + trap + ".1.2\" \"s" + name + "\"";
    return "s \"" + trap + trapId +
           "\" s \"xyz.openbmc_project.Logging.Entry.Level.Error\" a{ss} " +
           pairs + " \"" + trap + ".1.4\" \"i" + std::to_string(state) + "\"";
}

std::vector<std::string> sel(int priority, int fan, int direction)
{
    return {"PRIORITY=" + std::to_string(priority),
            selId,
            "IPMI_SEL_RECORD_ID=0",
            "IPMI_SEL_RECORD_TYPE=2",
            "IPMI_SEL_DATA=50FFFF",
            "IPMI_SEL_GENERATOR_ID=20",
            "IPMI_SEL_SENSOR_PATH=/xyz/openbmc_project/sensors/fan_tach/FAN" +
                std::to_string(fan),
            "IPMI_SEL_EVENT_DIR=" + std::to_string(direction)};
}

TEST_F(FanEvents, FanRemoved)
{
    logFanRemoved(0, err);
    EXPECT_THAT(
        stubs.calls("log-util"),
        ElementsAre(sel(4, 0, 1), ElementsAre("PRIORITY=4",
                                              "REDFISH_MESSAGE_ID=OpenBMC.0.1."
                                              "FanRemoved",
                                              "REDFISH_MESSAGE_ARGS=FAN0",
                                              "MESSAGE=FAN0 removed.")));
    EXPECT_THAT(traps(), ElementsAre(created(".11.5.3", "FAN0", 4)));
    EXPECT_EQ(err.str(), "");
}

TEST_F(FanEvents, FanInserted)
{
    logFanInserted(5, err);
    EXPECT_THAT(stubs.calls("log-util"),
                ElementsAre(ElementsAre("PRIORITY=6",
                                        "REDFISH_MESSAGE_ID=OpenBMC.0.1."
                                        "FanInserted",
                                        "REDFISH_MESSAGE_ARGS=FAN5",
                                        "MESSAGE=FAN5 inserted."),
                            sel(6, 5, 0)));
    EXPECT_THAT(traps(), ElementsAre(created(".11.5.1", "FAN5", 1)));
    EXPECT_EQ(err.str(), "");
}

TEST_F(FanEvents, Redundancy)
{
    logFanRedundancyLost(3, err);
    logFanRedundancyRegained(err);
    EXPECT_THAT(
        stubs.calls("log-util"),
        ElementsAre(
            ElementsAre("PRIORITY=4",
                        "REDFISH_MESSAGE_ID=OpenBMC.0.1.FanRedundancyLost",
                        "REDFISH_MESSAGE_ARGS=",
                        "MESSAGE=Fan redundancy lost. 3 sys FANs (FAN*) "
                        "removed."),
            ElementsAre(
                "PRIORITY=6",
                "REDFISH_MESSAGE_ID=OpenBMC.0.1.FanRedundancyRegained",
                "REDFISH_MESSAGE_ARGS=", "MESSAGE=Fan redundancy regained.")));
    EXPECT_THAT(traps(), ElementsAre(created(".11.5.5", "", 4),
                                     created(".11.5.6", "", 1)));
    EXPECT_EQ(err.str(), "");
}

TEST_F(FanEvents, AHungLoggingServiceIsGivenUpOn)
{
    // Without a limit of its own, busctl would wait 25 s for the answer.
    sim.setDelay(loggingService, 60'000);
    const auto started = std::chrono::steady_clock::now();
    logFanRedundancyRegained(err);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    EXPECT_EQ(traps().size(), 1u);
    EXPECT_THAT(err.str(), testing::StartsWith("Failed to exec. Return code: "
                                               "256, cmd: busctl "));
}

TEST_F(FanEvents, EveryFailureIsReportedAndTheNextLineStillRuns)
{
    stubs.setStatus("log-util", 1);
    sim.setError(loggingService, "Create",
                 "xyz.openbmc_project.Common.Error.InternalFailure", "down");
    logFanRemoved(2, err);
    EXPECT_EQ(stubs.calls("log-util").size(), 2u);
    EXPECT_EQ(traps().size(), 1u);
    EXPECT_EQ(
        err.str(),
        "Failed to exec. Return code: 256, cmd: log-util PRIORITY=4 "
        "MESSAGE_ID=b370836ccf2f4850ac5bee185b77893a IPMI_SEL_RECORD_ID=0 "
        "IPMI_SEL_RECORD_TYPE=2 IPMI_SEL_DATA=50FFFF IPMI_SEL_GENERATOR_ID=20 "
        "IPMI_SEL_SENSOR_PATH=/xyz/openbmc_project/sensors/fan_tach/FAN2 "
        "IPMI_SEL_EVENT_DIR=1\n"
        "Failed to exec. Return code: 256, cmd: log-util PRIORITY=4 "
        "REDFISH_MESSAGE_ID=OpenBMC.0.1.FanRemoved "
        "\"REDFISH_MESSAGE_ARGS=FAN2\" \"MESSAGE=FAN2 removed.\"\n"
        "Failed to exec. Return code: 256, cmd: busctl --timeout=2 call "
        "xyz.openbmc_project.Logging /xyz/openbmc_project/logging "
        "xyz.openbmc_project.Logging.Create Create ssa{ss} "
        "\"1.3.6.1.4.1.61842.1.1.1.500.11.5.3\" "
        "\"xyz.openbmc_project.Logging.Entry.Level.Error\" 2 "
        "\"1.3.6.1.4.1.61842.1.1.1.500.1.2\" \"sFAN2\" "
        "\"1.3.6.1.4.1.61842.1.1.1.500.1.4\" \"i4\"\n");
}

} // namespace
} // namespace bmcmon::test
