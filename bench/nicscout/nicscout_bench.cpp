// nicscout beside the floor service, over a 1,000-line inventory file (500
// adapters of two ports): its AgentSynchronizeData with the file unchanged
// and with every link status changed, and the figures every daemon has.
// Then the syncs beside the floors of the same work: the file read and
// split in C (the floor's SplitFile), and that sync plus as many signals
// as a changing sync brings (EmitChanges); private memory at start with a
// three-adapter inventory, and per adapter between the two. Runs in a
// private mount namespace (the file lives in an overlay of /var) on a
// private bus, with one client that receives every PropertiesChanged
// signal.

#include "floor.hpp"
#include "inventory.hpp"
#include "measure.hpp"
#include "sdbus/bus.hpp"
#include "sync_client.hpp"
#include "table.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/wait.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

namespace
{

constexpr const char* service = "xyz.openbmc_project.NetworkAdapter";
constexpr const char* root = "/xyz/openbmc_project/NetworkAdapter";
constexpr const char* iface = "xyz.openbmc_project.NetworkAdapter.Device";
constexpr const char* inventory = "/var/lib/smbios/network";
constexpr int adapters = 500;
constexpr int fewAdapters = 3;
constexpr int ports = 2;

void writeInventory(const std::string& link, int adapters = ::adapters)
{
    std::ofstream out(inventory, std::ios::trunc);
    char mac[32];
    for (int a = 0; a < adapters; ++a)
    {
        for (int p = 0; p < ports; ++p)
        {
            std::snprintf(mac, sizeof(mac), "3c:fd:fe:%02x:%02x:%02x", a >> 8,
                          a & 0xff, p);
            out << a * ports + p << "\tenp\t" << mac
                << "\tIntel Corporation\tEthernet Controller\tX710\t"
                << std::hex << 1 + a / 16 << "\t" << a % 16 << "\t" << p
                << std::dec << "\t" << link << "\tEnabled\tPCIe Slot " << a % 8
                << "\tCPU" << a % 2 << "\n";
        }
    }
}

/** Private memory of a daemon started on a three-adapter inventory, once
 *  its first pass is done; the daemon has left the bus when this returns. */
long fewAdaptersKiB(const testkit::Process::Options& options)
{
    writeInventory("Up", fewAdapters);
    std::unique_ptr<testkit::Process> daemon;
    benchkit::timeToName(options, service, &daemon);
    benchkit::SyncClient(service, root, iface).ping();
    const long kib = benchkit::privateKiB(daemon->pid());
    daemon->terminate();
    sdbus::Bus bus = sdbus::Bus::newSystem();
    if (!testkit::waitUntil(
            [&] {
        return !bus.callMethod("org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner",
                               std::string(service))
                    .unpack<bool>();
            },
            std::chrono::seconds(10)))
    {
        std::cerr << "nicscout_bench: " << service << " stayed owned\n";
        std::exit(1);
    }
    return kib;
}

/** The syncs beside the floors of the same work, and the memory rows. */
void moreRows(const benchkit::InventoryRun& run, long fewKiB)
{
    using benchkit::count;
    const int syncs = count(200, 10);
    const int batch = count(20, 5);
    auto unchanged = benchkit::interleave(
        syncs, batch, 2,
        {.pid = run.pid, .operation = [&](int) { run.client.sync(); }},
        {.pid = run.floor.pid(),
         .operation = [&](int) { run.floor.splitFile(inventory); }});
    run.table.add("sync, unchanged: CPU per call (floor: file split in C)",
                  unchanged.first.cpuPerOpUs, unchanged.second.cpuPerOpUs,
                  "us");

    run.client.signalsPerCall();
    const unsigned signals = adapters * ports;
    auto changed = benchkit::interleave(
        syncs, batch, 2,
        {.pid = run.pid,
         .operation = [&](int) { run.client.sync(); },
         .prepare = [](int i) { writeInventory(i % 2 == 0 ? "Down" : "Up"); }},
        {.pid = run.floor.pid(),
         .operation = [&](int) { run.floor.emitChanges(signals); }});
    // The floor: the unchanged sync above plus the floor's signals.
    run.table.add("sync, " + std::to_string(run.client.signalsPerCall()) +
                      " signals: CPU per call (floor: unchanged + " +
                      std::to_string(signals) + ")",
                  changed.first.cpuPerOpUs,
                  unchanged.first.cpuPerOpUs + changed.second.cpuPerOpUs, "us");

    run.table.add("private memory at start, " + std::to_string(fewAdapters) +
                      " adapters",
                  static_cast<double>(fewKiB),
                  static_cast<double>(run.floorStartKiB), "kB", 0);
    run.table.add(
        "private memory per adapter (" + std::to_string(fewAdapters) + " and " +
            std::to_string(adapters) + " adapters at start)",
        static_cast<double>(run.startKiB - fewKiB) / (adapters - fewAdapters),
        "kB", 2);
}

} // namespace

int main()
{
    std::string refused = testkit::enterSandbox(
        {.overlays = {"/var"}, .mkdirs = {"/var/lib/smbios"}});
    if (!refused.empty())
    {
        std::cerr << "nicscout_bench: no sandbox: " << refused << "\n";
        return 77;
    }
    const char* binary = std::getenv("NICSCOUT");
    if (binary == nullptr)
    {
        std::cerr << "nicscout_bench: NICSCOUT is not set\n";
        return 1;
    }

    testkit::PrivateBus privateBus;
    const testkit::Process::Options options{
        .argv = {binary}, .env = {}, .pathPrepend = {}};
    const long fewKiB = fewAdaptersKiB(options);
    writeInventory("Up");
    std::printf("nicscout: %d-line inventory, %d adapters of %d ports\n",
                adapters * ports, adapters, ports);
    benchkit::runInventoryBench(
        {.component = "nicscout",
         .service = service,
         .root = root,
         .interface = iface,
         .options = options,
         .changed = "links changed",
         .change = [](int i) { writeInventory(i % 2 == 0 ? "Down" : "Up"); },
         .moreRows =
             [fewKiB](const benchkit::InventoryRun& run) {
        moreRows(run, fewKiB);
         }});
    return 0;
}
