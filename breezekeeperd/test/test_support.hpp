#pragma once

// What the tests of the fan daemon share: a gmock query helper, a fake
// platform that hands such helpers to the readers, a clock moved by hand,
// standard error captured, the event reporter mocked, signals sent on the
// private bus and an event loop to receive them.

#include "bmcmon/dbus_helper_interface.hpp"
#include "factories.hpp"
#include "fan_events.hpp"
#include "mock_dbus_helper.hpp"
#include "sdbus/asio_connection.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/message.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/wait.hpp"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{

using namespace std::chrono_literals;
using TimePoint = std::chrono::system_clock::time_point;
using SteadyPoint = std::chrono::steady_clock::time_point;

class MockEvents : public FanEventReporter
{
  public:
    MOCK_METHOD(void, fanRemoved, (int), (override));
    MOCK_METHOD(void, fanInserted, (int), (override));
    MOCK_METHOD(void, fanRedundancyLost, (int), (override));
    MOCK_METHOD(void, fanRedundancyRegained, (), (override));
};

/** What a sensor publishes, with the given value and scale. */
inline SensorValueProperties sensorValue(double value, int64_t scale = 0)
{
    SensorValueProperties p;
    p.scale = scale;
    p.value = value;
    return p;
}

inline std::string fanPath(uint32_t id)
{
    return "/xyz/openbmc_project/sensors/fan_tach/FAN" + std::to_string(id);
}

inline constexpr const char* hostPath = "/xyz/openbmc_project/state/host0";
inline constexpr const char* thermalPath =
    "/xyz/openbmc_project/control/thermal";
inline constexpr const char* powerCapPath =
    "/xyz/openbmc_project/control/host0/power_cap";
inline constexpr const char* totalPowerPath =
    "/xyz/openbmc_project/sensors/power/total_power";

/** The service the fake platform's helpers give for every object. */
inline constexpr const char* fakeService = "xyz.openbmc_project.Test";

/** What the helpers that factory() makes answer: values by object path. A
 *  path in `absent` is unknown to the object mapper. */
struct FakePlatform
{
    std::map<std::string, SensorValueProperties> sensors;
    std::map<std::string, bool> alarms;
    /** -1: the reply lacks the property. */
    int hostState = HostPowerState::running;
    int thermalMode = FanMode::lowNoise;
    PowerCapSetting powerCap{.enabled = true, .cap = 1000};
    std::set<std::string> absent;
    int helpersMade = 0;
    /** Called with the path in every first read of a sensor or the host,
     *  before it answers. */
    std::function<void(const std::string&)> onRead;

    void fan(uint32_t id, double value)
    {
        sensors[fanPath(id)] = sensorValue(value);
    }

    HelperFactory factory()
    {
        return [this]() -> std::unique_ptr<DbusHelperInterface> {
            ++helpersMade;
            auto h = std::make_unique<testing::NiceMock<MockDbusHelper>>();
            using testing::_;
            ON_CALL(*h, lookupService(_, _))
                .WillByDefault(
                    [this](const std::string&, const std::string& path) {
                if (absent.contains(path))
                {
                    throw std::runtime_error("Unable to find Object: " + path);
                }
                return std::string(fakeService);
                });
            ON_CALL(*h, readSensorValue(_, _, _))
                .WillByDefault(
                    [this](const std::string&, const std::string& path,
                           SensorValueProperties& out) {
                if (onRead)
                {
                    onRead(path);
                }
                out = sensors.at(path);
                });
            ON_CALL(*h, readCriticalAlarms(_, _))
                .WillByDefault(
                    [this](const std::string&, const std::string& path) {
                return alarms[path];
                });
            ON_CALL(*h, readHostState(_, _, _))
                .WillByDefault([this](const std::string&,
                                      const std::string& path, int& out) {
                    if (onRead)
                    {
                        onRead(path);
                    }
                    if (hostState >= 0)
                    {
                        out = hostState;
                    }
                });
            ON_CALL(*h, readThermalMode(_, _, _))
                .WillByDefault(
                    [this](const std::string&, const std::string&, int& out) {
                if (thermalMode >= 0)
                {
                    out = thermalMode;
                }
                });
            ON_CALL(*h, readPowerCap(_, _, _))
                .WillByDefault(
                    [this](const std::string&, const std::string&,
                           PowerCapSetting& out) { out = powerCap; });
            return h;
        };
    }
};

