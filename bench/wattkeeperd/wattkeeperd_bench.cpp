// Times the power statistics: one sample folded into the open window, one
// sample that closes a window (the history file is replaced), and a history
// query over a full 31-day ring, in process and through the real daemon on
// a private bus.

#include "benchkit.hpp"
#include "global_manager.hpp"
#include "history_file.hpp"
#include "power_statistics.hpp"
#include "sdbus/bus.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/tempdir.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

namespace
{

using benchkit::Clock;
constexpr int64_t start = 1'700'000'000;
constexpr uint32_t N = bmcmon::PowerStatistics::recordCount;
constexpr int64_t all = std::numeric_limits<int64_t>::max();

void writeFullRing(const std::string& dir)
{
    std::vector<bmcmon::HistoryRecord> ring(N);
    for (uint32_t i = 0; i < N; ++i)
    {
        ring[i] = {start + 600 * static_cast<int64_t>(i),
                   static_cast<int32_t>(300000 + i),
                   static_cast<int32_t>(400000 + i)};
    }
    std::ofstream out(dir + "/history.dat", std::ios::binary);
    out << bmcmon::HistoryFile::encode(ring);
}

} // namespace

int main()
{
    // The daemon's journal line stays in the sandbox.
    std::string refused = testkit::enterSandbox({.journal = true});
    if (!refused.empty())
    {
        std::cout << "(no sandbox: " << refused << ")\n";
    }
    testkit::TempDir dir("wattkeeper-bench");
    const std::string folder = dir.path().string();

    int64_t now = start;
    bmcmon::PowerStatistics stats(nullptr, nullptr);
    stats.setClock([&now] { return now; });
    stats.initStatistics(folder);

    constexpr int folds = 1'000'000;
    auto t0 = Clock::now();
    for (int i = 0; i < folds; ++i)
    {
        stats.accumulateSample(start + (i % 599), 250000 + (i & 1023));
    }
    std::printf("sample fold into the open window: %.3f us (%d folds)\n",
                benchkit::since<std::micro>(t0) / folds, folds);

    constexpr int closes = 200;
    t0 = Clock::now();
    for (int i = 1; i <= closes; ++i)
    {
        stats.accumulateSample(start + 600 * i, 250000);
    }
    std::printf("sample fold closing a window (history file replaced, "
                "fsync): %.3f ms (%d closes)\n",
                benchkit::since<std::milli>(t0) / closes, closes);

    writeFullRing(folder);
    bmcmon::PowerStatistics full(nullptr, nullptr);
    full.initStatistics(folder);
    constexpr int queries = 2000;
    std::size_t values = 0;
    t0 = Clock::now();
    for (int i = 0; i < queries; ++i)
    {
        values += full.getHistoryRange(0, all).size();
    }
    std::printf("history query over a full ring, in process: %.3f us "
                "(%zu values per answer)\n",
                benchkit::since<std::micro>(t0) / queries, values / queries);

    const char* exe = std::getenv("WATTKEEPERD");
    if (exe == nullptr)
    {
        std::cout << "WATTKEEPERD not set: no figure through D-Bus\n";
        return 0;
    }
    testkit::PrivateBus bus;
    testkit::Process daemon({.argv = {exe, "-c", folder, "-i", "60"},
                             .env = {},
                             .pathPrepend = {}});
    if (!daemon.waitForBusName(bmcmon::wattkeeperService))
    {
        std::cerr << "wattkeeperd did not start: " << daemon.err() << "\n";
        return 1;
    }
    sdbus::Bus client = sdbus::Bus::newSystem();
    constexpr int calls = 300;
    benchkit::Samples ms;
    for (int i = 0; i < calls; ++i)
    {
        auto c0 = Clock::now();
        auto reply =
            client
                .callMethod(bmcmon::wattkeeperService, bmcmon::wattkeeperPath,
                            bmcmon::wattkeeperInterface,
                            "GetPowerHistoryDataRange", static_cast<int64_t>(0),
                            all)
                .unpack<std::vector<int64_t>>();
        ms.add(benchkit::since<std::milli>(c0));
        if (reply.size() != 2 * N)
        {
            std::cerr << "unexpected answer of " << reply.size() << " values\n";
            return 1;
        }
    }
    std::printf("GetPowerHistoryDataRange over a full ring through D-Bus: "
                "median %.3f ms, p95 %.3f ms, max %.3f ms (%d calls, %u "
                "records)\n",
                ms.median(), ms.percentile(95), ms.max(), calls, N);
    return 0;
}
