// Drive change confirmation over real scans of the simulated library: the
// events and the disk flag commands (recording stand-ins for busctl and
// log-util), and the inventory files written at each confirmation.

#include "drive_events.hpp"
#include "inventory_files.hpp"
#include "scan.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/stubs.hpp"
#include "unit_fixture.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace arrayscout;
using arrayscout_test::card;
using arrayscout_test::controller;
using arrayscout_test::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

using Argv = std::vector<std::string>;

namespace
{

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const Argv removedTrap(const std::string& name)
{
    return {"--timeout=2",
            "call",
            "xyz.openbmc_project.Logging",
            "/xyz/openbmc_project/logging",
            "xyz.openbmc_project.Logging.Create",
            "Create",
            "ssa{ss}",
            "1.3.6.1.4.1.61842.1.1.1.500.11.3.5",
            "xyz.openbmc_project.Logging.Entry.Level.Error",
            "2",
            "1.3.6.1.4.1.61842.1.1.1.500.1.2",
            "s" + name,
            "1.3.6.1.4.1.61842.1.1.1.500.1.4",
            "i4"};
}

Argv flag(bool healthy)
{
    return {"--timeout=2",
            "set-property",
            "xyz.openbmc_project.vigilhub",
            "/xyz/openbmc_project/vigilhub/disk",
            "xyz.openbmc_project.Status",
            "Health",
            "b",
            healthy ? "true" : "false"};
}

} // namespace

class Confirmation : public arrayscout_test::DaemonState
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        DaemonState::SetUp();
        std::filesystem::remove_all("/var/inventory");
        stubs.add("busctl");
        stubs.add("log-util");
        oldPath = std::getenv("PATH");
        ::setenv("PATH", (stubs.path() + ":" + oldPath).c_str(), 1);
    }

    void TearDown() override
    {
        if (!oldPath.empty())
        {
            ::setenv("PATH", oldPath.c_str(), 1);
        }
        DaemonState::TearDown();
    }

    void describe(const json& ctrl, int busNumber = 14)
    {
        sim.write(
            {{"buses", json::array({card(busNumber, json::array({ctrl}))})}});
    }

    /** Scans twice with the same description: the second confirms. */
    void confirm(const json& ctrl)
    {
        describe(ctrl);
        ASSERT_TRUE(agentSynchronizeData());
        ASSERT_TRUE(agentSynchronizeData());
    }

    /** The first confirmation since start-up: it sends the disk flag,
     *  healthy, and nothing else. The commands recorded are cleared. */
    void confirmFirst(const json& ctrl)
    {
        confirm(ctrl);
        EXPECT_THAT(stubs.calls("busctl"), ElementsAre(flag(true)));
        stubs.clear();
    }

    testkit::CommandStubs stubs;
    std::string oldPath;
};

