#include "inventory.hpp"

#include "floor.hpp"
#include "measure.hpp"
#include "sync_client.hpp"
#include "table.hpp"

#include <memory>

namespace benchkit
{

void runInventoryBench(const InventoryBench& bench)
{
    SyncClient client(bench.service, bench.root, bench.interface);
    const int starts = count(5, 2);
    auto [startD, startF] = startups(
        starts, [&] { return timeToName(bench.options, bench.service); });

    std::unique_ptr<testkit::Process> daemon;
    timeToName(bench.options, bench.service, &daemon);
    client.ping();
    Floor floor;
    const pid_t pid = daemon->pid();
    const long startKiB = privateKiB(pid);
    const long floorStartKiB = privateKiB(floor.pid());
    const Side bare{.pid = floor.pid(),
                    .operation = [&](int) { floor.call(); }};

    const int syncs = count(200, 10);
    const int batch = count(20, 5);
    auto unchanged = interleave(
        syncs, batch, 2, {.pid = pid, .operation = [&](int) { client.sync(); }},
        bare);
    const std::size_t unchangedSignals = client.signalsPerCall();
    auto changed = interleave(syncs, batch, 2,
                              {.pid = pid,
                               .operation = [&](int) { client.sync(); },
                               .prepare = bench.change},
                              bare);
    const std::size_t changedSignals = client.signalsPerCall();

    const int pingOps = count(100000, 2000);
    auto pings = interleave(
        pingOps, count(1000, 100), count(1000, 50),
        {.pid = pid, .operation = [&](int) { client.ping(); }},
        {.pid = floor.pid(), .operation = [&](int) { floor.ping(); }});

    const double idleSeconds = count(5, 1);
    auto [idleD, idleF] = idleCpuPercent(pid, floor.pid(), idleSeconds);

    Table table(bench.component);
    table.add("start-up to bus name, median of " + std::to_string(starts),
              startD.median(), startF.median(), "ms", 2);
    addRun(table,
           "sync, unchanged, " + std::to_string(unchangedSignals) + " signals",
           unchanged);
    addRun(table,
           "sync, " + bench.changed + ", " + std::to_string(changedSignals) +
               " signals",
           changed);
    addRun(table, "Ping", pings);
    table.addMemory(startKiB, floorStartKiB, pings.first.kibAfter,
                    pings.second.kibAfter);
    // From the end of the warm-up of both kinds of sync.
    table.addGrowth("private memory growth over " +
                        std::to_string(syncs + pingOps) + " calls",
                    pings.first.kibAfter - changed.first.kibBefore,
                    pings.second.kibAfter - changed.second.kibBefore);
    table.addIdle("idle CPU", idleSeconds, idleD, idleF);
    if (bench.moreRows)
    {
        bench.moreRows({.table = table,
                        .client = client,
                        .floor = floor,
                        .pid = pid,
                        .startKiB = startKiB,
                        .floorStartKiB = floorStartKiB,
                        .unchangedCpuUs = unchanged.first.cpuPerOpUs});
    }
    table.print();
}

} // namespace benchkit
