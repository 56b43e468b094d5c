#include "drive_properties.hpp"

#include "output.hpp"
#include "property_cache.hpp"
#include "storage_commands.hpp"
#include "text_format.hpp"

#include <algorithm>
#include <array>
#include <iostream>
#include <tuple>
#include <utility>

namespace arrayscout
{

void reverseBytes(const uint8_t* source, uint8_t* destination, std::size_t n)
{
    std::fill(destination, destination + n, 0);
    for (std::size_t i = 0; i < n; ++i)
    {
        destination[n - 1 - i] = source[i];
    }
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string normalizeDriveVendor(const std::string& model)
{
    static const std::vector<std::pair<std::vector<std::string>, std::string>>
        table = {
            {{"WD", "WDC", "WUH"}, "Western Digital"},
            {{"STEC"}, "STEC"},
            {{"ST"}, "Seagate"},
            {{"HTS"}, "Hitachi"},
            {{"MZ", "PM", "Samsung", "SAMSUNG"}, "Samsung"},
            {{"TOSHIBA", "MQ", "Toshiba"}, "Toshiba"},
            {{"MK", "HGST"}, "HGST"},
            {{"MAXTOR"}, "Maxtor"},
            {{"FUJITSU", "MHV", "MHW", "MBA"}, "Fujitsu"},
            {{"IBM"}, "IBM"},
            {{"INTEL", "SSD", "Intel"}, "Intel"},
        };
    for (const auto& [prefixes, maker] : table)
    {
        for (const auto& prefix : prefixes)
        {
            if (startsWith(model, prefix))
            {
                return maker;
            }
        }
    }
    return "Unknown";
}

std::string driveProtocolText(uint8_t t)
{
    switch (t)
    {
        case 0:
            std::cout << "interfaceType: Unknown" << std::endl;
            return "Unknown";
        case 1:
            std::cout << "interfaceType: parallel SCSI" << std::endl;
            return "Unknown";
        case 2:
            std::cout << "interfaceType: SAS" << std::endl;
            return "SAS";
        case 3:
            std::cout << "interfaceType: SATA" << std::endl;
            return "SATA";
        case 4:
            std::cout << "interfaceType: FC" << std::endl;
            return "FC";
        case 5:
            std::cout << "interfaceType: NVME" << std::endl;
            return "NVME";
        default:
            std::cout << "Wrong interfaceType" << std::endl;
            return "Wrong";
    }
}

std::string driveMediaText(uint8_t m)
{
    switch (m)
    {
        case 0:
            std::cout << "MediaType: HDD" << std::endl;
            return "HDD";
        case 1:
            std::cout << "MediaType: SSD" << std::endl;
            return "SSD";
        case 2:
            std::cout << "MediaType: Solid state flash module" << std::endl;
            return "Solid state flash module";
        default:
            std::cout << "Wrong mediaType" << std::endl;
            return "Wrong";
    }
}

std::string drivePowerText(uint8_t p)
{
    switch (p)
    {
        case 0:
            std::cout << "device power State: Active." << std::endl;
            return "Enabled";
        case 1:
            std::cout << "device power State: Stop." << std::endl;
            return "Disabled";
        case 0xff:
            std::cout << "device power State: Transitioning." << std::endl;
            return "Transitioning";
        default:
            std::cout << "wrong power state." << std::endl;
            return "Wrong state";
    }
}

std::string driveFirmwareStateText(uint16_t s)
{
    // The published name, and the name in the diagnostic line.
    static const std::vector<std::tuple<uint16_t, const char*, const char*>>
        table = {
            {0x00, "UGOOD", "UGOOD"},
            {0x01, "UBAD", "UBAD"},
            {0x02, "HOT_SPARE", "HOT_SPARE"},
            {0x04, "SANITIZE", "SANITIZE"},
            {0x10, "OFFLINE", "OFFLINE"},
            {0x11, "FAILED", "FAILED"},
            {0x14, "REBUILD", "REBUILD"},
            {0x18, "ONLINE", "ONLINE"},
            {0x20, "COPYBACK", "COPYBACK"},
            {0x40, "JBOD", "SYSTEM"},
            {0x80, "SHIELD_UNCONFIGURED", "SHIELD_UNCONFIGURED"},
            {0x82, "SHIELD_HOT_SPARE ", "SHIELD_HOT_SPARE"},
            {0x90, "SHIELD_CONFIGURED", "SHIELD_CONFIGURED"},
        };
    for (const auto& [code, name, shown] : table)
    {
        if (code == s)
        {
            std::cout << "device fwState: " << shown << "." << std::endl;
            return name;
        }
    }
    std::cout << "wrong power state." << std::endl;
    return "Wrong state";
}

std::vector<int32_t> linkSpeedPair(uint8_t code)
{
    switch (code)
    {
        case 0:
            return {0, 0};
        case 1:
            return {1, 5};
        case 2:
            return {3, 0};
        case 3:
            return {6, 0};
        case 4:
            return {12, 0};
        case 0x80:
            return {2, 5};
        case 0x81:
            return {5, 0};
        case 0x82:
            return {8, 0};
        case 0x83:
            return {16, 0};
        default:
            return {-1, 0};
    }
}

std::string trimmedModel(const std::string& raw)
{
    std::string model = raw.substr(0, raw.find('\0'));
    model.erase(model.find_last_not_of(' ') + 1);
    return model;
}

namespace
{

const char* linkSpeedText(uint8_t code)
{
    switch (code)
    {
        case 0:
            return "Unknown";
        case 1:
            return "1.5Gbps";
        case 2:
            return "3.0Gbps";
        case 3:
            return "6.0Gbps";
        case 4:
            return "12.0Gbps";
        case 0x80:
            return "PCIE 2.5GTps";
        case 0x81:
            return "PCIE 5GTps";
        case 0x82:
            return "PCIE 8GTps";
        case 0x83:
            return "PCIE 16GTps";
        default:
            return "error!";
    }
}

const char* scsiStatusText(uint8_t status)
{
    switch (status)
    {
        case 0x00:
            return "Success";
        case 0x02:
            return "Check condition";
        case 0x04:
            return "Condition met";
        case 0x08:
            return "Busy";
        case 0x10:
            return "Intermediate";
        case 0x14:
            return "Intermediate condition met";
        case 0x18:
            return "Reservation conflict";
        case 0x22:
            return "Command terminated";
        case 0x28:
            return "Task set full";
        case 0x30:
            return "ACA active";
        default:
            return nullptr;
    }
}

/** The drive arrays as they are built during the walk. */
struct DriveArrays
{
    std::vector<int32_t> ids;
    std::vector<std::string> names;
    std::vector<std::string> models;
    std::vector<int64_t> capacityBytes;
    std::vector<std::string> sizes;
    std::vector<std::string> protocols;
    std::vector<std::string> mediaTypes;
    std::vector<int32_t> vendorIds;
    std::vector<std::string> serialNumbers;
    std::vector<std::vector<int32_t>> capableSpeeds;
    std::vector<std::vector<int32_t>> negotiatedSpeeds;
    std::vector<int32_t> rotationSpeeds;
    std::vector<int32_t> lifeLeftPercents;
    std::vector<std::string> mediaLifes;
    std::vector<std::string> powerStates;
    std::vector<std::string> healths;
    std::vector<int32_t> enclosureIds;
    std::vector<int32_t> lifeRemainingDays;
    std::vector<int32_t> percentUsed;
    std::vector<int32_t> locateStates;
    std::vector<std::string> fwStates;
    std::vector<int32_t> seqNums;
    std::vector<std::string> manufacturers;
    std::vector<std::string> firmwareRevisions;
};

void appendDrive(DriveArrays& a, const ByteBuffer& info)
{
    uint16_t deviceId = info.u16(pd_info::deviceId);
    std::string model = deviceText(
        trimmedModel(info.raw(pd_info::model, pd_info::modelLength)));
    uint64_t bytes = info.u64(pd_info::blocks) * 512;

    a.ids.push_back(deviceId);
    a.names.push_back("disk" + std::to_string(info.u8(pd_info::slot)));
    a.models.push_back(model);
    a.capacityBytes.push_back(static_cast<int64_t>(bytes));
    a.sizes.push_back(formatCapacity(bytes, 2));
    a.protocols.push_back(driveProtocolText(info.u8(pd_info::interfaceType)));
    a.mediaTypes.push_back(driveMediaText(info.u8(pd_info::mediaType)));
    a.vendorIds.push_back(info.u16(pd_info::vendorId));
    std::string serial =
        deviceText(info.text(pd_info::serial, pd_info::serialLength));
    printOut("serialNumbers:%s\n", serial.c_str());
    a.serialNumbers.push_back(serial);
    uint8_t maxSpeed = info.u8(pd_info::maxSpeed);
    uint8_t linkSpeed = info.u8(pd_info::linkSpeed);
    std::cout << "device maximum supported speed: " << linkSpeedText(maxSpeed)
              << std::endl;
    std::cout << "negotiated link speed: " << linkSpeedText(linkSpeed)
              << std::endl;
    a.capableSpeeds.push_back(linkSpeedPair(maxSpeed));
    a.negotiatedSpeeds.push_back(linkSpeedPair(linkSpeed));
    a.rotationSpeeds.push_back(-1);
    a.lifeLeftPercents.push_back(-1);
    a.mediaLifes.emplace_back("null");
    a.powerStates.push_back(drivePowerText(info.u8(pd_info::powerState)));
    a.healths.emplace_back("OK");
    a.enclosureIds.push_back(info.u16(pd_info::enclosureId));
    a.lifeRemainingDays.push_back(info.u16(pd_info::lifeDays));
    a.percentUsed.push_back(
        std::min<int32_t>(info.u8(pd_info::percentUsed), 100));
    int32_t locate = (info.u8(pd_info::locate) & 0x20) ? 1 : 0;
    printOut("PDId: %d, LocateStates: %d\n", deviceId, locate);
    a.locateStates.push_back(locate);
    a.fwStates.push_back(driveFirmwareStateText(info.u16(pd_info::fwState)));
    a.seqNums.push_back(info.u16(pd_info::seqNum));
    a.manufacturers.push_back(normalizeDriveVendor(model));
}

/** SCSI INQUIRY: product, serial and revision of a SAS drive. */
void readScsiIdentity(DriveArrays& a, int controllerId, uint16_t deviceId)
{
    ByteBuffer request(command::scsiPassthru.dataSize);
    request.put16(0, deviceId);
    request.put16(2, 1);
    request.put8(4, 2);
    request.put16(8, 6);
    request.put8(11, 6);
    const uint8_t cdb[6] = {0x12, 0, 0, 0, 0x60, 0};
    for (std::size_t i = 0; i < sizeof(cdb); ++i)
    {
        request.put8(12 + i, cdb[i]);
    }
    request.put32(scsi::transferLength, scsi::inquiryLength);

    StorageCommand cmd =
        makeCommand(command::scsiPassthru, static_cast<uint32_t>(controllerId),
                    request.data(), static_cast<uint32_t>(request.size()));
    putParameter(cmd, 8, 2, deviceId);
    printOut("\nLCP Data size : %d\n", static_cast<int>(request.size()));
    printOut("\npSCSI PASSTHRU dump : ");
    printOut("\nTARGET ID : %d\n", deviceId);
    printOut("\nLCP dump : ");
    int status = callLibrary(cmd);
    if (status != 0)
    {
        printErr("ProcessLibCommandCall failed!! retVal 0x%X\n",
                 static_cast<unsigned>(status));
        a.firmwareRevisions.emplace_back("Unknown");
        return;
    }
    uint8_t scsiStatus = request.u8(scsi::status);
    if (const char* text = scsiStatusText(scsiStatus))
    {
        printErr("Returned SCSI status for the command : %s\n", text);
    }
    else
    {
        printErr("Returned SCSI status for the command : 0x%X (Not "
                 "Defined)\n",
                 scsiStatus);
    }
    std::size_t count = std::min<std::size_t>(request.u32(scsi::transferLength),
                                              scsi::inquiryLength);
    ByteBuffer inquiry(scsi::inquiryLength);
    std::string returned = request.raw(scsi::data, count);
    for (std::size_t i = 0; i < returned.size(); ++i)
    {
        inquiry.put8(i, static_cast<uint8_t>(returned[i]));
    }
    a.models.back() = deviceText(inquiry.raw(16, 16));
    a.serialNumbers.back() = deviceText(inquiry.raw(36, 32));
    a.firmwareRevisions.push_back(deviceText(inquiry.raw(32, 4)));
}

/** ATA IDENTIFY DEVICE: serial, model and firmware of a SATA drive. */
void readSataIdentity(DriveArrays& a, int controllerId, uint16_t deviceId)
{
    ByteBuffer request(command::stpPassthru.dataSize);
    request.put8(0, deviceId & 0xff);
    request.put8(1, 2);
    request.put16(2, 10);
    request.put32(4, 17);
    request.put8(sata::fis + 0, 0x27);
    request.put8(sata::fis + 1, 0x80);
    request.put8(sata::fis + 2, 0xec);
    request.put32(sata::fisLength, 20);
    request.put32(sata::dataLength, sata::identifyLength);

    int status = sendCommand(command::stpPassthru,
                             static_cast<uint32_t>(controllerId), request);
    if (status != 0)
    {
        printErr("STPPassthru : ProcessLibCommandCall failed; rval = 0x%X\n",
                 static_cast<unsigned>(status));
        a.firmwareRevisions.emplace_back("Unknown");
        return;
    }
    // The identify data follows the FIS. A reply whose data would start past
    // the request buffer brought no identify data: the drive keeps what its
    // drive information said, as after a failed command.
    std::size_t offset = 40 + std::min<std::size_t>(
                                  request.u32(sata::fisLength), request.size());
    if (offset >= request.size())
    {
        printErr("STPPassthru : identify data at %zu, past the %zu-byte "
                 "reply\n",
                 offset, request.size());
        a.firmwareRevisions.emplace_back("Unknown");
        return;
    }
    std::size_t count = std::min<std::size_t>(request.u32(sata::dataLength),
                                              sata::identifyLength);
    std::string returned = request.raw(offset, count);
    std::array<uint8_t, sata::identifyLength> identify{};
    std::copy(returned.begin(), returned.end(), identify.begin());
    for (std::size_t i = 0; i + 1 < identify.size(); i += 2)
    {
        uint8_t word[2] = {identify[i], identify[i + 1]};
        reverseBytes(word, &identify[i], 2);
    }
    auto range = [&identify](std::size_t from, std::size_t length) {
        return deviceText(std::string(
            reinterpret_cast<const char*>(&identify[from]), length));
    };
    a.serialNumbers.back() = range(20, 20);
    a.models.back() = range(54, 40);
    a.firmwareRevisions.push_back(range(46, 8));
}

/** One drive of the list: its elements of every array, or none when its
 *  information cannot be read. */
void readDrive(DriveArrays& a, int controllerId, uint16_t deviceId)
{
    ByteBuffer info(command::getPdInfo.dataSize);
    if (getPdInfo(controllerId, deviceId, info) != 0)
    {
        std::cout << "Get_PD_INFO failed" << std::endl;
        return;
    }
    appendDrive(a, info);
    switch (info.u8(pd_info::attachment) >> 4)
    {
        case 2:
            readScsiIdentity(a, controllerId, deviceId);
            break;
        case 3:
            readSataIdentity(a, controllerId, deviceId);
            break;
        default:
            a.firmwareRevisions.emplace_back("Unknown");
            break;
    }
}

void appendDriveValues(DriveArrays& a, PropertyList& values)
{
    values.emplace_back("PD_ids", std::move(a.ids));
    values.emplace_back("PD_names", std::move(a.names));
    values.emplace_back("PD_models", std::move(a.models));
    values.emplace_back("PD_capacityBytes", std::move(a.capacityBytes));
    values.emplace_back("PD_sizes", std::move(a.sizes));
    values.emplace_back("PD_protocols", std::move(a.protocols));
    values.emplace_back("PD_mediaTypes", std::move(a.mediaTypes));
    values.emplace_back("PD_vendorIds", std::move(a.vendorIds));
    values.emplace_back("PD_serialNumbers", std::move(a.serialNumbers));
    values.emplace_back("PD_capableSpeedGbss", std::move(a.capableSpeeds));
    values.emplace_back("PD_negotiateSpeedGbss", std::move(a.negotiatedSpeeds));
    values.emplace_back("PD_rotationSpeedRPMs", std::move(a.rotationSpeeds));
    values.emplace_back("PD_predictedMediaLifeLeftPercents",
                        std::move(a.lifeLeftPercents));
    values.emplace_back("PD_predictedMediaLifes", std::move(a.mediaLifes));
    values.emplace_back("PD_powerStates", std::move(a.powerStates));
    values.emplace_back("PD_healths", std::move(a.healths));
    values.emplace_back("PD_enclosure_ids", std::move(a.enclosureIds));
    values.emplace_back("PD_ssdLifeRemainingInDays",
                        std::move(a.lifeRemainingDays));
    values.emplace_back("PD_ssdPercentUsed", std::move(a.percentUsed));
    values.emplace_back("PD_locateState", std::move(a.locateStates));
    values.emplace_back("PD_fwStates", std::move(a.fwStates));
    values.emplace_back("PD_seqNums", std::move(a.seqNums));
    values.emplace_back("PD_Manufacturers", std::move(a.manufacturers));
    values.emplace_back("PD_FirmwareRevisions", std::move(a.firmwareRevisions));
}

} // namespace

int readDriveProperties(int controllerId, PropertyList& values)
{
    ByteBuffer list(command::getPdList.dataSize);
    if (sendCommand(command::getPdList, static_cast<uint32_t>(controllerId),
                    list) != 0)
    {
        std::cout << "SL_GET_PD_LIST : ProcessLibCommand fail!!!!!!!"
                  << std::endl;
        return 2;
    }
    std::cout << "SL_GET_PD_LIST : ProcessLibCommand success" << std::endl;
    uint32_t count = list.u32(pd_list::count);
    printOut("device count:%d\n", count);
    if (count > pd_list::maxEntries)
    {
        printOut("device count %u above %zu, the rest is not read\n", count,
                 pd_list::maxEntries);
        count = pd_list::maxEntries;
    }

    DriveArrays a;
    int32_t drives = 0;
    int enclosures = 0;
    for (uint32_t k = 0; k < count; ++k)
    {
        std::size_t entry = pd_list::entries + k * pd_list::entrySize;
        uint16_t deviceId = list.u16(entry + pd_list::deviceId);
        if (deviceId == list.u16(entry + pd_list::enclosureId))
        {
            ++enclosures;
            continue;
        }
        ++drives;
        printOut("physical driver(%d) INFO: -----------------------------\n",
                 drives);
        readDrive(a, controllerId, deviceId);
    }
    appendDriveValues(a, values);
    printOut("%d physical driver\n", drives);
    printOut("%d enclosure device\n", enclosures);
    values.emplace_back("PDcount", drives);
    return 0;
}

} // namespace arrayscout
