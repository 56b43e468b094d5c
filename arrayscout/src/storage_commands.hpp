#pragma once

// The commands the daemon sends to the storage library, their data area
// sizes, and the reply fields it reads.

#include "byte_buffer.hpp"
#include "storelib.hpp"

#include <cstdint>
#include <string>

namespace arrayscout
{

/** One row of the command table: type, code and data area size. */
struct CommandSpec
{
    uint8_t type;
    uint8_t code;
    uint32_t dataSize;
};

namespace command
{
constexpr CommandSpec init{0, 0, 260};
constexpr CommandSpec getCtrlInfo{1, 0, 2448};
constexpr CommandSpec getCtrlHealth{1, 20, 2070};
constexpr CommandSpec getPdList{1, 4, 6152};
constexpr CommandSpec getLdList{1, 13, 4104};
constexpr CommandSpec getPdInfo{2, 0, 512};
constexpr CommandSpec startLocatePd{2, 8, 0};
constexpr CommandSpec stopLocatePd{2, 9, 0};
constexpr CommandSpec setPdState{2, 19, 0};
constexpr CommandSpec getLdInfo{3, 0, 384};
constexpr CommandSpec deleteLd{3, 3, 0};
constexpr CommandSpec configSummary{4, 0, 616};
constexpr CommandSpec readConfig{4, 0, 0}; // size from the summary
constexpr CommandSpec addConfig{4, 1, 0};  // size of the configuration
constexpr CommandSpec scsiPassthru{6, 0, 163};
constexpr CommandSpec stpPassthru{6, 2, 574};
} // namespace command

/** Status of SL_ADD_CONFIG that still counts as success. */
constexpr int addConfigDiagnosticsFailed = 0x8039;

// ControllerList (init).
namespace ctrl_list
{
constexpr std::size_t count = 0;
constexpr std::size_t ids = 4;
constexpr std::size_t maxIds = (260 - ids) / 4;
} // namespace ctrl_list

// ControllerInfo.
namespace ctrl_info
{
constexpr std::size_t vendorId = 0;
constexpr std::size_t sasAddress = 0x28;
constexpr std::size_t interfaceBits = 0x68;
constexpr std::size_t portCount = 0x6f;
constexpr std::size_t bbuPresent = 0x5b0;
constexpr std::size_t volumesCritical = 0x5c2;
constexpr std::size_t volumesOffline = 0x5c4;
constexpr std::size_t drivesCritical = 0x5ca;
constexpr std::size_t drivesFailed = 0x5cc;
constexpr std::size_t cacheMiB = 0x5d0;
constexpr std::size_t raidLevels = 0x5dc;
constexpr std::size_t raidFlags = 0x5dd;
constexpr std::size_t model = 0x540;
constexpr std::size_t modelLength = 0x590 - 0x540;
constexpr std::size_t serial = 0x590;
constexpr std::size_t serialLength = 0x5b0 - 0x590;
constexpr std::size_t firmware = 0x640;
constexpr std::size_t firmwareLength = 0x760 - 0x640;
constexpr std::size_t limitRaid0 = 0x760;
constexpr std::size_t limitRaid1 = 0x762;
constexpr std::size_t limitRaid5 = 0x764;
constexpr std::size_t limitRaid6 = 0x768;
} // namespace ctrl_info

// ControllerHealth.
namespace ctrl_health
{
constexpr std::size_t bbuStatus = 0x812;
} // namespace ctrl_health

// DriveList.
namespace pd_list
{
constexpr std::size_t count = 4;
constexpr std::size_t entries = 8;
constexpr std::size_t entrySize = 24;
constexpr std::size_t maxEntries = (6152 - entries) / entrySize;
constexpr std::size_t deviceId = 0;
constexpr std::size_t enclosureId = 2;
} // namespace pd_list

// DriveInfo.
namespace pd_info
{
constexpr std::size_t deviceId = 0;
constexpr std::size_t seqNum = 2;
constexpr std::size_t model = 0x14;
constexpr std::size_t modelLength = 16;
constexpr std::size_t serial = 0x28;
constexpr std::size_t serialLength = 0xa7 - 0x28;
constexpr std::size_t maxSpeed = 0xa7;
constexpr std::size_t fwState = 0xb8;
constexpr std::size_t linkSpeed = 0xbb;
constexpr std::size_t attachment = 0xbd;
constexpr std::size_t blocks = 0xe8;
constexpr std::size_t arrayBlocks = 0xf8;
constexpr std::size_t enclosureId = 0x100;
constexpr std::size_t slot = 0x103;
constexpr std::size_t locate = 0x104;
constexpr std::size_t powerState = 0x166;
constexpr std::size_t mediaType = 0x172;
constexpr std::size_t interfaceType = 0x191;
constexpr std::size_t percentUsed = 0x1ad;
constexpr std::size_t lifeDays = 0x1ae;
constexpr std::size_t vendorId = 0x1b0;
} // namespace pd_info

// VolumeList.
namespace ld_list
{
constexpr std::size_t count = 0;
constexpr std::size_t entries = 8;
constexpr std::size_t entrySize = 16;
constexpr std::size_t maxEntries = (4104 - entries) / entrySize;
constexpr std::size_t targetId = 0;
constexpr std::size_t state = 4;
} // namespace ld_list

// VolumeInfo.
namespace ld_info
{
constexpr std::size_t seqNum = 2;
constexpr std::size_t name = 4;
constexpr std::size_t nameLength = 16;
constexpr std::size_t accessPolicy = 0x15;
constexpr std::size_t diskCachePolicy = 0x16;
constexpr std::size_t cachePolicy = 0x17;
constexpr std::size_t raidLevel = 0x20;
constexpr std::size_t qualifier = 0x21;
constexpr std::size_t stripe = 0x23;
constexpr std::size_t numDrives = 0x24;
constexpr std::size_t state = 0x26;
constexpr std::size_t blocks = 0x100;
} // namespace ld_info

// RaidConfiguration.
namespace raid_config
{
constexpr std::size_t totalSize = 0;
constexpr std::size_t arrayCount = 4;
constexpr std::size_t arraySize = 6;
constexpr std::size_t volumeCount = 8;
constexpr std::size_t volumeSize = 10;
constexpr std::size_t reserved12 = 12;
constexpr std::size_t reserved14 = 14;
constexpr std::size_t headerSize = 32;
// Array entry.
constexpr std::size_t arrayBlocks = 0;
constexpr std::size_t arrayDrives = 8;
constexpr std::size_t arrayRef = 10;
constexpr std::size_t arrayDriveEntries = 32;
constexpr std::size_t driveEntrySize = 8;
constexpr std::size_t maxArrayDrives = 32;
// Volume entry.
constexpr std::size_t volTargetId = 0;
constexpr std::size_t volName = 4;
constexpr std::size_t volNameLength = 16;
constexpr std::size_t volCachePolicy = 20;
constexpr std::size_t volAccessPolicy = 21;
constexpr std::size_t volDiskCachePolicy = 22;
constexpr std::size_t volRaidLevel = 32;
constexpr std::size_t volQualifier = 33;
constexpr std::size_t volStripe = 35;
constexpr std::size_t volDrives = 36;
constexpr std::size_t volState = 38;
constexpr std::size_t volInitState = 39;
constexpr std::size_t volSpanStart = 64;
constexpr std::size_t volSpanBlocks = 72;
constexpr std::size_t volSpanArrayRef = 80;
constexpr std::size_t volMinSize = volSpanArrayRef + 2;
} // namespace raid_config

// Pass-through requests and replies.
namespace scsi
{
constexpr std::size_t status = 10;
constexpr std::size_t transferLength = 60;
constexpr std::size_t data = 64;
constexpr std::size_t inquiryLength = 96;
} // namespace scsi

namespace sata
{
constexpr std::size_t fisLength = 32;
constexpr std::size_t dataLength = 36;
constexpr std::size_t fis = 8;
constexpr std::size_t identifyLength = 512;
} // namespace sata

/** Text of a device as it can be published and written to the inventory
 *  files: cut at the first zero byte, and every byte that is not printable
 *  ASCII (control characters, TAB and newline included) replaced by '?'. */
std::string deviceText(const std::string& raw);

/** Sends one command to the library. Calls from the polling thread and
 *  from the event loop are serialised: the library is never entered by
 *  two threads at once. */
int callLibrary(StorageCommand& cmd);

/** A zeroed record of the command for the controller, with the data area
 *  (nullptr and 0 for a command without data). */
StorageCommand makeCommand(const CommandSpec& spec, uint32_t controllerId,
                           void* data = nullptr, uint32_t dataSize = 0);

/** Writes a little-endian parameter at its offset in the record (8 is the
 *  first parameter byte); offsets outside the parameters are ignored. */
void putParameter(StorageCommand& cmd, std::size_t recordOffset,
                  std::size_t width, uint64_t value);

/** Sends a command whose data area is `buffer` (sized by the caller). */
int sendCommand(const CommandSpec& spec, uint32_t controllerId,
                ByteBuffer& buffer);

/** SL_GET_CTRL_INFO into a ControllerInfo buffer: 0, or 2 on failure. */
int getCtrlInfo(int controllerId, ByteBuffer& info);

/** SL_GET_PD_INFO of a drive into a DriveInfo buffer: 0, or 2. */
int getPdInfo(int controllerId, int deviceId, ByteBuffer& info);

/** ConfigSummary: the library's status; on success the size of the whole
 *  configuration in `size`. */
int getConfigSummary(int controllerId, uint32_t& size);

} // namespace arrayscout
