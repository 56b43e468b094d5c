// The adapter inventory file, whole, through the pass that publishes it,
// then each of its lines through the line parser.

#include "adapter_properties.hpp"
#include "fuzz_util.hpp"
#include "inventory_line.hpp"
#include "network_adapters.hpp"
#include "offline_bus.hpp"

#include <sstream>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // The file's fixed path lies in the private mount namespace that
    // scripts/fuzz runs the targets in.
    fuzz::writeFile(nicscout::inventoryPath, data, size);
    auto bus = fuzz::offlineBus();
    sdbus::ObjectServer server(bus);
    nicscout::NetworkAdapters adapters(bus);
    try
    {
        adapters.updateNetworkAdapters();
    }
    catch (const std::invalid_argument&)
    {}
    catch (const std::out_of_range&)
    {}

    std::istringstream in(
        std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(in, line))
    {
        try
        {
            nicscout::InventoryLine::parse(line);
        }
        catch (const std::invalid_argument&)
        {}
        catch (const std::out_of_range&)
        {}
    }
    return 0;
}
