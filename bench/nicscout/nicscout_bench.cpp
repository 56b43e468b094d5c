// nicscout beside the floor service, over a 1,000-line inventory file (500
// adapters of two ports): its AgentSynchronizeData with the file unchanged
// and with every link status changed, and the figures every daemon has.
// Runs in a private mount namespace (the file lives in an overlay of /var)
// on a private bus, with one client that receives every PropertiesChanged
// signal.

#include "inventory.hpp"
#include "testkit/private_bus.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"

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
constexpr int adapters = 500;
constexpr int ports = 2;

void writeInventory(const std::string& link)
{
    std::ofstream out("/var/lib/smbios/network", std::ios::trunc);
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
    writeInventory("Up");
    std::printf("nicscout: %d-line inventory, %d adapters of %d ports\n",
                adapters * ports, adapters, ports);
    benchkit::runInventoryBench(
        {.component = "nicscout",
         .service = service,
         .root = root,
         .interface = iface,
         .options = {.argv = {binary}, .env = {}, .pathPrepend = {}},
         .changed = "links changed",
         .change = [](int i) { writeInventory(i % 2 == 0 ? "Down" : "Up"); }});
    return 0;
}
