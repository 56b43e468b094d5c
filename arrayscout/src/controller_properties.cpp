#include "controller_properties.hpp"

#include "drive_properties.hpp"
#include "output.hpp"
#include "property_cache.hpp"
#include "storage_commands.hpp"
#include "volume_properties.hpp"

#include <iostream>

namespace arrayscout
{

std::string controllerHealthState(const ByteBuffer& info)
{
    if (uint16_t n = info.u16(ctrl_info::drivesCritical))
    {
        printOut("%d physical disk devices critical.\n", n);
        std::cout << n << " physical disk devices critical." << std::endl;
        return "Critical";
    }
    if (uint16_t n = info.u16(ctrl_info::drivesFailed))
    {
        printOut("%d physical disk devices failed\n", n);
        return "warning";
    }
    if (uint16_t n = info.u16(ctrl_info::volumesCritical))
    {
        printOut("%d logical  devices critical\n", n);
        return "Critical";
    }
    if (uint16_t n = info.u16(ctrl_info::volumesOffline))
    {
        printOut("%d logical  devices offline\n", n);
        return "warning";
    }
    return "OK";
}

int32_t controllerSpeedGbps(uint8_t b)
{
    if (b & 0x20)
    {
        return 12;
    }
    if (b & 0x50)
    {
        return 6;
    }
    if (b & 0x0a)
    {
        return 3;
    }
    if (b & 0x04)
    {
        return 1;
    }
    return 0;
}

std::vector<std::string> supportedDeviceProtocols(uint8_t b)
{
    std::vector<std::string> protocols;
    if (b & 0x32)
    {
        std::cout << "Device support SAS" << std::endl;
        protocols.emplace_back("SAS");
    }
    if (b & 0x4c)
    {
        std::cout << "Device interface: 1.5Gbps SATA" << std::endl;
        protocols.emplace_back("SATA");
    }
    return protocols;
}

std::vector<std::string> supportedRaidTypes(uint8_t r, uint8_t flags)
{
    if (flags & 0x02)
    {
        return {"None"};
    }
    std::vector<std::string> types;
    if (r & 0x01)
    {
        types.emplace_back("RAID0");
    }
    if (r & 0x02)
    {
        types.emplace_back("RAID1(2 or more drives)");
    }
    if (r & 0x04)
    {
        types.emplace_back("RAID5");
    }
    if (r & 0x08)
    {
        types.emplace_back("RAID1E");
    }
    if (r & 0x10)
    {
        types.emplace_back("RAID6");
    }
    // A span of RAID0 arrays: offered with RAID0 itself.
    if (r & 0x01)
    {
        types.emplace_back("RAID00");
    }
    if (r & 0x20)
    {
        types.emplace_back("RAID10");
    }
    if (r & 0x40)
    {
        types.emplace_back("RAID50");
    }
    if (r & 0x80)
    {
        types.emplace_back("RAID60");
    }
    if (types.empty())
    {
        types.emplace_back("None");
    }
    return types;
}

std::string bbuHealthText(uint8_t s)
{
    const char* problem = nullptr;
    if (s & 1)
    {
        problem = "BBU pack Missing";
    }
    else if (s & 2)
    {
        problem = "BBU voltage Low";
    }
    else if (s & 4)
    {
        problem = "BBU temperature High";
    }
    if (problem != nullptr)
    {
        std::cout << problem << std::endl;
        std::cout << "BBU health state: Not Healthy!" << std::endl;
        return problem;
    }
    std::cout << "BBU health state: Healthy!" << std::endl;
    return "Healthy";
}

namespace
{

std::string bbuState(int controllerId, const ByteBuffer& info)
{
    if ((info.u8(ctrl_info::bbuPresent) & 0x01) == 0)
    {
        std::cout << "BBU : not supported" << std::endl;
        return "BBU not supported";
    }
    std::cout << "BBU : supported" << std::endl;
    ByteBuffer health(command::getCtrlHealth.dataSize);
    if (sendCommand(command::getCtrlHealth, static_cast<uint32_t>(controllerId),
                    health) != 0)
    {
        std::cout << "GET_BBU_HEALTH failed" << std::endl;
        return "Wrong when getting state";
    }
    return bbuHealthText(health.u8(ctrl_health::bbuStatus));
}

} // namespace

int readCtrlDevice(int r, int c, int d, int controllerId, PropertyList& values)
{
    std::cout << "updateCtrlDevice!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!"
              << std::endl;
    std::cerr << "updateCtrlDevice!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";

    ByteBuffer info(command::getCtrlInfo.dataSize);
    if (getCtrlInfo(controllerId, info) != 0)
    {
        return 2;
    }

    values.emplace_back("vendorId",
                        static_cast<int32_t>(info.u16(ctrl_info::vendorId)));
    values.emplace_back("MemberId", static_cast<int32_t>(controllerId));
    values.emplace_back("HealthState", controllerHealthState(info));

    uint64_t sas = info.u64(ctrl_info::sasAddress);
    values.emplace_back("SASAddress", static_cast<int64_t>(sas));
    printOut("SAS addr:%llx\n", static_cast<unsigned long long>(sas));
    values.emplace_back("Model", deviceText(info.text(ctrl_info::model,
                                                      ctrl_info::modelLength)));
    values.emplace_back(
        "SerialNumber",
        deviceText(info.text(ctrl_info::serial, ctrl_info::serialLength)));
    values.emplace_back(
        "FirmwareVersion",
        deviceText(info.text(ctrl_info::firmware, ctrl_info::firmwareLength)));
    values.emplace_back("TotalCacheSizeMiB",
                        static_cast<int32_t>(info.u16(ctrl_info::cacheMiB)));
    values.emplace_back("PortCount",
                        static_cast<int32_t>(info.u8(ctrl_info::portCount)));

    uint8_t bits = info.u8(ctrl_info::interfaceBits);
    values.emplace_back("SpeedGbps", controllerSpeedGbps(bits));
    values.emplace_back("SupportedDeviceProtocols",
                        supportedDeviceProtocols(bits));
    values.emplace_back("SupportedRAIDTypes",
                        supportedRaidTypes(info.u8(ctrl_info::raidLevels),
                                           info.u8(ctrl_info::raidFlags)));
    values.emplace_back("BBUstate", bbuState(controllerId, info));

    if (readDriveProperties(controllerId, values) != 0)
    {
        std::cout << "GET_PD_LIST failed" << std::endl;
        return 2;
    }
    if (readVolumeProperties(r, c, d, controllerId, values) != 0)
    {
        printOut("GET_LD_LIST failed%d 0\n", controllerId);
        return 2;
    }
    return 0;
}

int updateCtrlDevice(int r, int c, int d, int controllerId)
{
    PropertyList values;
    int status = readCtrlDevice(r, c, d, controllerId, values);
    publishProperties(r, c, d, values);
    return status;
}

} // namespace arrayscout
