// The texts and numbers the daemon derives from reply fields.

#include "controller_properties.hpp"
#include "drive_properties.hpp"
#include "inventory_files.hpp"
#include "scan.hpp"
#include "storage_commands.hpp"
#include "text_format.hpp"
#include "volume_properties.hpp"

#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace arrayscout;
using ::testing::ElementsAre;

TEST(Format, BlockSizeCodes)
{
    EXPECT_EQ(formatBlockSize(0), "512B");
    EXPECT_EQ(formatBlockSize(1), "1KB");
    EXPECT_EQ(formatBlockSize(7), "64KB");
    EXPECT_EQ(formatBlockSize(10), "512KB");
    EXPECT_EQ(formatBlockSize(11), "1MB");
    EXPECT_EQ(formatBlockSize(20), "512MB");
    EXPECT_EQ(formatBlockSize(21), "1GB");
    EXPECT_EQ(formatBlockSize(30), "512GB");
    EXPECT_EQ(formatBlockSize(31), "Unknown");
    EXPECT_EQ(formatBlockSize(255), "Unknown");
}

TEST(Format, CapacityUnits)
{
    EXPECT_EQ(formatCapacity(1536, 2), "1.50 KB");
    EXPECT_EQ(formatCapacity(1023, 2), "1023.00 Bytes");
    EXPECT_EQ(formatCapacity(0, 2), "0.00 Bytes");
    EXPECT_EQ(formatCapacity(1ULL << 50, 2), "1024.00 TB");
    EXPECT_EQ(formatCapacity(7814037168ULL * 512, 2), "3.64 TB");
}

TEST(Format, ControllerInterfaceBits)
{
    EXPECT_EQ(controllerSpeedGbps(0x04), 1);
    EXPECT_THAT(supportedDeviceProtocols(0x04), ElementsAre("SATA"));
    EXPECT_EQ(controllerSpeedGbps(0x02), 3);
    EXPECT_THAT(supportedDeviceProtocols(0x02), ElementsAre("SAS"));
    EXPECT_EQ(controllerSpeedGbps(0), 0);
    EXPECT_TRUE(supportedDeviceProtocols(0).empty());
    EXPECT_EQ(controllerSpeedGbps(0x40), 6);
    EXPECT_EQ(controllerSpeedGbps(0x24), 12);
    EXPECT_THAT(supportedDeviceProtocols(0x24), ElementsAre("SAS", "SATA"));
}

TEST(Format, RaidTypes)
{
    // No RAID support wins over any level bit.
    EXPECT_THAT(supportedRaidTypes(0xff, 0x02), ElementsAre("None"));
    EXPECT_THAT(supportedRaidTypes(0, 0), ElementsAre("None"));
    EXPECT_THAT(supportedRaidTypes(0xff, 0),
                ElementsAre("RAID0", "RAID1(2 or more drives)", "RAID5",
                            "RAID1E", "RAID6", "RAID00", "RAID10", "RAID50",
                            "RAID60"));
    EXPECT_THAT(supportedRaidTypes(0x02, 0),
                ElementsAre("RAID1(2 or more drives)"));
}

TEST(Format, ControllerHealthAndBattery)
{
    ByteBuffer info(2448);
    EXPECT_EQ(controllerHealthState(info), "OK");
    info.put16(0x5c4, 1); // volumes offline
    EXPECT_EQ(controllerHealthState(info), "warning");
    info.put16(0x5ca, 2); // drives critical: tested first
    EXPECT_EQ(controllerHealthState(info), "Critical");
    info.put16(0x5ca, 0);
    info.put16(0x5cc, 1);
    EXPECT_EQ(controllerHealthState(info), "warning");

    EXPECT_EQ(bbuHealthText(0), "Healthy");
    EXPECT_EQ(bbuHealthText(0x06), "BBU voltage Low");
    EXPECT_EQ(bbuHealthText(0x07), "BBU pack Missing");
    EXPECT_EQ(bbuHealthText(0x04), "BBU temperature High");
}

TEST(Format, DriveTables)
{
    EXPECT_EQ(driveProtocolText(1), "Unknown");
    EXPECT_EQ(driveProtocolText(5), "NVME");
    EXPECT_EQ(driveProtocolText(0xff), "Wrong");
    EXPECT_EQ(driveMediaText(2), "Solid state flash module");
    EXPECT_EQ(driveMediaText(3), "Wrong");
    EXPECT_EQ(drivePowerText(1), "Disabled");
    EXPECT_EQ(drivePowerText(2), "Wrong state");
    EXPECT_EQ(drivePowerText(0xff), "Transitioning");
    EXPECT_EQ(driveFirmwareStateText(0x18), "ONLINE");
    EXPECT_EQ(driveFirmwareStateText(0x40), "JBOD");
    EXPECT_EQ(driveFirmwareStateText(0x82), "SHIELD_HOT_SPARE ");
    EXPECT_EQ(driveFirmwareStateText(0x83), "Wrong state");
    EXPECT_THAT(linkSpeedPair(1), ElementsAre(1, 5));
    EXPECT_THAT(linkSpeedPair(4), ElementsAre(12, 0));
    EXPECT_THAT(linkSpeedPair(0x80), ElementsAre(2, 5));
    EXPECT_THAT(linkSpeedPair(0x83), ElementsAre(16, 0));
    EXPECT_THAT(linkSpeedPair(5), ElementsAre(-1, 0));
}

