// wattkeeperd beside the floor service. In process: a sample folded into
// the open window, a sample that closes a window (its record written in
// place) beside a bare 16-byte write and fdatasync, the whole history
// rewrite it replaces, with the bytes each asks the kernel to write, and a
// history query over a full 31-day ring. Through the real daemon on a
// private bus: start-up to its bus name with that history, Set round trips
// of AlarmThreshold unchanged and changing, the history query beside the
// floor's answer of as many 64-bit values, private memory and its growth,
// and idle CPU.

#include "floor.hpp"
#include "global_manager.hpp"
#include "history_file.hpp"
#include "measure.hpp"
#include "power_statistics.hpp"
#include "sdbus/bus.hpp"
#include "table.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/tempdir.hpp"

#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr int64_t start = 1'700'000'000;
constexpr uint32_t N = bmcmon::PowerStatistics::recordCount;
constexpr int64_t all = std::numeric_limits<int64_t>::max();

double microsecondsSince(Clock::time_point t0, int count)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - t0)
               .count() /
           count;
}

/** The bytes this process has asked the kernel to write so far. */
int64_t bytesWritten()
{
    std::ifstream in("/proc/self/io");
    for (std::string key; in >> key;)
    {
        int64_t value = 0;
        in >> value;
        if (key == "wchar:")
        {
            return value;
        }
    }
    return 0;
}

