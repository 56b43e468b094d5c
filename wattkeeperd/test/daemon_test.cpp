// The real daemon against the simulated total-power sensor: its properties
// and methods, the threshold file, the over-threshold event and the history
// file across restarts.

#include "daemon_fixture.hpp"
#include "history_file.hpp"
#include "power_statistics.hpp"
#include "sdbus/match.hpp"
#include "testkit/commands.hpp"
#include "testkit/emulator.hpp"
#include "testkit/main.hpp"

#include <glob.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr int64_t farFuture = std::numeric_limits<int64_t>::max();

/** The bytes the process has asked the kernel to write so far. */
int64_t bytesWritten(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    for (std::string key; in >> key;)
    {
        int64_t value = 0;
        in >> value;
        if (key == "wchar:")
        {
            return value;
        }
    }
    return -1;
}

/** The occupied records of a history file, in slot order. */
std::vector<HistoryRecord> storedRecords(const std::string& path)
{
    std::vector<HistoryRecord> ring(PowerStatistics::recordCount);
    HistoryFile(path).load(ring);
    std::erase_if(ring, [](const HistoryRecord& r) { return r.timestamp < 1; });
    return ring;
}

/** The library that speeds up a process's wall clock, if installed for the
 *  daemon's machine (a multiarch system has one per machine). */
std::string fastClockLibrary()
{
    glob_t found{};
    std::string path;
    if (::glob("/usr/lib/*/faketime/libfaketimeMT.so.1", 0, nullptr, &found) ==
        0)
    {
        for (std::size_t i = 0; i < found.gl_pathc && path.empty(); ++i)
        {
            if (testkit::builtForThisMachine(found.gl_pathv[i]))
            {
                path = found.gl_pathv[i];
            }
        }
    }
    ::globfree(&found);
    return path;
}

constexpr int64_t packed(int32_t average, int32_t maximum)
{
    return (static_cast<int64_t>(maximum) << 32) | average;
}

int64_t nowSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST_F(DaemonTest, ServesTheScaledSensorValueFromTheFirstRequest)
{
    testkit::Simulator sim(powerSensorConfig(150000));
    const int64_t before = nowSeconds();
    start();
    const int64_t after = nowSeconds();

    // The first sample is taken before any request is answered.
    EXPECT_EQ(get<double>("AvgPower"), 150.0);
    EXPECT_EQ(get<double>("MaxPower"), 150.0);
    int64_t startTime = get<int64_t>("StatStartTimestamp");
    EXPECT_GE(startTime, before);
    EXPECT_LE(startTime, after);

    sim.setProperty(sensorService, totalPower, valueIntf, "Value", "d",
                    250000.0);
    EXPECT_TRUE(waitFor("MaxPower", 250.0));

    auto summary = client
                       ->callMethod(wattkeeperService, wattkeeperPath,
                                    wattkeeperInterface, "GetStatSummary")
                       .unpack<std::string>();
    // start,average,maximum,now: watts with three decimals.
    std::vector<std::string> fields;
    std::stringstream in(summary);
    for (std::string f; std::getline(in, f, ',');)
    {
        fields.push_back(f);
    }
    ASSERT_EQ(fields.size(), 4U) << summary;
    EXPECT_EQ(std::stoll(fields[0]), startTime);
    EXPECT_EQ(fields[1].size() - fields[1].find('.'), 4U) << summary;
    EXPECT_GT(std::stod(fields[1]), 150.0);
    EXPECT_EQ(fields[2], "250.000");
    EXPECT_GE(std::stoll(fields[3]), startTime);

    // No window has closed yet.
    EXPECT_THAT(historyRange(1, farFuture), IsEmpty());
    EXPECT_THAT(historyRange(10, 5), IsEmpty());
}

