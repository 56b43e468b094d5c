// The chassis type that the backplane fitted gives; declared with the
// general helpers, and logged under their unit.
#include "libkn/i2c.h"
#include "libkn/log.h"
#include "libkn/misc.h"

#include "core/file_io.hpp"
#include "hw/open_bus.hpp"

#include <cstdint>

int read_chassis_type(void)
{
    constexpr int bus = 1;
    constexpr uint8_t address = 0x3f;
    constexpr uint8_t offset = 0;
    constexpr uint8_t tenSlotBoard = 14;
    if (kn::pathExists("/var/run/backplane/10p0.json"))
    {
        return 2;
    }
    kn::OpenBus device(bus);
    if (!device.isOpen())
    {
        return 1;
    }
    uint8_t id = 0;
    int result = i2c_rw_data(device.get(), address, &offset, 1, &id, 1);
    device.close();
    if (result < 0)
    {
        log_call(KN_LOG_ERROR,
                 "i2c rw data failed bus=%u, address=%u offset=%u. %s:%d %s",
                 bus, address, offset, "misc", __LINE__, "read_chassis_type");
        return 1;
    }
    return (id & 0x1F) == tenSlotBoard ? 2 : 1;
}
