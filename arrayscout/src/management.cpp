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

namespace
{

/** What AddLD was asked for, as the volume entry takes it. */
struct NewVolume
{
    std::string name;
    int32_t stripeSize = 0;
    int32_t initState = 0;
    int32_t diskCachePolicy = 0;
    int32_t access = 0; // the low 4 bits of the access policy
    int32_t cachePolicy = 0;
    uint8_t level = 0; // the low byte of the RAID level
};

/** Step 1: the arguments, before anything is sent: 0, or 1. */
int checkAddArguments(const NewVolume& v, std::size_t drives)
{
    using namespace raid_config;
    if (v.stripeSize > 11)
    {
        printErr("Wrong stripeSize\n");
        return 1;
    }
    if (v.initState > 2)
    {
        printErr("Wrong initState\n");
        return 1;
    }
    if (v.diskCachePolicy > 2)
    {
        std::cout << "Wrong diskCachePolicy" << std::endl;
        std::cerr << "Wrong diskCachePolicy" << std::endl;
        return 1;
    }
    if (v.access == 1 || (v.access >= 4 && v.access <= 13))
    {
        std::cout << "Wrong accessPolicy" << std::endl;
        std::cerr << "Wrong accessPolicy" << std::endl;
        return 1;
    }
    // One array entry holds 32 drive entries; an array without drives has
    // no size.
    if (drives > maxArrayDrives)
    {
        printErr("Too many drives: %zu, at most %zu\n", drives, maxArrayDrives);
        return 1;
    }
    if (drives == 0)
    {
        printErr("Invalid number of disks provided.\n");
        return 1;
    }
    // The name field holds 15 characters and the terminator.
    if (v.name.size() > volNameLength - 1)
    {
        printErr("Wrong name\n");
        return 1;
    }
    return 0;
}

/** Steps 3 and 4: the configuration as it is, into `current`: 0, 1, or the
 *  library's status. */
int readConfiguration(int32_t controllerId, std::optional<ByteBuffer>& current)
{
    uint32_t size = 0;
    int status = getConfigSummary(controllerId, size);
    if (status != 0)
    {
        printErr("ConfigSummary : ProcessLibCommandCall failed = %x\n",
                 static_cast<unsigned>(status));
        return status;
    }
    if (size < raid_config::headerSize || size > maxConfigSize)
    {
        printErr("ConfigSummary : configuration size %u out of range\n", size);
        return 1;
    }
    try
    {
        current.emplace(size);
    }
    catch (const std::bad_alloc& e)
    {
        printErr("SL_READ_CONFIG : no buffer of %u bytes: %s\n", size,
                 e.what());
        return 1;
    }
    status = sendCommand(command::readConfig,
                         static_cast<uint32_t>(controllerId), *current);
    if (status != 0)
    {
        printErr("SL_READ_CONFIG : ProcessLibCommand fail with rval: 0x%x\n",
                 static_cast<unsigned>(status));
    }
    return status;
}

/** Step 5: the lowest array reference and target id that no array or
 *  volume of the configuration uses; false when either is used up. */
bool findFreeSlots(const ByteBuffer& current, uint16_t& newRef,
                   uint8_t& newTarget)
{
    using namespace raid_config;
    std::array<uint8_t, 128> freeRefs;
    freeRefs.fill(1);
    for (std::size_t at :
         entryOffsets(current, headerSize, current.u16(arrayCount),
                      current.u16(arraySize)))
    {
        uint16_t ref = current.u16(at + arrayRef);
        if (ref < freeRefs.size())
        {
            freeRefs[ref] = 0;
        }
    }
    std::array<uint8_t, 64> freeIds;
    markUsedTargetIds(current, freeIds);
    auto firstRef = std::find(freeRefs.begin(), freeRefs.end(), 1);
    auto firstId = std::find(freeIds.begin(), freeIds.end(), 1);
    if (firstRef == freeRefs.end() || firstId == freeIds.end())
    {
        // The new array or volume would take the place of an existing one.
        printErr("Invalid raid config\n");
        return false;
    }
    newRef = static_cast<uint16_t>(firstRef - freeRefs.begin());
    newTarget = static_cast<uint8_t>(firstId - freeIds.begin());
    printErr("find arrayRef %d can use\n", newRef);
    printErr("find targetid %d can use\n", newTarget);
    return true;
}

/** Steps 6 and 7: a configuration of one array (with its reference) and
 *  one volume, its header filled from the current one; nothing when the
 *  entries cannot hold the drives or no memory is left. */
std::optional<ByteBuffer> newConfiguration(const ByteBuffer& current,
                                           std::size_t drives, uint16_t ref)
{
    using namespace raid_config;
    std::size_t aSize = current.u16(arraySize);
    std::size_t vSize = current.u16(volumeSize);
    if (aSize < arrayDriveEntries + drives * driveEntrySize ||
        vSize < volMinSize)
    {
        printErr("SL_READ_CONFIG : entry sizes %zu and %zu too small\n", aSize,
                 vSize);
        return std::nullopt;
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
        return std::nullopt;
    }
    config->put32(totalSize, newSize);
    config->put16(arrayCount, 1);
    config->put16(arraySize, aSize);
    config->put16(volumeCount, 1);
    config->put16(volumeSize, vSize);
    config->put16(reserved12, 0);
    config->put16(reserved14, current.u16(reserved14));
    config->put16(headerSize + arrayRef, ref);
    return config;
}

/** Steps 8 and 9: the drives of the array, read from the library; the
 *  array is as large as its smallest drive allows. False when a drive
 *  cannot be read. */
bool addArrayDrives(int32_t controllerId, const std::vector<int32_t>& ids,
                    ByteBuffer& config, uint64_t& minBlocks)
{
    using namespace raid_config;
    const std::size_t array = headerSize;
    minBlocks = std::numeric_limits<uint64_t>::max();
    for (std::size_t i = 0; i < ids.size(); ++i)
    {
        ByteBuffer pd(command::getPdInfo.dataSize);
        if (getPdInfo(controllerId, ids[i], pd) != 0)
        {
            return false;
        }
        std::size_t at = array + arrayDriveEntries + i * driveEntrySize;
        uint16_t deviceId = pd.u16(pd_info::deviceId);
        uint16_t seq = pd.u16(pd_info::seqNum);
        uint8_t enclosure = pd.u16(pd_info::enclosureId) & 0xff;
        uint8_t slot = pd.u8(pd_info::slot);
        config.put16(at + 0, deviceId);
        config.put16(at + 2, seq);
        config.put16(at + 4, 0x18);
        config.put8(at + 6, enclosure);
        config.put8(at + 7, slot);
        printOut("array 0 pd %zu device ID: %d, seqNum: %d\n", i, deviceId,
                 seq);
        printOut("array 0 pd %zu fwstate: %d \n", i, 0x18);
        printOut("array 0 pd %zu encl ID: %d, encl slot: %d\n", i, enclosure,
                 slot);
        minBlocks = std::min(minBlocks, pd.u64(pd_info::arrayBlocks));
    }
    config.put64(array + arrayBlocks, minBlocks);
    config.put8(array + arrayDrives, ids.size() & 0xff);
    return true;
}

/** Step 11: whether the controller offers the level for that many
 *  drives. */
bool controllerTakesLevel(const ByteBuffer& info, uint8_t level,
                          std::size_t drives)
{
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
            return false;
    }
    if ((info.u8(ctrl_info::raidLevels) & bit) == 0)
    {
        printErr("Raid ctroller not support raidlevel %d \n", level);
        return false;
    }
    uint16_t limits = info.u16(limitField);
    std::size_t minDrives = limits & 0x0f;
    std::size_t maxDrives = limits >> 4;
    if (drives < minDrives || drives > maxDrives)
    {
        printErr("Invalid number of disks provided.\n");
        return false;
    }
    return true;
}

