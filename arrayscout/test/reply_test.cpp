// One controller's refresh against the simulated library: what each reply
// field becomes, and replies that claim more than their area holds.

#include "controller_properties.hpp"
#include "unit_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace arrayscout;
using arrayscout_test::card;
using arrayscout_test::controller;
using arrayscout_test::DaemonState;
using arrayscout_test::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

using Strings = std::vector<std::string>;
using Ints = std::vector<int32_t>;

class Refresh : public DaemonState
{
  protected:
    int refresh(const json& ctrl)
    {
        sim.write({{"buses", json::array({card(14, json::array({ctrl}))})}});
        addDevice(1, 0, 0);
        return updateCtrlDevice(1, 0, 0, ctrl["id"].get<int>());
    }
};

TEST_F(Refresh, ControllerFields)
{
    json c = controller(7, 0);
    c["bbu"] = {{"status", 2}};
    c["drivesFailed"] = 1;
    c["cacheMiB"] = 8192;
    c["ports"] = 16;
    c["interfaceBits"] = 0x04;
    ASSERT_EQ(refresh(c), 0);
    const auto& m = collected(1, 0);
    EXPECT_EQ(value<int32_t>(m, "vendorId"), 0x1000);
    EXPECT_EQ(value<int32_t>(m, "MemberId"), 7);
    EXPECT_EQ(value<std::string>(m, "HealthState"), "warning");
    EXPECT_EQ(value<int64_t>(m, "SASAddress"), 5764824127046860807LL);
    EXPECT_EQ(value<std::string>(m, "Model"), "SimRAID 9460-8i");
    EXPECT_EQ(value<std::string>(m, "SerialNumber"), "SK0007");
    EXPECT_EQ(value<std::string>(m, "FirmwareVersion"), "5.140.00-3319");
    EXPECT_EQ(value<int32_t>(m, "TotalCacheSizeMiB"), 8192);
    EXPECT_EQ(value<int32_t>(m, "PortCount"), 16);
    EXPECT_EQ(value<int32_t>(m, "SpeedGbps"), 1);
    EXPECT_THAT(value<Strings>(m, "SupportedDeviceProtocols"),
                ElementsAre("SATA"));
    EXPECT_THAT(value<Strings>(m, "SupportedRAIDTypes"),
                ElementsAre("RAID0", "RAID1(2 or more drives)", "RAID5",
                            "RAID6", "RAID00"));
    EXPECT_EQ(value<std::string>(m, "BBUstate"), "BBU voltage Low");
    EXPECT_EQ(value<int32_t>(m, "PDcount"), 0);
    EXPECT_TRUE(value<Strings>(m, "PD_names").empty());
    EXPECT_TRUE(value<Strings>(m, "LD_Names").empty());
}

TEST_F(Refresh, BatteryHealthThatCannotBeRead)
{
    json c = controller(0, 0);
    c["bbu"] = {{"status", 0}, {"fail", 0x22}};
    ASSERT_EQ(refresh(c), 0);
    EXPECT_EQ(value<std::string>(collected(1, 0), "BBUstate"),
              "Wrong when getting state");
    c.erase("bbu");
    ASSERT_EQ(refresh(c), 0);
    EXPECT_EQ(value<std::string>(collected(1, 0), "BBUstate"),
              "BBU not supported");
}

