#include "volume_properties.hpp"

#include "output.hpp"
#include "property_cache.hpp"
#include "storage_commands.hpp"
#include "text_format.hpp"

#include <iostream>
#include <utility>
#include <vector>

namespace arrayscout
{

std::string volumeAccessText(uint8_t accessPolicy)
{
    switch (accessPolicy & 0x0f)
    {
        case 0:
            return "RW";
        case 2:
            return "READ ONLY";
        case 3:
            return "BLOCKED";
        case 14:
            return "TRANSPORT_READY";
        case 15:
            return "HIDDEN";
        default:
            return "Wrong";
    }
}

std::string volumeDiskCacheText(uint8_t policy)
{
    switch (policy)
    {
        case 0:
            return "Disk Default";
        case 1:
            return "ENABLE";
        case 2:
            return "DISABLE";
        default:
            return "Wrong";
    }
}

std::string volumeStateText(uint8_t state)
{
    switch (state)
    {
        case 0:
            return "OFFLINE";
        case 1:
            return "PARTIALLY_DEGRADED";
        case 2:
            return "DEGRADED";
        case 3:
            return "OPTIMAL";
        default:
            return "Unknown";
    }
}

std::string volumeRaidText(uint8_t level, uint8_t qualifier)
{
    switch (level)
    {
        case 0:
            return "RAID0";
        case 1:
            switch (qualifier)
            {
                case 0:
                    return "RAID1";
                case 1:
                    return "RAID1E";
                case 3:
                    return "RAID10";
                default:
                    return "Unknown";
            }
        case 5:
            return qualifier == 1 ? "RAID50" : "RAID5";
        case 6:
            return qualifier == 0 ? "RAID60" : "RAID6";
        default:
            return "Unknown";
    }
}

std::string volumeCachePolicyText(uint8_t bits)
{
    std::string text;
    if (bits & 0x01)
    {
        text += "WRITE_BACK\n";
    }
    // The three permissions follow read-ahead, each only with the one
    // before it.
    if (bits & 0x04)
    {
        text += "READ_AHEAD\n";
        if (bits & 0x10)
        {
            text += "WRITE_CACHE_BAD_BBU\n";
            if (bits & 0x20)
            {
                text += "ALLOW_WRITE_CACHE\n";
                if (bits & 0x40)
                {
                    text += "ALLOW_READ_CACHE\n";
                }
            }
        }
    }
    return text;
}

namespace
{

/** The volume arrays as they are built during the walk. */
struct VolumeArrays
{
    std::vector<int32_t> ids;
    std::vector<int32_t> seqNums;
    std::vector<std::string> names;
    std::vector<std::string> sizes;
    std::vector<std::string> access;
    std::vector<std::string> diskCache;
    std::vector<std::string> stripes;
    std::vector<std::string> states;
    std::vector<int32_t> numDrives;
    std::vector<std::string> raidTypes;
    std::vector<std::string> cachePolicies;
};

/** One volume's elements, in the order they are appended. */
void appendVolume(VolumeArrays& a, uint8_t targetId, const ByteBuffer& info)
{
    a.sizes.push_back(formatCapacity(info.u64(ld_info::blocks) * 512, 2));
    a.ids.push_back(targetId);
    a.seqNums.push_back(info.u16(ld_info::seqNum));
    a.names.push_back(
        deviceText(info.text(ld_info::name, ld_info::nameLength)));
    a.access.push_back(volumeAccessText(info.u8(ld_info::accessPolicy)));
    a.diskCache.push_back(
        volumeDiskCacheText(info.u8(ld_info::diskCachePolicy)));
    a.cachePolicies.push_back(
        volumeCachePolicyText(info.u8(ld_info::cachePolicy)));
    a.stripes.push_back(formatBlockSize(info.u8(ld_info::stripe)));
    a.numDrives.push_back(info.u8(ld_info::numDrives));
    a.states.push_back(volumeStateText(info.u8(ld_info::state)));
    a.raidTypes.push_back(volumeRaidText(info.u8(ld_info::raidLevel),
                                         info.u8(ld_info::qualifier)));
}

/** SL_Get_LD_INFO of one volume into `info`: whether it was read. */
bool readVolumeInfo(int controllerId, uint8_t targetId, ByteBuffer& info)
{
    StorageCommand cmd =
        makeCommand(command::getLdInfo, static_cast<uint32_t>(controllerId),
                    info.data(), static_cast<uint32_t>(info.size()));
    putParameter(cmd, 10, 1, targetId);
    if (callLibrary(cmd) != 0)
    {
        std::cout << "SL_Get_LD_INFO : ProcessLibCommand fail!!!!!!!"
                  << std::endl;
        return false;
    }
    std::cout << "SL_Get_LD_INFO : ProcessLibCommand success" << std::endl;
    return true;
}

void appendVolumeValues(VolumeArrays& a, PropertyList& values)
{
    values.emplace_back("LD_Ids", std::move(a.ids));
    values.emplace_back("LD_SeqNum", std::move(a.seqNums));
    values.emplace_back("LD_Names", std::move(a.names));
    values.emplace_back("LD_Sizes", std::move(a.sizes));
    values.emplace_back("LD_AccessPolicys", std::move(a.access));
    values.emplace_back("LD_WriteCachePolicys", std::move(a.diskCache));
    values.emplace_back("LD_StripeSizes", std::move(a.stripes));
    values.emplace_back("LD_States", std::move(a.states));
    values.emplace_back("LD_NumDrives", std::move(a.numDrives));
    values.emplace_back("LD_raidTypes", std::move(a.raidTypes));
    values.emplace_back("LD_CachePolicys", std::move(a.cachePolicies));
}

} // namespace

int readVolumeProperties(int r, int c, int d, int controllerId,
                         PropertyList& values)
{
    printOut("resourece_Seq:%d, ctrl_Seq:%d, ctrl_Seq:%d \n", r, c, d);
    ByteBuffer list(command::getLdList.dataSize);
    if (sendCommand(command::getLdList, static_cast<uint32_t>(controllerId),
                    list) != 0)
    {
        std::cout << "SL_GET_LD_LIST : ProcessLibCommand fail!!!!!!!"
                  << std::endl;
        return 2;
    }
    std::cout << "SL_GET_LD_LIST : ProcessLibCommand success" << std::endl;
    uint32_t count = list.u32(ld_list::count);
    if (count > ld_list::maxEntries)
    {
        printOut("volume count %u above %zu, the rest is not read\n", count,
                 ld_list::maxEntries);
        count = ld_list::maxEntries;
    }

    VolumeArrays a;
    for (uint32_t i = 0; i < count; ++i)
    {
        std::size_t entry = ld_list::entries + i * ld_list::entrySize;
        uint8_t targetId = list.u8(entry + ld_list::targetId);
        std::cout << "LDList.ldCount: " << count << std::endl;
        std::cout << "LD (" << static_cast<char>(targetId) << ") state: "
                  << static_cast<char>(list.u8(entry + ld_list::state))
                  << std::endl;
        ByteBuffer info(command::getLdInfo.dataSize);
        if (readVolumeInfo(controllerId, targetId, info))
        {
            appendVolume(a, targetId, info);
        }
    }
    appendVolumeValues(a, values);
    return 0;
}

} // namespace arrayscout
