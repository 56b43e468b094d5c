// arrayscout beside the floor service, over two controllers of 24 drives
// and 8 volumes each on the simulated storage library and I2C buses:
// start-up (its first scan creates the objects) to its bus name, scans
// (AgentSynchronizeData) that find nothing changed and scans in which every
// drive's state changed, and the figures every daemon has. Runs in a private
// mount namespace (the inventory files land in an overlay of /var) on a private
// bus, with one client that receives every PropertiesChanged signal.

#include "inventory.hpp"
#include "storesim_description.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>
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
    benchkit::runInventoryBench(
        {.component = "arrayscout",
         .service = service,
         .root = root,
         .interface = iface,
         .options = {.argv = {binary},
                     .env = {{"STORESIM_CONFIG", sim.path()},
                             {"LD_PRELOAD", i2c},
                             {"ASAN_OPTIONS",
                              asan + ":verify_asan_link_order=0"}},
                     .pathPrepend = {}},
         .changed = "drives changed",
         .change = [&](int i) {
             sim.write(description(i % 2 == 0 ? 0x18 : 0));
         }});
    return 0;
}