TEST_F(Refresh, SasAndSataDrives)
{
    json c = controller(0, 2);
    c["drives"][0]["percentUsed"] = 150;
    c["drives"][0]["locate"] = true;
    c["drives"][0]["fwState"] = 0x82;
    c["drives"][1]["percentUsed"] = 100;
    c["drives"][1]["maxSpeed"] = 0x81;
    c["drives"][1]["linkSpeed"] = 9;
    ASSERT_EQ(refresh(c), 0);
    const auto& m = collected(1, 0);
    EXPECT_THAT(value<Ints>(m, "PD_ids"), ElementsAre(8, 9));
    EXPECT_THAT(value<Strings>(m, "PD_names"), ElementsAre("disk0", "disk1"));
    // SAS: product, serial and revision from the inquiry data, blanks
    // kept; the maker from the drive's own model.
    EXPECT_THAT(value<Strings>(m, "PD_models"),
                ElementsAre("ST4000NM0035    ",
                            "INTEL SSDSC2KG480G8" + std::string(21, ' ')));
    EXPECT_THAT(value<Strings>(m, "PD_serialNumbers"),
                ElementsAre("ZC100" + std::string(27, ' '),
                            "PHYG1" + std::string(15, ' ')));
    EXPECT_THAT(value<Strings>(m, "PD_FirmwareRevisions"),
                ElementsAre("E001", "XCV10110"));
    EXPECT_THAT(value<Strings>(m, "PD_Manufacturers"),
                ElementsAre("Seagate", "Intel"));
    EXPECT_THAT(value<std::vector<int64_t>>(m, "PD_capacityBytes"),
                ElementsAre(7814037168LL * 512, 937703088LL * 512));
    EXPECT_THAT(value<Strings>(m, "PD_sizes"),
                ElementsAre("3.64 TB", "447.13 GB"));
    EXPECT_THAT(value<Strings>(m, "PD_protocols"), ElementsAre("SAS", "SATA"));
    EXPECT_THAT(value<Strings>(m, "PD_mediaTypes"), ElementsAre("HDD", "SSD"));
    EXPECT_THAT(value<Ints>(m, "PD_ssdPercentUsed"), ElementsAre(100, 100));
    EXPECT_THAT(value<Ints>(m, "PD_locateState"), ElementsAre(1, 0));
    EXPECT_THAT(value<Strings>(m, "PD_fwStates"),
                ElementsAre("SHIELD_HOT_SPARE ", "UGOOD"));
    EXPECT_THAT(value<Ints>(m, "PD_seqNums"), ElementsAre(3, 5));
    EXPECT_THAT(value<std::vector<Ints>>(m, "PD_capableSpeedGbss"),
                ElementsAre(Ints{6, 0}, Ints{5, 0}));
    EXPECT_THAT(value<std::vector<Ints>>(m, "PD_negotiateSpeedGbss"),
                ElementsAre(Ints{6, 0}, Ints{-1, 0}));
    EXPECT_THAT(value<Ints>(m, "PD_enclosure_ids"), ElementsAre(252, 252));
    EXPECT_THAT(value<Ints>(m, "PD_rotationSpeedRPMs"), ElementsAre(-1, -1));
    EXPECT_THAT(value<Strings>(m, "PD_predictedMediaLifes"),
                ElementsAre("null", "null"));
    EXPECT_EQ(value<int32_t>(m, "PDcount"), 2);
}

TEST_F(Refresh, DrivesThatCannotBeRead)
{
    json c = controller(0, 3);
    c["drives"][0]["passthruFail"] = 0x4c; // SAS
    c["drives"][1]["infoFail"] = 0x0c;     // left out, still counted
    c["drives"][2]["kind"] = 0;            // neither SAS nor SATA
    ASSERT_EQ(refresh(c), 0);
    const auto& m = collected(1, 0);
    EXPECT_THAT(value<Ints>(m, "PD_ids"), ElementsAre(8, 10));
    EXPECT_THAT(value<Strings>(m, "PD_models"),
                ElementsAre("ST4000NM0035", "ST4000NM0035"));
    EXPECT_THAT(value<Strings>(m, "PD_FirmwareRevisions"),
                ElementsAre("Unknown", "Unknown"));
    EXPECT_EQ(value<int32_t>(m, "PDcount"), 3);
    EXPECT_THAT(err.str(), HasSubstr("ProcessLibCommandCall failed!! retVal "
                                     "0x4C\n"));
}

TEST_F(Refresh, SataIdentifyDataPastTheReply)
{
    json c = controller(0, 2);
    c["drives"][1]["identify"]["fisLength"] = 600;
    ASSERT_EQ(refresh(c), 0);
    const auto& m = collected(1, 0);
    EXPECT_EQ(value<Strings>(m, "PD_models").at(1), "SSDSC2KG480G8");
    EXPECT_EQ(value<Strings>(m, "PD_serialNumbers").at(1), "PHYG1");
    EXPECT_EQ(value<Strings>(m, "PD_FirmwareRevisions").at(1), "Unknown");
}

TEST_F(Refresh, OnlyEnclosures)
{
    json c = controller(0, 0);
    c["enclosures"] = json::array({252, 253});
    ASSERT_EQ(refresh(c), 0);
    EXPECT_EQ(value<int32_t>(collected(1, 0), "PDcount"), 0);
    EXPECT_TRUE(value<Ints>(collected(1, 0), "PD_ids").empty());
    EXPECT_THAT(out.str(), HasSubstr("2 enclosure device\n"));
}