TEST(Format, DriveVendors)
{
    EXPECT_EQ(normalizeDriveVendor("ST4000NM0035"), "Seagate");
    EXPECT_EQ(normalizeDriveVendor("STEC M8ISB2"), "STEC");
    EXPECT_EQ(normalizeDriveVendor("WDC WD40EFRX"), "Western Digital");
    EXPECT_EQ(normalizeDriveVendor("SSDSC2KG480G8"), "Intel");
    EXPECT_EQ(normalizeDriveVendor("samsung"), "Unknown");
    EXPECT_EQ(normalizeDriveVendor(""), "Unknown");
    EXPECT_TRUE(startsWith("abc", ""));
    EXPECT_FALSE(startsWith("ab", "abc"));
    EXPECT_EQ(trimmedModel("ST4000NM0035    "), "ST4000NM0035");
    EXPECT_EQ(trimmedModel("                "), "");
}

TEST(Format, VolumeTables)
{
    EXPECT_EQ(volumeAccessText(0x12), "READ ONLY");
    EXPECT_EQ(volumeAccessText(1), "Wrong");
    EXPECT_EQ(volumeAccessText(14), "TRANSPORT_READY");
    EXPECT_EQ(volumeDiskCacheText(3), "Wrong");
    EXPECT_EQ(volumeStateText(2), "DEGRADED");
    EXPECT_EQ(volumeStateText(9), "Unknown");
    EXPECT_EQ(volumeRaidText(6, 3), "RAID6");
    EXPECT_EQ(volumeRaidText(6, 0), "RAID60");
    EXPECT_EQ(volumeRaidText(5, 3), "RAID5");
    EXPECT_EQ(volumeRaidText(5, 1), "RAID50");
    EXPECT_EQ(volumeRaidText(1, 3), "RAID10");
    EXPECT_EQ(volumeRaidText(1, 2), "Unknown");
    EXPECT_EQ(volumeRaidText(2, 0), "Unknown");
    EXPECT_EQ(volumeCachePolicyText(0x01), "WRITE_BACK\n");
    EXPECT_EQ(volumeCachePolicyText(0), "");
    // The permissions are read only behind read-ahead, each behind the one
    // before it.
    EXPECT_EQ(volumeCachePolicyText(0x70), "");
    EXPECT_EQ(volumeCachePolicyText(0x75),
              "WRITE_BACK\nREAD_AHEAD\nWRITE_CACHE_BAD_BBU\n"
              "ALLOW_WRITE_CACHE\nALLOW_READ_CACHE\n");
    EXPECT_EQ(volumeCachePolicyText(0x54), "READ_AHEAD\nWRITE_CACHE_BAD_BBU\n");
}

TEST(Format, BytesAndText)
{
    uint8_t src[2] = {0x12, 0x34};
    uint8_t dst[2] = {0xff, 0xff};
    reverseBytes(src, dst, 2);
    EXPECT_EQ(dst[0], 0x34);
    EXPECT_EQ(dst[1], 0x12);

    EXPECT_EQ(joinStrings({"SAS", "SATA"}, ','), "SAS,SATA");
    EXPECT_EQ(joinStrings({"SAS"}, ','), "SAS");
    EXPECT_EQ(joinStrings({}, ','), "");

    // Device text never carries a terminator, TAB or newline onward.
    EXPECT_EQ(deviceText(std::string("AB\0CD", 5)), "AB");
    EXPECT_EQ(deviceText("a\tb\nc\x80"), "a?b?c?");

    std::ostringstream out;
    uint8_t bytes[17] = {0xab};
    EXPECT_EQ(dumpHex(out, bytes, 17), 0);
    EXPECT_EQ(out.str(), "\nAB  00  00  00  00  00  00  00  00  00  00  00  "
                         "00  00  00  00  \n00  \n");
    std::ostringstream none;
    dumpHex(none, bytes, 0);
    EXPECT_EQ(none.str(), "\n");
}

TEST(Format, FieldsOutsideTheAreaReadAsZero)
{
    ByteBuffer b(8);
    b.put64(0, 0x1122334455667788ULL);
    EXPECT_EQ(b.u64(0), 0x1122334455667788ULL);
    EXPECT_EQ(b.u32(6), 0U);
    EXPECT_EQ(b.u16(7), 0U);
    b.put16(7, 0xffff); // ignored
    EXPECT_EQ(b.u8(7), 0x11);
    EXPECT_EQ(b.text(4, 100), "\x44\x33\x22\x11");
    EXPECT_EQ(b.text(8, 4), "");
}
