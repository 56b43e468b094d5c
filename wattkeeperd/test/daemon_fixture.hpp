#pragma once

// The real wattkeeperd on the private bus, with a recording log-util first
// on its PATH and its configuration folder in a folder of the test's own.

#include "file_helpers.hpp"
#include "global_manager.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/error.hpp"
#include "sdbus/match.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/simulator.hpp"
#include "testkit/stubs.hpp"
#include "testkit/tempdir.hpp"
#include "testkit/wait.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace bmcmon::test
{

using namespace std::chrono_literals;

inline constexpr const char* sensorService = "xyz.openbmc_project.PSUSensor";
inline constexpr const char* totalPower =
    "/xyz/openbmc_project/sensors/power/total_power";
inline constexpr const char* valueIntf = "xyz.openbmc_project.Sensor.Value";

/** The simulated total-power sensor: `milliwatts` published with Scale -3
 *  and a range that would turn the value into a fraction if it were used. */
inline nlohmann::json powerSensorConfig(int64_t milliwatts, bool absent = false)
{
    nlohmann::json object = {
        {"path", totalPower},
        {"interfaces",
         {{valueIntf,
           {{"properties",
             {{"Value", {"d", static_cast<double>(milliwatts)}},
              {"Scale", {"x", -3}},
              {"MinValue", {"d", 0.0}},
              {"MaxValue", {"d", 3000.0}},
              {"Unit",
               {"s", "xyz.openbmc_project.Sensor.Value.Unit.Watts"}}}}}},
          {"xyz.openbmc_project.Sensor.Threshold.Critical",
           {{"properties",
             {{"CriticalAlarmLow", {"b", false}},
              {"CriticalAlarmHigh", {"b", false}}}}}},
          {"xyz.openbmc_project.State.Decorator.OperationalStatus",
           {{"properties", {{"Functional", {"b", true}}}}}}}}};
    return {{"services",
             {{{"name", sensorService},
               {"absent", absent},
               {"objects", {object}}}}}};
}

class DaemonTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        stubs.add("log-util");
        client = std::make_unique<sdbus::Bus>(sdbus::Bus::newSystem());
        // The daemon of an earlier test may have ended before the bus saw
        // its name go.
        ASSERT_TRUE(testkit::waitUntil([this] { return !nameOwned(); }, 10s));
    }

    bool nameOwned()
    {
        return client
            ->callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner",
                         std::string(wattkeeperService))
            .unpack<bool>();
    }

    std::unique_ptr<testkit::Process>
        spawn(std::vector<std::string> args, bool withConfig = true,
              std::map<std::string, std::string> env = {})
    {
        std::vector<std::string> argv{std::getenv("WATTKEEPERD")};
        if (withConfig)
        {
            argv.push_back("-c");
            argv.push_back(configDir());
        }
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<testkit::Process>(
            testkit::Process::Options{.argv = argv,
                                      .env = std::move(env),
                                      .pathPrepend = {stubs.path()}});
    }

    /** Starts the daemon and waits until it serves its object. */
    void start(std::vector<std::string> args = {"-i", "1"})
    {
        daemon = spawn(std::move(args));
        ASSERT_NO_FATAL_FAILURE(ready());
    }

    /** Waits until the daemon answers: start-up is over by then. */
    void ready()
    {
        ASSERT_TRUE(daemon->waitForBusName(wattkeeperService)) << daemon->err();
        client->callMethod(wattkeeperService, wattkeeperPath,
                           "org.freedesktop.DBus.Peer", "Ping");
    }

    void restart()
    {
        daemon->terminate();
        ASSERT_TRUE(testkit::waitUntil([this] { return !nameOwned(); }, 10s));
        start();
    }

    std::string configDir() const
    {
        return (dir.path() / "wattkeeper").string();
    }
    std::string historyPath() const
    {
        return configDir() + "/history.dat";
    }
    std::string configPath() const
    {
        return configDir() + "/config.ini";
    }

    template <typename T>
    T get(const std::string& property)
    {
        return std::get<T>(
            client
                ->callMethod(wattkeeperService, wattkeeperPath,
                             "org.freedesktop.DBus.Properties", "Get",
                             std::string(wattkeeperInterface), property)
                .unpack<std::variant<T>>());
    }

    /** Waits until the property holds `value`. */
    template <typename T>
    bool waitFor(const std::string& property, T value)
    {
        return testkit::waitUntil([&] { return get<T>(property) == value; },
                                  10s);
    }

    std::vector<int64_t> historyRange(int64_t start, int64_t end)
    {
        return client
            ->callMethod(wattkeeperService, wattkeeperPath, wattkeeperInterface,
                         "GetPowerHistoryDataRange", start, end)
            .unpack<std::vector<int64_t>>();
    }

    /** Collects the object paths of the daemon's PropertiesChanged
     *  signals while the returned match lives. */
    std::unique_ptr<sdbus::Match> followChanges(std::vector<std::string>& paths)
    {
        return std::make_unique<sdbus::Match>(
            *client,
            std::string("type='signal',sender='") + wattkeeperService +
                "',interface='org.freedesktop.DBus.Properties',"
                "member='PropertiesChanged'",
            [&paths](sdbus::Message& m) { paths.push_back(m.path()); });
    }

    testkit::TempDir dir{"wattkeeper-e2e"};
    testkit::CommandStubs stubs;
    std::unique_ptr<sdbus::Bus> client;
    std::unique_ptr<testkit::Process> daemon;
};

} // namespace bmcmon::test