/** The two clocks, moved only when told. */
struct FakeClock
{
    TimePoint now = TimePoint(std::chrono::seconds(1'700'000'000));
    SteadyPoint steadyNow = SteadyPoint(std::chrono::hours(1000));

    Clocks clock()
    {
        return {.steady = [this] { return steadyNow; },
                .system = [this] { return now; }};
    }
    /** Time passes. */
    void advance(std::chrono::nanoseconds d)
    {
        now += std::chrono::duration_cast<TimePoint::duration>(d);
        steadyNow += std::chrono::duration_cast<SteadyPoint::duration>(d);
    }
    /** The system clock is set, time does not pass. */
    void stepSystemClock(std::chrono::nanoseconds d)
    {
        now += std::chrono::duration_cast<TimePoint::duration>(d);
    }
};

/** Captures what is written to std::cerr while it lives. */
class StderrCapture
{
  public:
    StderrCapture() : old(std::cerr.rdbuf(buffer.rdbuf())) {}
    ~StderrCapture()
    {
        std::cerr.rdbuf(old);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const
    {
        return buffer.str();
    }
    bool has(const std::string& needle) const
    {
        return text().find(needle) != std::string::npos;
    }
    std::size_t count(const std::string& needle) const
    {
        std::size_t n = 0;
        const std::string t = text();
        for (auto at = t.find(needle); at != std::string::npos;
             at = t.find(needle, at + needle.size()))
        {
            ++n;
        }
        return n;
    }
    void clear()
    {
        buffer.str("");
    }

  private:
    std::ostringstream buffer;
    std::streambuf* old;
};

/** Puts a folder first on this process's PATH while it lives, so the
 *  commands run through the shell find the stubs there. */
class PathPrepend
{
  public:
    explicit PathPrepend(const std::string& dir)
    {
        const char* path = std::getenv("PATH");
        old = path != nullptr ? path : "/usr/bin:/bin";
        setenv("PATH", (dir + ":" + old).c_str(), 1);
    }
    ~PathPrepend()
    {
        setenv("PATH", old.c_str(), 1);
    }
    PathPrepend(const PathPrepend&) = delete;
    PathPrepend& operator=(const PathPrepend&) = delete;

  private:
    std::string old;
};

/** An event loop with one connection for the readers' matches. */
struct BusLoop
{
    boost::asio::io_context io;
    sdbus::AsioConnection conn{io, sdbus::Bus::newSystem()};

    sdbus::Bus& bus()
    {
        return conn.bus();
    }

    /** Runs the loop until cond holds (or 10 s pass). */
    bool runUntil(const std::function<bool()>& cond)
    {
        return testkit::waitUntil(
            [&] {
            io.restart();
            io.poll();
            return cond();
            },
            10s);
    }
};

/** A connection holding fakeService, the service that the fake platform's
 *  helpers give for every object: its signals come from the readers'
 *  service, the only sender they take signals from. */
inline sdbus::Bus serviceConnection()
{
    sdbus::Bus bus = sdbus::Bus::newSystem();
    bus.requestName(fakeService);
    return bus;
}

/** Sends a PropertiesChanged signal of `path` with a body built by
 *  `append` (after the interface name), from a connection of its own. */
inline void emitChanged(sdbus::Bus& from, const std::string& path,
                        const std::string& intf,
                        const std::function<void(sdbus::Message&)>& append)
{
    sdbus::Message m = from.newSignal(path, "org.freedesktop.DBus.Properties",
                                      "PropertiesChanged");
    m.append(intf);
    append(m);
    from.send(m);
    from.flush();
}

/** A PropertiesChanged body with one property of type T. */
template <typename T>
std::function<void(sdbus::Message&)> changed(const std::string& name,
                                             const T& value)
{
    return [name, value](sdbus::Message& m) {
        m.append(std::map<std::string, std::variant<T>>{{name, value}},
                 std::vector<std::string>{});
    };
}

/** Writes a file (and its folder) inside the sandbox. */
inline void writeFile(const std::filesystem::path& file,
                      const std::string& text)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::trunc) << text;
}

inline std::string readFile(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/** The full-speed script at its fixed path: records each run in `record`
 *  and exits with `status`. */
inline void writeFanScript(const std::filesystem::path& record, int status)
{
    writeFile("/usr/bin/fan-max-speed.sh", "#!/bin/bash\necho ran >> '" +
                                               record.string() + "'\nexit " +
                                               std::to_string(status) + "\n");
}

} // namespace bmcmon::test