/** Step 10: the volume's id, name and policies. */
void putVolumeHead(ByteBuffer& config, std::size_t volume, const NewVolume& v,
                   uint8_t target)
{
    using namespace raid_config;
    config.put8(volume + volTargetId, target);
    for (std::size_t i = 0; i < v.name.size(); ++i)
    {
        config.put8(volume + volName + i, static_cast<uint8_t>(v.name[i]));
    }
    config.put8(volume + volCachePolicy, v.cachePolicy & 0xff);
    config.put8(volume + volAccessPolicy, v.access);
    config.put8(volume + volDiskCachePolicy, v.diskCachePolicy & 0xff);
}

/** Step 12: the rest of the volume and its span over the array. */
void putVolumeLayout(ByteBuffer& config, std::size_t volume, const NewVolume& v,
                     std::size_t drives, uint16_t ref, uint64_t blocks)
{
    using namespace raid_config;
    config.put8(volume + volRaidLevel, v.level);
    config.put8(volume + volQualifier, (v.level == 5 || v.level == 6) ? 3 : 0);
    config.put8(volume + 34, 0);
    config.put8(volume + volStripe, v.stripeSize & 0xff);
    config.put8(volume + volDrives, drives & 0xff);
    config.put8(volume + 37, 1);
    config.put8(volume + volState, 3);
    config.put8(volume + volInitState, v.initState & 0xff);
    config.put8(volume + 40, 1);
    config.put8(volume + 48, 3);
    config.put64(volume + volSpanStart, 0);
    config.put64(volume + volSpanBlocks, blocks);
    config.put16(volume + volSpanArrayRef, ref);
}

