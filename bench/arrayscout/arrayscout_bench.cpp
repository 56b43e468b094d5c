// arrayscout beside the floor service, over two controllers of 24 drives
// and 8 volumes each on the simulated storage library and I2C buses:
// start-up (its first scan creates the objects) to its bus name, scans
// (AgentSynchronizeData) that find nothing changed and scans in which every
// drive's state changed, and the figures every daemon has. Beside the
// unchanged scan, its library floor: the storage-library calls of one such
// scan sent again in process to the same stand-in; beside the memory at
// start, the same less what the stand-in allocates. Runs in a private
// mount namespace (the inventory files land in an overlay of /var) on a private
// bus, with one client that receives every PropertiesChanged signal.

#include "inventory.hpp"
#include "library_floor.hpp"
#include "measure.hpp"
#include "storesim_description.hpp"
#include "sync_client.hpp"
#include "table.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/tempdir.hpp"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

namespace
{

using arrayscout_test::json;

constexpr const char* service = "xyz.openbmc_project.Raid";
constexpr const char* root = "/xyz/openbmc_project/Raid";
constexpr const char* iface = "xyz.openbmc_project.Raid.Device";
constexpr int controllers = 2;
constexpr int drives = 24;
constexpr int volumes = 8;

json description(int fwState)
{
    json list = json::array();
    for (int c = 0; c < controllers; ++c)
    {
        json ctrl = arrayscout_test::controller(c, drives, volumes);
        ctrl["bbu"] = {{"status", 0}};
        for (auto& d : ctrl["drives"])
        {
            d["fwState"] = fwState;
        }
        list.push_back(ctrl);
    }
    // Both controllers behind the card on bus 14: the first one's drives
    // go through the confirmation and the inventory files.
    return {{"buses", json::array({arrayscout_test::card(14, list)})}};
}

/** The storage-library commands of one unchanged scan, recorded by the
 *  stand-in in a daemon of its own into `record`. */
void recordOneScan(testkit::Process::Options options, const std::string& record)
{
    options.env["STORESIM_RECORD"] = record;
    std::unique_ptr<testkit::Process> daemon;
    benchkit::timeToName(options, service, &daemon);
    benchkit::SyncClient client(service, root, iface);
    // Answered once the start-up scan is over; the polled ones wait 30 s.
    client.ping();
    std::filesystem::resize_file(record, 0);
    client.sync();
    daemon->terminate();
}

} // namespace

int main()
{
    std::string refused = testkit::enterSandbox({.overlays = {"/var"}});
    if (!refused.empty())
    {
        std::cerr << "arrayscout_bench: no sandbox: " << refused << "\n";
        return 77;
    }
    const char* binary = std::getenv("ARRAYSCOUT");
    const char* i2c = std::getenv("ARRAYSCOUT_I2CSIM");
    if (binary == nullptr || i2c == nullptr)
    {
        std::cerr << "arrayscout_bench: ARRAYSCOUT or ARRAYSCOUT_I2CSIM is "
                     "not set\n";
        return 1;
    }

    testkit::PrivateBus privateBus;
    arrayscout_test::Description sim;
    sim.write(description(0));
    std::string asan = std::getenv("ASAN_OPTIONS") != nullptr
                           ? std::getenv("ASAN_OPTIONS")
                           : "";
    std::printf("arrayscout: %d controllers x %d drives x %d volumes "
                "(half SAS, half SATA drives)\n",
                controllers, drives, volumes);
    const testkit::Process::Options options{
        .argv = {binary},
        .env = {{"STORESIM_CONFIG", sim.path()},
                {"LD_PRELOAD", i2c},
                {"ASAN_OPTIONS", asan + ":verify_asan_link_order=0"}},
        .pathPrepend = {}};
    // Recorded and measured first: the recording needs a daemon of its own.
    testkit::TempDir dir("arrayscout-bench");
    const std::string record = (dir.path() / "commands").string();
    recordOneScan(options, record);
    ::setenv("STORESIM_CONFIG", sim.path().c_str(), 1);
    const auto floor = arrayscout_bench::measureLibraryFloor(
        record, i2c, benchkit::count(200, 10));

    benchkit::runInventoryBench(
        {.component = "arrayscout",
         .service = service,
         .root = root,
         .interface = iface,
         .options = options,
         .changed = "drives changed",
         .change =
             [&](int i) { sim.write(description(i % 2 == 0 ? 0x18 : 0)); },
         .moreRows =
             [&](const benchkit::InventoryRun& run) {
        run.table.add("library floor: the " + std::to_string(floor.calls) +
                          " library calls of a scan, CPU",
                      floor.cpuPerScanUs, "us");
        run.table.add("sync, unchanged: CPU per call beside the library floor",
                      run.unchangedCpuUs, floor.cpuPerScanUs, "us");
        run.table.add("the stand-in's allocations (library, I2C), in process",
                      static_cast<double>(floor.standInKiB), "kB", 0);
        run.table.add("private memory at start, the stand-in's taken out",
                      static_cast<double>(run.startKiB - floor.standInKiB),
                      static_cast<double>(run.floorStartKiB), "kB", 0);
         }});
    return 0;
}