TEST_F(Confirmation, FirstConfirmationPublishesWithoutEvents)
{
    describe(controller(0, 2));
    ASSERT_TRUE(agentSynchronizeData());
    EXPECT_FALSE(std::filesystem::exists(raidInventoryFile));
    EXPECT_TRUE(_publishedCache.empty());
    ASSERT_TRUE(agentSynchronizeData());
    EXPECT_TRUE(hasPublishedDriveNames(1, 0, 0));
    EXPECT_THAT(stubs.calls("busctl"), ElementsAre(flag(true)));
    EXPECT_THAT(stubs.calls("log-util"), IsEmpty());

    EXPECT_EQ(slurp(raidInventoryFile),
              "0\tSimRAID 9460-8i\tRAIDStorage0\tOK\t5.140.00-3319\t4096\t"
              "SAS\t5764824127046860800\tRAID0,RAID1(2 or more drives),RAID5,"
              "RAID6,RAID00\tBroadcom / LSI\tSK0000\n");
    EXPECT_EQ(slurp(diskInventoryFile),
              "0\tdisk0\tST4000NM0035    \tSeagate\tE001\tHDD\tSAS\t0\tZC100" +
                  std::string(27, ' ') +
                  "\t4000787030016\n"
                  "1\tdisk1\tINTEL SSDSC2KG480G8" +
                  std::string(21, ' ') + "\tIntel\tXCV10110\tSSD\tSATA\t0\t" +
                  "PHYG1" + std::string(15, ' ') + "\t480103981056\n");

    // Unchanged: neither file is touched again.
    struct stat before
    {};
    ASSERT_EQ(::stat(diskInventoryFile, &before), 0);
    out.str("");
    ASSERT_TRUE(agentSynchronizeData());
    struct stat after
    {};
    ASSERT_EQ(::stat(diskInventoryFile, &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    std::string text = out.str();
    std::size_t first = text.find("Data in file is identical. Skip writing.");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("Data in file is identical. Skip writing.", first + 1),
              std::string::npos);
}

TEST_F(Confirmation, DriveGoneForTwoScansThenBack)
{
    json two = controller(0, 2);
    confirmFirst(two);
    json one = two;
    one["drives"].erase(1);

    describe(one);
    ASSERT_TRUE(agentSynchronizeData());
    EXPECT_THAT(err.str(),
                HasSubstr("tryToUpdateCache: replace confirming cache. "
                          "_confirmingCacheVersion: 2, "
                          "_collectingCacheVersion: 3, dev: disk0\n"));
    EXPECT_THAT(stubs.calls("busctl"), IsEmpty());

    ASSERT_TRUE(agentSynchronizeData());
    EXPECT_THAT(stubs.calls("busctl"),
                ElementsAre(removedTrap("disk1"), flag(false)));
    EXPECT_THAT(stubs.calls("log-util"),
                ElementsAre(Argv{"PRIORITY=4",
                                 "REDFISH_MESSAGE_ID=OpenBMC.0.1."
                                 "PhysicalDiskRemoved",
                                 "REDFISH_MESSAGE_ARGS=disk1",
                                 "MESSAGE=disk1 removed."}));
    EXPECT_THAT(err.str(), HasSubstr("Strings present in old_pdnames but not "
                                     "in new_pdnames:disk1\n"));
    std::string disks = slurp(diskInventoryFile);
    EXPECT_EQ(std::count(disks.begin(), disks.end(), '\n'), 1);

    // No event is sent twice.
    stubs.clear();
    ASSERT_TRUE(agentSynchronizeData());
    EXPECT_THAT(stubs.calls("busctl"), IsEmpty());

    describe(two);
    ASSERT_TRUE(agentSynchronizeData());
    ASSERT_TRUE(agentSynchronizeData());
    ASSERT_EQ(stubs.calls("busctl").size(), 2U);
    EXPECT_EQ(stubs.calls("busctl")[0][7],
              "1.3.6.1.4.1.61842.1.1.1.500.11.3.3");
    EXPECT_EQ(stubs.calls("busctl")[1], flag(true));
    EXPECT_THAT(stubs.calls("log-util"),
                ElementsAre(Argv{"PRIORITY=4",
                                 "REDFISH_MESSAGE_ID=OpenBMC.0.1."
                                 "PhysicalDiskInserted",
                                 "REDFISH_MESSAGE_ARGS=disk1",
                                 "MESSAGE=disk1 inserted."}));
}

TEST_F(Confirmation, DriveMissingInOneScanOnly)
{
    json two = controller(0, 2);
    confirmFirst(two);
    json one = two;
    one["drives"].erase(1);
    describe(one);
    ASSERT_TRUE(agentSynchronizeData());
    describe(two);
    ASSERT_TRUE(agentSynchronizeData());
    ASSERT_TRUE(agentSynchronizeData());
    std::string text = err.str();
    std::size_t first = text.find("replace confirming cache");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("replace confirming cache", first + 1),
              std::string::npos);
    EXPECT_THAT(stubs.calls("busctl"), IsEmpty());
    EXPECT_THAT(stubs.calls("log-util"), IsEmpty());
}