/** Step 13: sends the new configuration: 0, or 1. */
int32_t sendConfiguration(int32_t controllerId, ByteBuffer& config)
{
    int status = sendCommand(command::addConfig,
                             static_cast<uint32_t>(controllerId), config);
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

} // namespace

int32_t addLogicalDrive(int32_t controllerId, const std::string& name,
                        const std::vector<int32_t>& deviceIds,
                        int32_t stripeSize, int32_t initState,
                        int32_t diskCachePolicy, int32_t accessPolicy,
                        int32_t cachePolicy, int32_t raidLevel)
{
    const NewVolume v{.name = name,
                      .stripeSize = stripeSize,
                      .initState = initState,
                      .diskCachePolicy = diskCachePolicy,
                      .access = accessPolicy & 0x0f,
                      .cachePolicy = cachePolicy,
                      .level = static_cast<uint8_t>(raidLevel & 0xff)};
    const std::size_t n = deviceIds.size();
    if (checkAddArguments(v, n) != 0)
    {
        return 1;
    }
    ByteBuffer info(command::getCtrlInfo.dataSize);
    if (getCtrlInfo(controllerId, info) != 0)
    {
        return 1;
    }
    std::optional<ByteBuffer> current;
    if (int status = readConfiguration(controllerId, current); status != 0)
    {
        return status;
    }
    uint16_t ref = 0;
    uint8_t target = 0;
    if (!findFreeSlots(*current, ref, target))
    {
        return 1;
    }
    std::optional<ByteBuffer> config = newConfiguration(*current, n, ref);
    uint64_t blocks = 0;
    if (!config || !addArrayDrives(controllerId, deviceIds, *config, blocks))
    {
        return 1;
    }
    const std::size_t volume =
        raid_config::headerSize + current->u16(raid_config::arraySize);
    putVolumeHead(*config, volume, v, target);
    if (!controllerTakesLevel(info, v.level, n))
    {
        return 1;
    }
    putVolumeLayout(*config, volume, v, n, ref, blocks);
    return sendConfiguration(controllerId, *config);
}

} // namespace arrayscout
