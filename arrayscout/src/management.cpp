#include "management.hpp"

#include "output.hpp"
#include "storage_commands.hpp"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <limits>
#include <new>
#include <optional>
#include <thread>

namespace arrayscout
{

namespace
{

using namespace std::chrono_literals;

// Largest configuration read from the library; a summary above it is taken
// for a fault rather than allocated.
constexpr uint32_t maxConfigSize = 16 * 1024 * 1024;

void settle(std::chrono::seconds wait)
{
    std::this_thread::sleep_for(wait);
}

/** The start of each entry that lies whole inside the configuration. */
std::vector<std::size_t> entryOffsets(const ByteBuffer& config,
                                      std::size_t first, std::size_t count,
                                      std::size_t size)
{
    std::vector<std::size_t> offsets;
    if (size == 0)
    {
        return offsets;
    }
    for (std::size_t i = 0; i < count; ++i)
    {
        std::size_t at = first + i * size;
        if (at + size > config.size())
        {
            break;
        }
        offsets.push_back(at);
    }
    return offsets;
}

std::vector<std::size_t> volumeOffsets(const ByteBuffer& config)
{
    using namespace raid_config;
    std::size_t arrays = config.u16(arrayCount);
    std::size_t aSize = config.u16(arraySize);
    return entryOffsets(config, headerSize + arrays * aSize,
                        config.u16(volumeCount), config.u16(volumeSize));
}

} // namespace

int32_t locatePd(int32_t controllerId, int32_t deviceId, int32_t duration)
{
    printErr("LOCATE_PD: ctrlID %d, driverID %d, duration %d\n", controllerId,
             deviceId, duration);
    printOut("LOCATE_PD: ctrlID %d, driverID %d, duration %d\n", controllerId,
             deviceId, duration);
    StorageCommand cmd = makeCommand(command::startLocatePd,
                                     static_cast<uint32_t>(controllerId));
    putParameter(cmd, 8, 2, static_cast<uint16_t>(deviceId));
    putParameter(cmd, 16, 1, static_cast<uint8_t>(duration));
    if (callLibrary(cmd) != 0)
    {
        printErr("SL_START_LOCATE_PD : ProcessLibCommand fail!\n");
        return 1;
    }
    settle(1s);
    printErr("SL_START_LOCATE_PD : ProcessLibCommand success!\n");
    return 0;
}

int32_t stopLocatePd(int32_t controllerId, int32_t deviceId)
{
    StorageCommand cmd =
        makeCommand(command::stopLocatePd, static_cast<uint32_t>(controllerId));
    putParameter(cmd, 8, 2, static_cast<uint16_t>(deviceId));
    if (callLibrary(cmd) != 0)
    {
        printErr("SL_STOP_LOCATE_PD : ProcessLibCommand fail!\n");
        return 1;
    }
    settle(1s);
    std::cout << "SL_STOP_LOCATE_PD: ProcessLibCommand success" << std::endl;
    printErr("SL_STOP_LOCATE_PD : ProcessLibCommand success!\n");
    return 0;
}

int32_t deleteVolumes(int32_t controllerId, int32_t targetId, int32_t seqNum,
                      int32_t force)
{
    StorageCommand cmd =
        makeCommand(command::deleteLd, static_cast<uint32_t>(controllerId));
    putParameter(cmd, 8, 2, static_cast<uint16_t>(seqNum));
    putParameter(cmd, 10, 1, static_cast<uint8_t>(targetId));
    if (force != 0)
    {
        putParameter(cmd, 21, 1, 10);
        putParameter(cmd, 22, 1, 15);
        putParameter(cmd, 23, 1, 13);
    }
    if (callLibrary(cmd) != 0)
    {
        std::cout << "SL_DELETE_LD : ProcessLibCommand fail!!!!!!!"
                  << std::endl;
        printErr("SL_DELETE_LD : ProcessLibCommand fail!\n");
        return 1;
    }
    settle(1s);
    std::cout << "SL_DELETE_LD: ProcessLibCommand success" << std::endl;
    printErr("SL_DELETE_LD : ProcessLibCommand success!\n");
    return 0;
}

int32_t setPdState(int32_t controllerId, int32_t deviceId, int32_t seqNum,
                   int32_t state)
{
    StorageCommand cmd =
        makeCommand(command::setPdState, static_cast<uint32_t>(controllerId));
    putParameter(cmd, 8, 2, static_cast<uint16_t>(deviceId));
    putParameter(cmd, 10, 2, static_cast<uint16_t>(seqNum));
    putParameter(cmd, 16, 2, static_cast<uint16_t>(state));
    int status = callLibrary(cmd);
    if (status != 0)
    {
        printErr("SL_SET_PD_STATE : ProcessLibCommand fail!\n");
        return status;
    }
    settle(1s);
    std::cout << "SL_SET_PD_STATE: ProcessLibCommand success" << std::endl;
    printErr("SL_SET_PD_STATE : ProcessLibCommand success!\n");
    return 0;
}

int markUsedTargetIds(const ByteBuffer& config, std::array<uint8_t, 64>& free)
{
    free.fill(1);
    for (std::size_t at : volumeOffsets(config))
    {
        uint8_t id = config.u8(at + raid_config::volTargetId);
        if (id < free.size())
        {
            free[id] = 0;
        }
    }
    return 0;
}

int32_t addLogicalDrive(int32_t controllerId, const std::string& name,
                        const std::vector<int32_t>& deviceIds,
                        int32_t stripeSize, int32_t initState,
                        int32_t diskCachePolicy, int32_t accessPolicy,
                        int32_t cachePolicy, int32_t raidLevel)
{
    using namespace raid_config;

    // 1. Arguments.
    if (stripeSize > 11)
    {
        printErr("Wrong stripeSize\n");
        return 1;
    }
    if (initState > 2)
    {
        printErr("Wrong initState\n");
        return 1;
    }
    if (diskCachePolicy > 2)
    {
        std::cout << "Wrong diskCachePolicy" << std::endl;
        std::cerr << "Wrong diskCachePolicy" << std::endl;
        return 1;
    }
    int32_t access = accessPolicy & 0x0f;
    if (access == 1 || (access >= 4 && access <= 13))
    {
        std::cout << "Wrong accessPolicy" << std::endl;
        std::cerr << "Wrong accessPolicy" << std::endl;
        return 1;
    }
    // One array entry holds 32 drive entries; an array without drives has
    // no size.
    if (deviceIds.size() > maxArrayDrives)
    {
        printErr("Too many drives: %zu, at most %zu\n", deviceIds.size(),
                 maxArrayDrives);
        return 1;
    }
    if (deviceIds.empty())
    {
        printErr("Invalid number of disks provided.\n");
        return 1;
    }
    // The name field holds 15 characters and the terminator.
    if (name.size() > volNameLength - 1)
    {
        printErr("Wrong name\n");
        return 1;
    }

    // 2. Controller.
    ByteBuffer info(command::getCtrlInfo.dataSize);
    if (getCtrlInfo(controllerId, info) != 0)
    {
        return 1;
    }

    // 3, 4. The configuration as it is.
    uint32_t size = 0;
    int status = getConfigSummary(controllerId, size);
    if (status != 0)
    {
        printErr("ConfigSummary : ProcessLibCommandCall failed = %x\n",
                 static_cast<unsigned>(status));
        return status;
    }
    if (size < headerSize || size > maxConfigSize)
    {
        printErr("ConfigSummary : configuration size %u out of range\n", size);
        return 1;
    }
    std::optional<ByteBuffer> current;
    try
    {
        current.emplace(size);
    }
    catch (const std::bad_alloc&)
    {
        return 1;
    }
    status = sendCommand(command::readConfig,
                         static_cast<uint32_t>(controllerId), *current);
    if (status != 0)
    {
        printErr("SL_READ_CONFIG : ProcessLibCommand fail with rval: 0x%x\n",
                 static_cast<unsigned>(status));
        return status;
    }

    // 5. Free array reference and target id.
    std::array<uint8_t, 128> freeRefs;
    freeRefs.fill(1);
    for (std::size_t at :
         entryOffsets(*current, headerSize, current->u16(arrayCount),
                      current->u16(arraySize)))
    {
        uint16_t ref = current->u16(at + arrayRef);
        if (ref < freeRefs.size())
        {
            freeRefs[ref] = 0;
        }
    }
    std::array<uint8_t, 64> freeIds;
    markUsedTargetIds(*current, freeIds);
    auto firstRef = std::find(freeRefs.begin(), freeRefs.end(), 1);
    auto firstId = std::find(freeIds.begin(), freeIds.end(), 1);
    if (firstRef == freeRefs.end() || firstId == freeIds.end())
    {
        // The new array or volume would take the place of an existing one.
        printErr("Invalid raid config\n");
        return 1;
    }
    auto newRef = static_cast<uint16_t>(firstRef - freeRefs.begin());
    auto newTarget = static_cast<uint8_t>(firstId - freeIds.begin());
    printErr("find arrayRef %d can use\n", newRef);
    printErr("find targetid %d can use\n", newTarget);

    // 6, 7. The new configuration: one array, one volume.
    std::size_t aSize = current->u16(arraySize);
    std::size_t vSize = current->u16(volumeSize);
    if (aSize < arrayDriveEntries + deviceIds.size() * driveEntrySize ||
        vSize < volMinSize)
    {
        printErr("SL_READ_CONFIG : entry sizes %zu and %zu too small\n", aSize,
                 vSize);
        return 1;
    }
    std::size_t newSize = aSize + vSize + headerSize;
    printOut("configDataSize :%zu\n", newSize);
    std::optional<ByteBuffer> config;
    try
    {
        config.emplace(newSize);
    }
    catch (const std::bad_alloc&)
    {
        printErr("\n Memory Allocation failure");
        return 1;
    }
    config->put32(totalSize, newSize);
    config->put16(arrayCount, 1);
    config->put16(arraySize, aSize);
    config->put16(volumeCount, 1);
    config->put16(volumeSize, vSize);
    config->put16(reserved12, 0);
    config->put16(reserved14, current->u16(reserved14));
    const std::size_t array = headerSize;
    config->put16(array + arrayRef, newRef);

    // 8, 9. The drives of the array.
    uint64_t minBlocks = std::numeric_limits<uint64_t>::max();
    for (std::size_t i = 0; i < deviceIds.size(); ++i)
    {
        ByteBuffer pd(command::getPdInfo.dataSize);
        if (getPdInfo(controllerId, deviceIds[i], pd) != 0)
        {
            return 1;
        }
        std::size_t at = array + arrayDriveEntries + i * driveEntrySize;
        uint16_t deviceId = pd.u16(pd_info::deviceId);
        uint16_t seq = pd.u16(pd_info::seqNum);
        uint8_t enclosure = pd.u16(pd_info::enclosureId) & 0xff;
        uint8_t slot = pd.u8(pd_info::slot);
        config->put16(at + 0, deviceId);
        config->put16(at + 2, seq);
        config->put16(at + 4, 0x18);
        config->put8(at + 6, enclosure);
        config->put8(at + 7, slot);
        printOut("array 0 pd %zu device ID: %d, seqNum: %d\n", i, deviceId,
                 seq);
        printOut("array 0 pd %zu fwstate: %d \n", i, 0x18);
        printOut("array 0 pd %zu encl ID: %d, encl slot: %d\n", i, enclosure,
                 slot);
        // The array is as large as its smallest drive allows.
        minBlocks = std::min(minBlocks, pd.u64(pd_info::arrayBlocks));
    }
    config->put64(array + arrayBlocks, minBlocks);
    config->put8(array + arrayDrives, deviceIds.size() & 0xff);

    // 10. The volume.
    const std::size_t volume = headerSize + aSize;
    config->put8(volume + volTargetId, newTarget);
    for (std::size_t i = 0; i < name.size(); ++i)
    {
        config->put8(volume + volName + i, static_cast<uint8_t>(name[i]));
    }
    config->put8(volume + volCachePolicy, cachePolicy & 0xff);
    config->put8(volume + volAccessPolicy, access);
    config->put8(volume + volDiskCachePolicy, diskCachePolicy & 0xff);

    // 11. The RAID level against the controller.
    uint8_t level = raidLevel & 0xff;
    std::size_t n = deviceIds.size();
    uint8_t bit = 0;
    std::size_t limitField = 0;
    switch (level)
    {
        case 0:
            bit = 0x01;
            limitField = ctrl_info::limitRaid0;
            break;
        case 1:
            bit = 0x02;
            limitField = ctrl_info::limitRaid1;
            break;
        case 5:
            bit = 0x04;
            limitField = ctrl_info::limitRaid5;
            break;
        case 6:
            bit = 0x10;
            limitField = ctrl_info::limitRaid6;
            break;
        default:
            printErr("raidlevel not supported!\n");
            return 1;
    }
    if ((info.u8(ctrl_info::raidLevels) & bit) == 0)
    {
        printErr("Raid ctroller not support raidlevel %d \n", level);
        return 1;
    }
    uint16_t limits = info.u16(limitField);
    std::size_t minDrives = limits & 0x0f;
    std::size_t maxDrives = limits >> 4;
    if (n < minDrives || n > maxDrives)
    {
        printErr("Invalid number of disks provided.\n");
        return 1;
    }

    // 12. The rest of the volume and its span.
    config->put8(volume + volRaidLevel, level);
    config->put8(volume + volQualifier, (level == 5 || level == 6) ? 3 : 0);
    config->put8(volume + 34, 0);
    config->put8(volume + volStripe, stripeSize & 0xff);
    config->put8(volume + volDrives, n & 0xff);
    config->put8(volume + 37, 1);
    config->put8(volume + volState, 3);
    config->put8(volume + volInitState, initState & 0xff);
    config->put8(volume + 40, 1);
    config->put8(volume + 48, 3);
    config->put64(volume + volSpanStart, 0);
    config->put64(volume + volSpanBlocks, minBlocks);
    config->put16(volume + volSpanArrayRef, newRef);

    // 13. Send it.
    status = sendCommand(command::addConfig,
                         static_cast<uint32_t>(controllerId), *config);
    if (status == 0 || status == addConfigDiagnosticsFailed)
    {
        printErr("SL_ADD_CONFIG : ProcessLibCommand success\n");
        if (status == addConfigDiagnosticsFailed)
        {
            printErr("But diagnostics failed - see event log for details");
        }
        settle(3s);
        return 0;
    }
    printErr("SL_ADD_CONFIG : ProcessLibCommand fail with rval: 0x%x\n",
             static_cast<unsigned>(status));
    return 1;
}

} // namespace arrayscout