TEST_F(Confirmation, SameNamesInAnotherOrderSendNothing)
{
    json two = controller(0, 2);
    confirmFirst(two);
    std::swap(two["drives"][0], two["drives"][1]);
    confirm(two);
    EXPECT_THAT(out.str(), HasSubstr("old_set: disk0\nold_set: disk1\n"));
    EXPECT_THAT(out.str(), HasSubstr("new_set: disk0\nnew_set: disk1\n"));
    EXPECT_THAT(stubs.calls("busctl"), IsEmpty());
}

TEST_F(Confirmation, SwappedDriveRemovalFirst)
{
    json c = controller(0, 2);
    confirmFirst(c);
    c["drives"][1]["slot"] = 5;
    confirm(c);
    auto calls = stubs.calls("busctl");
    ASSERT_EQ(calls.size(), 4U);
    EXPECT_EQ(calls[0], removedTrap("disk1"));
    EXPECT_EQ(calls[1], flag(false));
    EXPECT_EQ(calls[2][7], "1.3.6.1.4.1.61842.1.1.1.500.11.3.3");
    EXPECT_EQ(calls[2][11], "sdisk5");
    EXPECT_EQ(calls[3], flag(true));
}

TEST_F(Confirmation, OtherBusesTakeNoPart)
{
    describe(controller(0, 2), 15);
    ASSERT_TRUE(agentSynchronizeData());
    ASSERT_TRUE(agentSynchronizeData());
    EXPECT_EQ(_confirmingCacheVersion, 0);
    EXPECT_TRUE(_publishedCache.empty());
    EXPECT_FALSE(std::filesystem::exists(raidInventoryFile));
}

TEST_F(Confirmation, ScanWithoutCardRestartsTheConfirmation)
{
    json c = controller(0, 2);
    describe(c);
    ASSERT_TRUE(agentSynchronizeData());
    sim.write({{"buses", json::array()}});
    ASSERT_FALSE(agentSynchronizeData());
    describe(c);
    ASSERT_TRUE(agentSynchronizeData());
    EXPECT_TRUE(_publishedCache.empty());
    ASSERT_TRUE(agentSynchronizeData());
    EXPECT_FALSE(_publishedCache.empty());
}

TEST_F(Confirmation, CommandLines)
{
    EXPECT_EQ(snmpTrapCommandLine(trap::driveRemoved, trap::objectName, "disk3",
                                  trap::state, 4),
              "busctl --timeout=2 call xyz.openbmc_project.Logging "
              "/xyz/openbmc_project/logging "
              "xyz.openbmc_project.Logging.Create Create ssa{ss} "
              "1.3.6.1.4.1.61842.1.1.1.500.11.3.5 "
              "xyz.openbmc_project.Logging.Entry.Level.Error 2 "
              "1.3.6.1.4.1.61842.1.1.1.500.1.2 sdisk3 "
              "1.3.6.1.4.1.61842.1.1.1.500.1.4 i4");
    EXPECT_EQ(logCommandLine(diskInsertedId, "disk3", "disk3 inserted."),
              "log-util PRIORITY=4 "
              "REDFISH_MESSAGE_ID=OpenBMC.0.1.PhysicalDiskInserted "
              "\"REDFISH_MESSAGE_ARGS=disk3\" \"MESSAGE=disk3 inserted.\"");
    EXPECT_EQ(stateCommandLine(false),
              "busctl --timeout=2 set-property xyz.openbmc_project.vigilhub "
              "/xyz/openbmc_project/vigilhub/disk xyz.openbmc_project.Status "
              "Health b false");
    // Text that means something to the shell reaches the program as it is.
    EXPECT_EQ(logCommandLine(diskRemovedId, "$(x)", "a \"b\""),
              "log-util PRIORITY=4 "
              "REDFISH_MESSAGE_ID=OpenBMC.0.1.PhysicalDiskRemoved "
              "\"REDFISH_MESSAGE_ARGS=\\$(x)\" \"MESSAGE=a \\\"b\\\"\"");
}