std::string fileSystemOf(const std::string& path)
{
    struct statfs fs
    {};
    if (::statfs(path.c_str(), &fs) != 0)
    {
        return "an unknown file system";
    }
    switch (fs.f_type)
    {
        case EXT4_SUPER_MAGIC:
            return "ext4";
        case TMPFS_MAGIC:
            return "tmpfs (no storage behind the flushes)";
        case OVERLAYFS_SUPER_MAGIC:
            return "overlayfs";
        default:
            return "file system type " + std::to_string(fs.f_type);
    }
}

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
        std::cerr << "wattkeeperd_bench: no sandbox: " << refused << "\n";
        return 77;
    }
    const char* exe = std::getenv("WATTKEEPERD");
    if (exe == nullptr)
    {
        std::cerr << "wattkeeperd_bench: WATTKEEPERD is not set\n";
        return 1;
    }
    testkit::TempDir dir("wattkeeper-bench");
    const std::string folder = dir.path().string();
    benchkit::Table table("wattkeeperd");

    int64_t now = start;
    bmcmon::PowerStatistics stats(nullptr, nullptr);
    stats.setClock([&now] { return now; });
    stats.initStatistics(folder);

    const int folds = benchkit::count(1'000'000, 10'000);
    auto t0 = Clock::now();
    for (int i = 0; i < folds; ++i)
    {
        stats.accumulateSample(start + (i % 599), 250000 + (i & 1023));
    }
    table.add("sample fold into the open window, in process",
              microsecondsSince(t0, folds), "us", 3);

    std::printf("history file on %s\n", fileSystemOf(folder).c_str());
    const int closes = benchkit::count(200, 10);
    const double bareMs = benchkit::bareWriteMs(folder, closes);
    int64_t bytes0 = bytesWritten();
    t0 = Clock::now();
    for (int i = 1; i <= closes; ++i)
    {
        stats.accumulateSample(start + 600 * i, 250000);
    }
    const double closeMs = microsecondsSince(t0, closes) / 1000.0;
    const int64_t closeBytes = (bytesWritten() - bytes0) / closes;
    table.add("closed window (record in place, fdatasync)", closeMs, bareMs,
              "ms", 3);
    table.add("bytes written per closed window",
              static_cast<double>(closeBytes), 16.0, "B", 0);

    bytes0 = bytesWritten();
    t0 = Clock::now();
    for (int i = 0; i < closes; ++i)
    {
        stats.writeHistoryFile();
    }
    const double rewriteMs = microsecondsSince(t0, closes) / 1000.0;
    const int64_t rewriteBytes = (bytesWritten() - bytes0) / closes;
    table.add("whole history rewrite (not done on a close)", rewriteMs, bareMs,
              "ms", 3);
    table.add("bytes written per whole rewrite",
              static_cast<double>(rewriteBytes), 16.0, "B", 0);

    writeFullRing(folder);
    bmcmon::PowerStatistics full(nullptr, nullptr);
    full.initStatistics(folder);
    const int queries = benchkit::count(2000, 50);
    std::size_t values = 0;
    t0 = Clock::now();
    for (int i = 0; i < queries; ++i)
    {
        values += full.getHistoryRange(0, all).size();
    }
    table.add("history query over a full ring, in process",
              microsecondsSince(t0, queries), "us", 1);
    if (values != static_cast<std::size_t>(queries) * 2 * N)
    {
        std::cerr << "unexpected history of " << values / queries
                  << " values\n";
        return 1;
    }

    testkit::PrivateBus bus;
    const testkit::Process::Options options{
        .argv = {exe, "-c", folder, "-i", "60"}, .env = {}, .pathPrepend = {}};
    const int starts = benchkit::count(5, 2);
    auto [startD, startF] = benchkit::startups(starts, [&] {
        return benchkit::timeToName(options, bmcmon::wattkeeperService);
    });
    std::unique_ptr<testkit::Process> daemon;
    benchkit::timeToName(options, bmcmon::wattkeeperService, &daemon);
    benchkit::Floor floor;
    sdbus::Bus client = sdbus::Bus::newSystem();
    // The name is taken before the history is loaded: a call answered from
    // the loop says the start-up is over.
    client.callMethod(bmcmon::wattkeeperService, bmcmon::wattkeeperPath,
                      "org.freedesktop.DBus.Peer", "Ping");
    const long startKiB = benchkit::privateKiB(daemon->pid());
    const long floorStartKiB = benchkit::privateKiB(floor.pid());

    auto set = [&](int32_t watts) {
        client.callMethod(bmcmon::wattkeeperService, bmcmon::wattkeeperPath,
                          "org.freedesktop.DBus.Properties", "Set",
                          std::string(bmcmon::wattkeeperInterface),
                          std::string("AlarmThreshold"),
                          std::variant<int32_t>(watts));
        while (client.process() > 0)
        {}
    };
    // Every Set stores the threshold durably (a file rewritten and
    // flushed): milliseconds each, so fewer of them; the memory growth is
    // taken over the Gets.
    const int batch = benchkit::count(100, 20);
    const int warmUp = benchkit::count(20, 5);
    const int unchangedOps = benchkit::count(1000, 40);
    const int changingOps = benchkit::count(1000, 40);
    const pid_t pid = daemon->pid();
    auto unchanged = benchkit::interleave(
        unchangedOps, batch, warmUp,
        {.pid = pid, .operation = [&](int) { set(500); }},
        {.pid = floor.pid(), .operation = [&](int) { floor.set(false); }});
    auto changing = benchkit::interleave(
        changingOps, batch, warmUp,
        {.pid = pid, .operation = [&](int i) { set(i % 2 == 0 ? 400 : 600); }},
        {.pid = floor.pid(),
         .operation = [&](int i) { floor.set(i % 2 == 0); }});

    auto get = [&] {
        auto reply =
            client.callMethod(bmcmon::wattkeeperService, bmcmon::wattkeeperPath,
                              "org.freedesktop.DBus.Properties", "Get",
                              std::string(bmcmon::wattkeeperInterface),
                              std::string("AlarmThreshold"));
        return std::get<int32_t>(reply.unpack<std::variant<int32_t>>());
    };
    const int getOps = benchkit::count(100000, 2000);
    auto gets = benchkit::interleave(
        getOps, benchkit::count(1000, 100), benchkit::count(1000, 50),
        {.pid = pid, .operation = [&](int) { get(); }},
        {.pid = floor.pid(), .operation = [&](int) { floor.get(); }});

    const int calls = benchkit::count(300, 20);
    auto query = [&](int) {
        auto reply =
            client
                .callMethod(bmcmon::wattkeeperService, bmcmon::wattkeeperPath,
                            bmcmon::wattkeeperInterface,
                            "GetPowerHistoryDataRange", static_cast<int64_t>(0),
                            all)
                .unpack<std::vector<int64_t>>();
        if (reply.size() != 2 * N)
        {
            std::cerr << "unexpected answer of " << reply.size() << " values\n";
            std::exit(1);
        }
    };
    auto history = benchkit::interleave(
        calls, benchkit::count(50, 10), benchkit::count(20, 2),
        {.pid = pid, .operation = query},
        {.pid = floor.pid(), .operation = [&](int) {
             if (floor.array(2 * N) != 2 * N)
             {
                 std::cerr << "the floor's array is short\n";
                 std::exit(1);
             }
         }});
    // The same query beside the empty method, as it was first measured.
    auto historyBare = benchkit::interleave(
        calls, benchkit::count(50, 10), benchkit::count(20, 2),
        {.pid = pid, .operation = query},
        {.pid = floor.pid(), .operation = [&](int) { floor.call(); }});

    const double idleSeconds = benchkit::count(5, 1);
    auto [idleD, idleF] =
        benchkit::idleCpuPercent(pid, floor.pid(), idleSeconds);

    table.add("start-up to bus name, full history, median of " +
                  std::to_string(starts),
              startD.median(), startF.median(), "ms", 2);
    benchkit::addRun(table, "Set unchanged", unchanged);
    benchkit::addRun(table, "Set changing", changing);
    benchkit::addRun(table, "Get", gets);
    benchkit::addRun(table, "history 31 days / ax of " + std::to_string(2 * N),
                     history);
    table.add("history 31 days: CPU per call (floor: an empty method)",
              historyBare.first.cpuPerOpUs, historyBare.second.cpuPerOpUs,
              "us");
    table.addMemory(startKiB, floorStartKiB, history.first.kibAfter,
                    history.second.kibAfter);
    table.addGrowth("private memory growth over " + std::to_string(getOps) +
                        " Gets",
                    gets.first.kibAfter - gets.first.kibBefore,
                    gets.second.kibAfter - gets.second.kibBefore);
    table.addIdle("idle CPU", idleSeconds, idleD, idleF);
    table.print();
    return 0;
}
