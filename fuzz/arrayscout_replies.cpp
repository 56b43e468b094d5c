// The storage library's replies, taken from the input, through a
// controller's refresh (controller, health, drive and volume lists and
// information, SCSI inquiry and SATA identify pass-through) and then
// through AddLD's reads of the controller and its RAID configuration.
//
// The input is a series of replies, one per command in the order sent:
// a status byte (0 success, anything else the library's failure code),
// a 16-bit little-endian length, then that many bytes of the data area
// (cut to the area's size; the rest of the area stays zero). When the
// input runs out every command fails.

#include "controller_properties.hpp"
#include "fuzz_util.hpp"
#include "management.hpp"
#include "offline_bus.hpp"
#include "property_cache.hpp"
#include "storelib.hpp"

#include <cstring>

namespace
{

fuzz::Reader* replies = nullptr;

} // namespace

extern "C" int ProcessLibCommand(StorageCommand* command)
{
    if (replies == nullptr || replies->empty())
    {
        return 1;
    }
    uint8_t status = replies->byte();
    std::string bytes = replies->take(replies->u16());
    if (command->data != nullptr && command->dataSize > 0)
    {
        std::size_t n = std::min<std::size_t>(bytes.size(), command->dataSize);
        std::memcpy(command->data, bytes.data(), n);
    }
    return status;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    fuzz::Reader input(data, size);
    replies = &input;
    {
        auto bus = fuzz::offlineBus();
        sdbus::ObjectServer server(bus);
        arrayscout::objectServer = &server;
        arrayscout::BusMap[1][0][0] =
            server.addInterface("/xyz/openbmc_project/Raid/rs1cs0ds0",
                                "xyz.openbmc_project.Raid.Device");
        arrayscout::updateCtrlDevice(1, 0, 0, 0);
        arrayscout::addLogicalDrive(0, "vd0", {8, 9}, 6, 0, 0, 0, 0, 1);

        arrayscout::BusMap.clear();
        arrayscout::resetDeviceState();
        arrayscout::objectServer = nullptr;
    }
    replies = nullptr;
    return 0;
}