TEST_F(Refresh, CountsBeyondTheReplyArea)
{
    json c = controller(0, 2, 1);
    c["reportedDriveCount"] = 100000;
    c["reportedVolumeCount"] = 100000;
    c["drives"][0]["inquiry"]["length"] = 5000;
    c["volumes"][0]["targetId"] = 5;
    ASSERT_EQ(refresh(c), 0);
    const auto& m = collected(1, 0);
    // The zero entries behind the real ones look like enclosures.
    EXPECT_EQ(value<int32_t>(m, "PDcount"), 2);
    EXPECT_THAT(value<Strings>(m, "PD_FirmwareRevisions"),
                ElementsAre("E001", "XCV10110"));
    // The zero entries name target 0, which the library does not know.
    EXPECT_THAT(value<Ints>(m, "LD_Ids"), ElementsAre(5));
    EXPECT_THAT(out.str(), HasSubstr("device count 100000 above 256"));
    EXPECT_THAT(out.str(), HasSubstr("volume count 100000 above 256"));
}

TEST_F(Refresh, Volumes)
{
    json c = controller(0, 0, 3);
    c["volumes"][0].update({{"raidLevel", 6},
                            {"qualifier", 0},
                            {"accessPolicy", 0x12},
                            {"diskCachePolicy", 2},
                            {"stripe", 11},
                            {"state", 2},
                            {"cachePolicy", 1},
                            {"drives", 4},
                            {"seqNum", 9}});
    c["volumes"][1]["infoFail"] = 0x0c;
    c["volumes"][2].update({{"raidLevel", 5}, {"qualifier", 1}});
    ASSERT_EQ(refresh(c), 0);
    const auto& m = collected(1, 0);
    EXPECT_THAT(value<Ints>(m, "LD_Ids"), ElementsAre(0, 2));
    EXPECT_THAT(value<Ints>(m, "LD_SeqNum"), ElementsAre(9, 1));
    EXPECT_THAT(value<Strings>(m, "LD_Names"), ElementsAre("vd0", "vd2"));
    EXPECT_THAT(value<Strings>(m, "LD_Sizes"),
                ElementsAre("447.13 GB", "447.13 GB"));
    EXPECT_THAT(value<Strings>(m, "LD_AccessPolicys"),
                ElementsAre("READ ONLY", "RW"));
    EXPECT_THAT(value<Strings>(m, "LD_WriteCachePolicys"),
                ElementsAre("DISABLE", "Disk Default"));
    EXPECT_THAT(value<Strings>(m, "LD_StripeSizes"),
                ElementsAre("1MB", "64KB"));
    EXPECT_THAT(value<Strings>(m, "LD_States"),
                ElementsAre("DEGRADED", "OPTIMAL"));
    EXPECT_THAT(value<Ints>(m, "LD_NumDrives"), ElementsAre(4, 2));
    EXPECT_THAT(value<Strings>(m, "LD_raidTypes"),
                ElementsAre("RAID60", "RAID50"));
    EXPECT_THAT(value<Strings>(m, "LD_CachePolicys"),
                ElementsAre("WRITE_BACK\n", "WRITE_BACK\nREAD_AHEAD\n"));
}

TEST_F(Refresh, ListFailuresKeepWhatWasPublished)
{
    json c = controller(0, 1, 1);
    c["fail"] = {{"SL_GET_LD_LIST", 3}};
    EXPECT_EQ(refresh(c), 2);
    EXPECT_TRUE(collected(1, 0).contains("PD_names"));
    EXPECT_FALSE(collected(1, 0).contains("LD_Names"));
    EXPECT_THAT(out.str(), HasSubstr("GET_LD_LIST failed0 0\n"));

    resetDeviceState();
    c["fail"] = {{"SL_GET_PD_LIST", 3}};
    EXPECT_EQ(refresh(c), 2);
    EXPECT_TRUE(collected(1, 0).contains("Model"));
    EXPECT_FALSE(collected(1, 0).contains("PD_names"));

    resetDeviceState();
    c["fail"] = {{"SL_GET_CTRL_INFO", 0x8001}};
    EXPECT_EQ(refresh(c), 2);
    EXPECT_EQ(findDevice(_collectingCache, 1, 0, 0), nullptr);
    EXPECT_THAT(err.str(), HasSubstr("SL_GET_CTRL_INFO : ctrlID: 0 "
                                     "ProcessLibCommandCall fail with val: "
                                     "0x8001 \n"));
}