TEST_F(DaemonTest, IntrospectionShowsConstantAndWritableProperties)
{
    start();
    auto r = testkit::busctl(
        {"introspect", wattkeeperService, wattkeeperPath, wattkeeperInterface});
    ASSERT_EQ(r.status, 0) << r.err;
    auto line = [&r](const std::string& name) {
        auto at = r.out.find("\n" + name + " ");
        return at == std::string::npos
                   ? std::string()
                   : r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
    };
    EXPECT_THAT(line(".AlarmThreshold"), HasSubstr("emits-change writable"));
    for (const char* p : {".MaxPower", ".AvgPower", ".StatStartTimestamp"})
    {
        EXPECT_THAT(line(p), HasSubstr("const")) << p;
        EXPECT_THAT(line(p), Not(HasSubstr("writable"))) << p;
    }
    EXPECT_THAT(line(".GetPowerHistoryDataRange"), HasSubstr(" xx "));
    EXPECT_THAT(line(".GetPowerHistoryDataRange"), HasSubstr(" ax "));
    EXPECT_THAT(line(".GetStatSummary"), HasSubstr(" s "));
    EXPECT_THAT(line(".CleanPowerHistoryData"), Not(IsEmpty()));
}

TEST_F(DaemonTest, ThresholdIsStoredWithoutSignalAndReloaded)
{
    start();
    std::vector<std::string> signals;
    auto changes = followChanges(signals);

    auto r =
        testkit::busctl({"set-property", wattkeeperService, wattkeeperPath,
                         wattkeeperInterface, "AlarmThreshold", "i", "350"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(get<int32_t>("AlarmThreshold"), 350);
    EXPECT_EQ(readFile(configPath()), "{\n    \"AlarmThreshold\": 350000\n}");
    EXPECT_TRUE(daemon->waitForOutput("Config file has been updated.\n", true));
    // A signal would have come before the reply to this call.
    client->callMethod(wattkeeperService, wattkeeperPath,
                       "org.freedesktop.DBus.Peer", "Ping");
    while (client->process() > 0)
    {}
    EXPECT_THAT(signals, IsEmpty());

    // A threshold whose milliwatts do not fit, or that cannot be stored, is
    // refused and not taken.
    auto setError = [this](int32_t watts) -> std::string {
        try
        {
            client->callMethod(wattkeeperService, wattkeeperPath,
                               "org.freedesktop.DBus.Properties", "Set",
                               std::string(wattkeeperInterface),
                               std::string("AlarmThreshold"),
                               std::variant<int32_t>(watts));
        }
        catch (const sdbus::SdBusError& e)
        {
            return e.name();
        }
        return "";
    };
    EXPECT_EQ(setError(3000000), "org.freedesktop.DBus.Error.InvalidArgs");
    std::filesystem::create_directory(configPath() + ".tmp");
    EXPECT_EQ(setError(200),
              "xyz.openbmc_project.Common.Error.InternalFailure");
    std::filesystem::remove(configPath() + ".tmp");
    EXPECT_EQ(get<int32_t>("AlarmThreshold"), 350);
    EXPECT_EQ(readFile(configPath()), "{\n    \"AlarmThreshold\": 350000\n}");

    restart();
    EXPECT_EQ(get<int32_t>("AlarmThreshold"), 350);
}

TEST_F(DaemonTest, TheThresholdAlreadyStoredIsNotWrittenAgain)
{
    std::filesystem::create_directories(configDir());
    writeFile(configPath(), "{\n    \"AlarmThreshold\": 350000\n}");
    start();
    std::vector<std::string> signals;
    auto changes = followChanges(signals);
    auto stamp = [this] {
        struct stat st
        {};
        EXPECT_EQ(::stat(configPath().c_str(), &st), 0);
        return std::tuple(st.st_ino, st.st_size, st.st_mtim.tv_sec,
                          st.st_mtim.tv_nsec);
    };
    auto updates = [this](std::size_t n) {
        return testkit::waitUntil(
            [&] {
            const std::string err = daemon->err();
            std::size_t seen = 0;
            for (auto at = err.find("Config file has been updated.\n");
                 at != std::string::npos;
                 at = err.find("Config file has been updated.\n", at + 1))
            {
                ++seen;
            }
            return seen == n;
            },
            10s);
    };
    auto set = [](const char* watts) {
        return testkit::busctl({"set-property", wattkeeperService,
                                wattkeeperPath, wattkeeperInterface,
                                "AlarmThreshold", "i", watts})
            .status;
    };

    // As read at start, and as this daemon wrote it.
    const auto atStart = stamp();
    ASSERT_EQ(set("350"), 0);
    EXPECT_TRUE(updates(1));
    EXPECT_EQ(stamp(), atStart);
    ASSERT_EQ(set("300"), 0);
    const auto written = stamp();
    EXPECT_NE(written, atStart);
    ASSERT_EQ(set("300"), 0);
    EXPECT_TRUE(updates(3));
    EXPECT_EQ(stamp(), written);
    EXPECT_EQ(get<int32_t>("AlarmThreshold"), 300);
    EXPECT_EQ(readFile(configPath()), "{\n    \"AlarmThreshold\": 300000\n}");

    // A file changed behind the daemon's back is written again.
    writeFile(configPath(), "{\"AlarmThreshold\":300000}");
    ASSERT_EQ(set("300"), 0);
    EXPECT_EQ(readFile(configPath()), "{\n    \"AlarmThreshold\": 300000\n}");

    client->callMethod(wattkeeperService, wattkeeperPath,
                       "org.freedesktop.DBus.Peer", "Ping");
    while (client->process() > 0)
    {}
    EXPECT_THAT(signals, IsEmpty());
}

TEST_F(DaemonTest, PowerAtTheThresholdIsReportedOnce)
{
    testkit::Simulator sim(powerSensorConfig(150000));
    start();
    auto r =
        testkit::busctl({"set-property", wattkeeperService, wattkeeperPath,
                         wattkeeperInterface, "AlarmThreshold", "i", "100"});
    ASSERT_EQ(r.status, 0) << r.err;

    ASSERT_TRUE(testkit::waitUntil(
        [this] { return !stubs.calls("log-util").empty(); }, 10s));
    EXPECT_THAT(
        stubs.calls("log-util"),
        ElementsAre(ElementsAre(
            "PRIORITY=4", "REDFISH_MESSAGE_ID=OpenBMC.0.1.PowerOverThreshold",
            "REDFISH_MESSAGE_ARGS=150,100",
            "MESSAGE=Power consumption exceeded threshold. Power: 150, "
            "Threshold: 100.")));

    // The power stays above it: no second report while samples go on.
    sim.setProperty(sensorService, totalPower, valueIntf, "Value", "d",
                    170000.0);
    EXPECT_TRUE(waitFor("MaxPower", 170.0));
    EXPECT_EQ(stubs.calls("log-util").size(), 1U);
}

TEST_F(DaemonTest, HistoryFileIsServedCleanedAndKeptAcrossRestarts)
{
    const int64_t t = nowSeconds() - 3600;
    std::vector<HistoryRecord> ring(PowerStatistics::recordCount);
    ring[0] = {t, 100000, 120000};
    ring[1] = {t + 600, 200000, 260000};
    ring[2] = {t + 1200, 300000, 310000};
    std::filesystem::create_directories(configDir());
    // Cut inside the fourth record: the file is completed at start.
    writeFile(historyPath(),
              HistoryFile::encode(ring).substr(0, 8 + 16 * 3 + 7));

    start();
    EXPECT_TRUE(daemon->waitForOutput(
        "Expect to get 4464 records, while we got 3\n", true));
    EXPECT_TRUE(fileHolds(historyPath(), HistoryFile::encode(ring)));
    EXPECT_THAT(historyRange(1, farFuture),
                ElementsAre(t, packed(100000, 120000), t + 600,
                            packed(200000, 260000), t + 1200,
                            packed(300000, 310000)));
    EXPECT_THAT(historyRange(t + 1, t + 1200),
                ElementsAre(t + 600, packed(200000, 260000), t + 1200,
                            packed(300000, 310000)));
    EXPECT_EQ(get<int64_t>("StatStartTimestamp"), t - 600);
    EXPECT_EQ(get<double>("MaxPower"), 310.0);

    restart();
    EXPECT_EQ(historyRange(1, farFuture).size(), 6U);
    EXPECT_EQ(daemon->err().find("Expect to get"), std::string::npos);

    client->callMethod(wattkeeperService, wattkeeperPath, wattkeeperInterface,
                       "CleanPowerHistoryData");
    EXPECT_THAT(historyRange(1, farFuture), IsEmpty());
    const std::string empty = HistoryFile::encode(
        std::vector<HistoryRecord>(PowerStatistics::recordCount));
    EXPECT_TRUE(fileHolds(historyPath(), empty));

    restart();
    EXPECT_THAT(historyRange(1, farFuture), IsEmpty());
    EXPECT_TRUE(fileHolds(historyPath(), empty));
}

TEST_F(DaemonTest, ClosedWindowWritesOneRecordInPlace)
{
    const std::string fastClock = fastClockLibrary();
    if (fastClock.empty())
    {
        GTEST_SKIP() << "libfaketime is not installed (scripts/deps)";
    }
    if (testkit::emulated())
    {
        // Under qemu-user on a loaded machine the sped-up clock sometimes
        // closes windows far apart (one in 30 s); the native builds run it.
        GTEST_SKIP() << "the sped-up clock is not steady under the emulator";
    }
    testkit::Simulator sim(powerSensorConfig(150000));
    // Fifteen minutes of wall clock per second: every sample closes a
    // window. The steady clock, and so the sampling period, stays real.
    // The library also cuts every wait in poll by that factor, and so the
    // daemon's wait for a D-Bus reply from 25 s to 28 ms: the clock speeds
    // up only once the daemon has its sensor (the rate file is read again
    // within a second).
    const std::string rate = (dir.path() / "clock-rate").string();
    writeFile(rate, "+0 x1\n");
    const char* asan = std::getenv("ASAN_OPTIONS");
    daemon = spawn({"-i", "1"}, true,
                   {{"LD_PRELOAD", fastClock},
                    {"FAKETIME_TIMESTAMP_FILE", rate},
                    {"FAKETIME_CACHE_DURATION", "1"},
                    {"FAKETIME_DONT_FAKE_MONOTONIC", "1"},
                    {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") +
                                         ":verify_asan_link_order=0"}});
    ASSERT_NO_FATAL_FAILURE(ready());
    ASSERT_TRUE(waitFor("AvgPower", 150.0)) << daemon->err();
    // Renamed into place: the library must never read a half-written rate
    // ("+0 x9" would slow the windows a hundredfold).
    writeFile(rate + ".new", "+0 x900\n");
    std::filesystem::rename(rate + ".new", rate);

    auto closed = [this] { return storedRecords(historyPath()).size(); };
    ASSERT_TRUE(testkit::waitUntil([&] { return closed() >= 1; }, 20s))
        << daemon->err();
    const std::size_t firstCount = closed();
    const int64_t firstBytes = bytesWritten(daemon->pid());
    ASSERT_TRUE(
        testkit::waitUntil([&] { return closed() >= firstCount + 4; }, 30s))
        << closed() << " records: " << daemon->err();
    const int64_t lastBytes = bytesWritten(daemon->pid());
    const std::size_t lastCount = closed();
    ASSERT_GE(firstBytes, 0);
    EXPECT_LT((lastBytes - firstBytes) /
                  static_cast<int64_t>(lastCount - firstCount),
              4096);

    daemon->terminate();
    const auto stored = storedRecords(historyPath());
    ASSERT_TRUE(testkit::waitUntil([this] { return !nameOwned(); }, 10s));
    start();
    std::vector<int64_t> expected;
    for (const auto& r : stored)
    {
        EXPECT_EQ(r.average, 150000);
        expected.push_back(r.timestamp);
        expected.push_back(packed(r.average, r.maximum));
    }
    EXPECT_EQ(historyRange(1, farFuture), expected);
}

TEST_F(DaemonTest, AnswersWithin3sWhileTheMapperHangs)
{
    testkit::Simulator sim(powerSensorConfig(150000));
    // The mapper owns its name and never answers in time: every attempt to
    // make the total-power reader, at start and then again, waits for it.
    sim.setDelay("xyz.openbmc_project.ObjectMapper", 120000);
    daemon = spawn({"-i", "1"});
    ASSERT_TRUE(daemon->waitForBusName(wattkeeperService)) << daemon->err();

    auto startedAt = std::chrono::steady_clock::now();
    int answers = 0;
    while (std::chrono::steady_clock::now() - startedAt < 6s)
    {
        auto m =
            client->newMethodCall(wattkeeperService, wattkeeperPath,
                                  "org.freedesktop.DBus.Properties", "Get");
        m.append(std::string(wattkeeperInterface),
                 std::string("AlarmThreshold"));
        ASSERT_NO_THROW(client->call(m, 3'000'000)) << "answer " << answers;
        ++answers;
    }
    EXPECT_TRUE(daemon->running());
    EXPECT_THAT(daemon->err(), HasSubstr("createDbusPassive: exception: "
                                         "sd_bus_call: "
                                         "org.freedesktop.DBus.Error.Timeout"));
}

TEST_F(DaemonTest, SensorThatAppearsLaterIsSampled)
{
    testkit::Simulator sim(powerSensorConfig(120000, true));
    start();
    EXPECT_EQ(get<double>("AvgPower"), 0.0);
    sim.setAbsent(sensorService, false);
    EXPECT_TRUE(waitFor("AvgPower", 120.0)) << daemon->err();
}

TEST_F(DaemonTest, ConfigWithoutAUsableThresholdFailsTheStart)
{
    std::filesystem::create_directories(configDir());
    const std::pair<const char*, const char*> cases[] = {
        {"{\"Threshold\": 5}", "type must be number, but is null"},
        {"{\"AlarmThreshold\": \"abc\"}", "type must be number, but is string"},
        {"{\"AlarmThreshold\": 3000000000000}", "3000000000000"}};
    for (const auto& [text, reason] : cases)
    {
        writeFile(configPath(), text);
        auto p = spawn({"-i", "1"});
        EXPECT_EQ(p->waitExit(), 255) << text;
        EXPECT_THAT(p->err(), HasSubstr("Exception during global manager init. "
                                        "Message: "))
            << text;
        EXPECT_THAT(p->err(), HasSubstr(reason)) << text;
        EXPECT_THAT(p->err(),
                    HasSubstr("Failed of initing global manager service\n"))
            << text;
        ASSERT_TRUE(testkit::waitUntil([this] { return !nameOwned(); }, 10s));
    }
}

TEST_F(DaemonTest, WithoutItsFolderNothingIsWrittenElsewhere)
{
    // The daemon's working directory holds a file of the name a temporary
    // file of an empty path would take.
    const auto cwd = dir.path() / "cwd";
    std::filesystem::create_directories(cwd);
    writeFile((cwd / ".tmp").string(), "keep");
    const auto testCwd = std::filesystem::current_path();
    std::filesystem::current_path(cwd);
    daemon = spawn({"-c", "/proc/wattkeeper", "-i", "1"}, false);
    std::filesystem::current_path(testCwd);
    ASSERT_NO_FATAL_FAILURE(ready());
    EXPECT_TRUE(daemon->waitForOutput("Failed to exec command. ", true));

    auto errorOf = [this](auto call) -> std::string {
        try
        {
            call();
        }
        catch (const sdbus::SdBusError& e)
        {
            return e.name();
        }
        return "";
    };
    constexpr const char* internalFailure =
        "xyz.openbmc_project.Common.Error.InternalFailure";
    EXPECT_EQ(errorOf([this] {
                  client->callMethod(wattkeeperService, wattkeeperPath,
                                     "org.freedesktop.DBus.Properties", "Set",
                                     std::string(wattkeeperInterface),
                                     std::string("AlarmThreshold"),
                                     std::variant<int32_t>(200));
              }),
              internalFailure);
    EXPECT_EQ(errorOf([this] {
                  client->callMethod(wattkeeperService, wattkeeperPath,
                                     wattkeeperInterface,
                                     "CleanPowerHistoryData");
              }),
              internalFailure);
    EXPECT_EQ(get<int32_t>("AlarmThreshold"), 0);
    EXPECT_EQ(readFile((cwd / ".tmp").string()), "keep");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cwd),
                            std::filesystem::directory_iterator()),
              1);
}

} // namespace
} // namespace bmcmon::test

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {.overlays = {"/var"}});
}
