// The scan in-process: the I2C probe over the simulated buses, the found
// list, the resource and controller objects, and controllers whose first
// refresh fails.

#include "scan.hpp"
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

using Scan = DaemonState;

TEST_F(Scan, ProbeAnswersWhereACardIs)
{
    sim.write({{"buses", json::array({card(15, json::array()),
                                      card(16, json::array(), false)})}});
    EXPECT_TRUE(probeRaidCard("/dev/i2c-15"));
    EXPECT_THAT(out.str(), HasSubstr("RAID card found at /dev/i2c-15\n"));
    EXPECT_FALSE(probeRaidCard("/dev/i2c-16"));
    EXPECT_THAT(err.str(), HasSubstr("RAID card not found at /dev/i2c-16\n"));
    EXPECT_FALSE(probeRaidCard("/dev/i2c-14"));
    EXPECT_THAT(err.str(), HasSubstr("Failed to open I2C device!\n"));
    EXPECT_TRUE(anyRaidCardPresent());

    sim.write({{"buses", json::array()}});
    EXPECT_FALSE(anyRaidCardPresent());
}

TEST_F(Scan, NoCardChangesNothing)
{
    sim.write({{"buses", json::array()}});
    EXPECT_FALSE(agentSynchronizeData());
    EXPECT_TRUE(BusMap.empty());
    EXPECT_EQ(_collectingCacheVersion, 1);
}

TEST_F(Scan, CardOnBus16Only)
{
    sim.write(
        {{"buses", json::array({card(16, json::array({controller(3, 1),
                                                      controller(4, 0)}))})}});
    EXPECT_TRUE(agentSynchronizeData());
    EXPECT_EQ(value<int32_t>(collected(0, 0), "resourceNum"), 1);
    EXPECT_THAT(value<std::vector<int32_t>>(collected(0, 0), "resourceI2CList"),
                ElementsAre(2));
    ASSERT_TRUE(BusMap.contains(3));
    EXPECT_EQ(BusMap[3][0][0]->path(), "/xyz/openbmc_project/Raid/rs3cs0ds0");
    EXPECT_EQ(BusMap[3][1][0]->path(), "/xyz/openbmc_project/Raid/rs3cs1ds0");
    EXPECT_TRUE(BusMap[3][1][0]->isInitialized());
    EXPECT_EQ(value<int32_t>(collected(3, 1), "MemberId"), 4);
    EXPECT_EQ(devicePath(0, 0, 0), "/xyz/openbmc_project/Raid/rs0cs0ds0");
}

TEST_F(Scan, NoControllerBehindTheCard)
{
    sim.write({{"buses", json::array({card(14, json::array())})}});
    EXPECT_TRUE(agentSynchronizeData());
    EXPECT_THAT(err.str(), HasSubstr("No raid controller found!\n"));
    EXPECT_TRUE(BusMap.contains(0));
    EXPECT_FALSE(BusMap.contains(1));
}

TEST_F(Scan, FailedInitSkipsTheBus)
{
    json b14 = card(14, json::array({controller(0, 1)}));
    b14["initStatus"] = 5;
    sim.write(
        {{"buses",
          json::array({b14, card(15, json::array({controller(1, 1)}))})}});
    EXPECT_TRUE(agentSynchronizeData());
    EXPECT_THAT(err.str(), HasSubstr("init : ProcessLibCommand fail!!!!!!!\n"));
    EXPECT_FALSE(BusMap.contains(1));
    EXPECT_TRUE(BusMap.contains(2));
}

TEST_F(Scan, FirstRefreshFailureIsRetried)
{
    json c = controller(0, 1);
    c["fail"] = {{"SL_GET_PD_LIST", 4}};
    sim.write({{"buses", json::array({card(14, json::array({c}))})}});
    EXPECT_TRUE(agentSynchronizeData());
    EXPECT_FALSE(BusMap.contains(1));
    EXPECT_THAT(err.str(), HasSubstr("update device failed0 0\n"));

    c.erase("fail");
    sim.write({{"buses", json::array({card(14, json::array({c}))})}});
    EXPECT_TRUE(agentSynchronizeData());
    ASSERT_TRUE(BusMap.contains(1));
    EXPECT_TRUE(BusMap[1][0][0]->isInitialized());

    // A later failure keeps the object and its values.
    c["fail"] = {{"SL_GET_CTRL_INFO", 4}};
    sim.write({{"buses", json::array({card(14, json::array({c}))})}});
    EXPECT_TRUE(agentSynchronizeData());
    EXPECT_TRUE(BusMap.contains(1));
    EXPECT_EQ(BusMap[1][0][0]->getProperty<int32_t>("PDcount"), 1);
}

TEST_F(Scan, ControllerCountBeyondTheReplyArea)
{
    json b = card(14, json::array({controller(5, 0)}));
    b["reportedCount"] = 1000;
    sim.write({{"buses", json::array({b})}});
    EXPECT_TRUE(agentSynchronizeData());
    EXPECT_THAT(err.str(), HasSubstr("ctrlList.count 1000 above 64"));
    // The library knows controller 5 only: the others fail and are dropped.
    ASSERT_TRUE(BusMap.contains(1));
    EXPECT_EQ(BusMap[1].size(), 1U);
}

TEST_F(Scan, FailureOfAnyKindEndsOnlyTheScan)
{
    json c = controller(0, 1);
    c["throw"] = {{"SL_GET_PD_LIST", 7}}; // not a std::exception
    sim.write({{"buses", json::array({card(14, json::array({c}))})}});
    EXPECT_FALSE(guardedScan());
    EXPECT_THAT(err.str(), HasSubstr("scan failed: unknown exception\n"));
    EXPECT_FALSE(BusMap.contains(1));

    c.erase("throw");
    sim.write({{"buses", json::array({card(14, json::array({c}))})}});
    EXPECT_TRUE(guardedScan());
    EXPECT_TRUE(BusMap[1][0][0]->isInitialized());
}

TEST_F(Scan, ReadingOvertakenByALaterScanIsDropped)
{
    json c = controller(0, 1);
    sim.write({{"buses", json::array({card(14, json::array({c}))})}});
    ScanReading polled = readRaidCards();
    c["drives"][0]["fwState"] = 0x18;
    sim.write({{"buses", json::array({card(14, json::array({c}))})}});
    EXPECT_TRUE(agentSynchronizeData());
    EXPECT_FALSE(publishScan(polled));
    EXPECT_THAT(
        BusMap[1][0][0]->getProperty<std::vector<std::string>>("PD_fwStates"),
        ElementsAre("ONLINE"));
}
