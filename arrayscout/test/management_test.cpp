// The management methods against the simulated library, which logs every
// command it receives (with the bytes of an added configuration).

#include "management.hpp"
#include "unit_fixture.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace arrayscout;
using arrayscout_test::card;
using arrayscout_test::controller;
using arrayscout_test::json;
using ::testing::HasSubstr;

namespace
{

struct Logged
{
    std::string name;
    std::vector<uint8_t> params;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> hexBytes(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    {
        bytes.push_back(
            static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

} // namespace

class Management : public arrayscout_test::DaemonState
{
  protected:
    void SetUp() override
    {
        DaemonState::SetUp();
        ::setenv("STORESIM_LOG", sim.logPath().c_str(), 1);
        json c = controller(0, 4);
        c["volumes"] = json::array({arrayscout_test::volume(0, "a", 1),
                                    arrayscout_test::volume(1, "b", 1),
                                    arrayscout_test::volume(3, "c", 1)});
        c["arrays"] = json::array({{{"ref", 0}}, {{"ref", 1}}});
        c["addConfigStatus"] = 0x55; // refused: no wait after it
        c["limits"] = {{"5", {3, 32}}};
        describe(c);
    }

    void TearDown() override
    {
        ::unsetenv("STORESIM_LOG");
        DaemonState::TearDown();
    }

    void describe(const json& c)
    {
        ctrl = c;
        sim.write({{"buses", json::array({card(14, json::array({c}))})}});
    }

    std::vector<Logged> logged()
    {
        std::vector<Logged> all;
        std::ifstream in(sim.logPath());
        std::string line;
        while (std::getline(in, line))
        {
            std::istringstream words(line);
            Logged l;
            std::string word;
            words >> l.name;
            while (words >> word)
            {
                if (word.starts_with("params="))
                {
                    l.params = hexBytes(word.substr(7));
                }
                else if (word.starts_with("data="))
                {
                    l.data = hexBytes(word.substr(5));
                }
            }
            all.push_back(l);
        }
        return all;
    }

    /** The configuration of the last SL_ADD_CONFIG. */
    ByteBuffer added()
    {
        for (const auto& l : logged())
        {
            if (l.name == "SL_ADD_CONFIG")
            {
                last = l.data;
            }
        }
        ByteBuffer b(last.size());
        for (std::size_t i = 0; i < last.size(); ++i)
        {
            b.put8(i, last[i]);
        }
        return b;
    }

    bool sent(const std::string& name)
    {
        for (const auto& l : logged())
        {
            if (l.name == name)
            {
                return true;
            }
        }
        return false;
    }

    int32_t addLd(std::vector<int32_t> ids, int32_t stripe = 7,
                  int32_t access = 0, int32_t level = 1,
                  const std::string& name = "new")
    {
        return addLogicalDrive(0, name, ids, stripe, 0, 0, access, 1, level);
    }

    json ctrl;
    std::vector<uint8_t> last;
};

TEST_F(Management, LocateAndItsParameters)
{
    EXPECT_EQ(locatePd(0, 9, 30), 0);
    auto log = logged();
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(log[0].name, "SL_START_LOCATE_PD");
    EXPECT_EQ(log[0].params[0], 9);
    EXPECT_EQ(log[0].params[8], 30);
    EXPECT_THAT(err.str(), HasSubstr("SL_START_LOCATE_PD : ProcessLibCommand "
                                     "success!\n"));
    EXPECT_EQ(locatePd(0, 99, 30), 1);
    EXPECT_EQ(stopLocatePd(0, 99), 1);
    EXPECT_EQ(stopLocatePd(7, 9), 1);
}

TEST_F(Management, DeleteAndSetStateFailures)
{
    // A wrong sequence number is refused by the library.
    EXPECT_EQ(deleteVolumes(0, 1, 7, 1), 1);
    auto log = logged();
    ASSERT_EQ(log.size(), 1U);
    EXPECT_EQ(log[0].name, "SL_DELETE_LD");
    EXPECT_EQ(log[0].params[0], 7);
    EXPECT_EQ(log[0].params[2], 1);
    EXPECT_EQ(log[0].params[13], 10);
    EXPECT_EQ(log[0].params[14], 15);
    EXPECT_EQ(log[0].params[15], 13);
    // SetPDState answers the library's status, not 1.
    EXPECT_EQ(setPdState(0, 8, 99, 0x18), 0x0e);
    EXPECT_EQ(setPdState(0, 99, 3, 0x18), 0x0d);
}

TEST_F(Management, AddArgumentChecks)
{
    EXPECT_EQ(addLd({8, 9}, 12), 1);
    EXPECT_THAT(err.str(), HasSubstr("Wrong stripeSize\n"));
    EXPECT_EQ(addLogicalDrive(0, "n", {8, 9}, 7, 3, 0, 0, 0, 1), 1);
    EXPECT_EQ(addLogicalDrive(0, "n", {8, 9}, 7, 0, 3, 0, 0, 1), 1);
    for (int a : {1, 4, 13, 0x21})
    {
        EXPECT_EQ(addLd({8, 9}, 7, a), 1) << a;
    }
    EXPECT_THAT(out.str(), HasSubstr("Wrong accessPolicy"));
    EXPECT_FALSE(sent("SL_GET_CTRL_INFO"));

    EXPECT_EQ(addLd({8, 9}, 7, 0, 10), 1);
    EXPECT_THAT(err.str(), HasSubstr("raidlevel not supported!\n"));
    // Five drives in RAID 5 would do; two are too few.
    EXPECT_EQ(addLd({8, 9}, 7, 0, 5), 1);
    EXPECT_THAT(err.str(), HasSubstr("Invalid number of disks provided.\n"));
    json c = ctrl;
    c["raidLevels"] = 0x01;
    describe(c);
    EXPECT_EQ(addLd({8, 9}, 7, 0, 6), 1);
    EXPECT_THAT(err.str(),
                HasSubstr("Raid ctroller not support raidlevel 6 \n"));
    EXPECT_FALSE(sent("SL_ADD_CONFIG"));

    std::vector<int32_t> many(33, 8);
    EXPECT_EQ(addLd(many), 1);
    EXPECT_EQ(addLd({8, 99}), 1); // unknown drive
    EXPECT_FALSE(sent("SL_ADD_CONFIG"));
}

TEST_F(Management, AddedConfiguration)
{
    // 11, access 0x12 and RAID level 256 pass; the library's refusal is 1.
    EXPECT_EQ(addLd({8, 9}, 11, 0x12, 256, "a-very-long-vol"), 1);
    ByteBuffer cfg = added();
    ASSERT_EQ(cfg.size(), 32U + 288 + 256);
    EXPECT_EQ(cfg.u32(0), cfg.size());
    EXPECT_EQ(cfg.u16(4), 1);
    EXPECT_EQ(cfg.u16(6), 288);
    EXPECT_EQ(cfg.u16(8), 1);
    EXPECT_EQ(cfg.u16(10), 256);
    // The array: the first free reference, its drives and the smallest
    // drive's array block count.
    EXPECT_EQ(cfg.u16(32 + 10), 2);
    EXPECT_EQ(cfg.u8(32 + 8), 2);
    EXPECT_EQ(cfg.u64(32), 937703088ULL);
    EXPECT_EQ(cfg.u16(32 + 32), 8);
    EXPECT_EQ(cfg.u16(32 + 34), 3);
    EXPECT_EQ(cfg.u16(32 + 36), 0x18);
    EXPECT_EQ(cfg.u8(32 + 38), 252);
    EXPECT_EQ(cfg.u8(32 + 39), 0);
    EXPECT_EQ(cfg.u16(32 + 40), 9);
    EXPECT_EQ(cfg.u8(32 + 47), 1);
    // The volume: the first free target id, the name of 15 characters and
    // its terminator.
    const std::size_t v = 32 + 288;
    EXPECT_EQ(cfg.u8(v), 2);
    EXPECT_EQ(cfg.text(v + 4, 16), "a-very-long-vol");
    EXPECT_EQ(cfg.u8(v + 21), 2);
    EXPECT_EQ(cfg.u8(v + 32), 0);
    EXPECT_EQ(cfg.u8(v + 33), 0);
    EXPECT_EQ(cfg.u8(v + 35), 11);
    EXPECT_EQ(cfg.u8(v + 36), 2);
    EXPECT_EQ(cfg.u8(v + 37), 1);
    EXPECT_EQ(cfg.u8(v + 38), 3);
    EXPECT_EQ(cfg.u8(v + 40), 1);
    EXPECT_EQ(cfg.u8(v + 48), 3);
    EXPECT_EQ(cfg.u64(v + 72), 937703088ULL);
    EXPECT_EQ(cfg.u16(v + 80), 2);
    EXPECT_THAT(err.str(), HasSubstr("find arrayRef 2 can use\n"));
    EXPECT_THAT(err.str(), HasSubstr("find targetid 2 can use\n"));

    // RAID 5 with three drives: qualifier 3.
    EXPECT_EQ(addLd({8, 9, 10}, 7, 0, 5), 1);
    EXPECT_EQ(added().u8(v + 33), 3);
}

TEST_F(Management, ArrayAsLargeAsItsSmallestDrive)
{
    json c = ctrl;
    c["drives"][0].update({{"blocks", 1000}, {"arrayBlocks", 990}});
    c["drives"][1].update({{"blocks", 995}, {"arrayBlocks", 985}});
    describe(c);
    EXPECT_EQ(addLd({8, 9}), 1);
    ByteBuffer cfg = added();
    EXPECT_EQ(cfg.u64(32), 985U);
    EXPECT_EQ(cfg.u64(32 + 288 + 72), 985U);
}

TEST_F(Management, AddRefusesWhatTheControllerWouldTakeWrong)
{
    // No drives, though the level allows none.
    json c = ctrl;
    c["limits"] = {{"0", {0, 32}}};
    describe(c);
    EXPECT_EQ(addLd({}, 7, 0, 0), 1);
    EXPECT_THAT(err.str(), HasSubstr("Invalid number of disks provided.\n"));
    EXPECT_TRUE(logged().empty());

    // A name the volume cannot hold.
    EXPECT_EQ(addLd({8, 9}, 7, 0, 1, "sixteen-chars-16"), 1);
    EXPECT_THAT(err.str(), HasSubstr("Wrong name\n"));
    EXPECT_TRUE(logged().empty());

    // Every target id in use, then every array reference.
    c["volumes"] = json::array();
    for (int id = 0; id < 64; ++id)
    {
        c["volumes"].push_back(arrayscout_test::volume(id, "v", 1));
    }
    c["arrays"] = json::array({{{"ref", 0}}});
    describe(c);
    EXPECT_EQ(addLd({8, 9}), 1);
    c["volumes"].erase(5);
    c["arrays"] = json::array();
    for (int ref = 0; ref < 128; ++ref)
    {
        c["arrays"].push_back({{"ref", ref}});
    }
    describe(c);
    EXPECT_EQ(addLd({8, 9}), 1);
    const std::string text = err.str();
    const std::string refused = "Invalid raid config\n";
    auto first = text.find(refused);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find(refused, first + 1), std::string::npos);
    EXPECT_FALSE(sent("SL_ADD_CONFIG"));
}

TEST_F(Management, ConfigurationReadsAnswerTheirStatus)
{
    json c = ctrl;
    c["fail"] = {{"ConfigSummary", 0x31}};
    describe(c);
    EXPECT_EQ(addLd({8, 9}), 0x31);
    c["fail"] = {{"SL_READ_CONFIG", 0x32}};
    describe(c);
    EXPECT_EQ(addLd({8, 9}), 0x32);
    // A summary that cannot hold a header, and entries too small for the
    // drives, are refused before anything is sent.
    c.erase("fail");
    c["reportedConfigSize"] = 8;
    describe(c);
    EXPECT_EQ(addLd({8, 9}), 1);
    c.erase("reportedConfigSize");
    c["arrayEntrySize"] = 40;
    describe(c);
    EXPECT_EQ(addLd({8, 9}), 1);
    EXPECT_FALSE(sent("SL_ADD_CONFIG"));
}

TEST_F(Management, DiagnosticsFailureCountsAsSuccess)
{
    json c = ctrl;
    c["addConfigStatus"] = 0x8039;
    describe(c);
    EXPECT_EQ(addLd({8, 9}), 0);
    EXPECT_THAT(err.str(),
                HasSubstr("SL_ADD_CONFIG : ProcessLibCommand success\nBut "
                          "diagnostics failed"));
}

TEST_F(Management, TargetIdsOfTheConfiguration)
{
    ByteBuffer cfg(32 + 3 * 100);
    cfg.put16(4, 0);
    cfg.put16(8, 3);
    cfg.put16(10, 100);
    cfg.put8(32, 5);
    cfg.put8(132, 200); // ignored: above 63
    cfg.put8(232, 0);
    std::array<uint8_t, 64> free{};
    EXPECT_EQ(markUsedTargetIds(cfg, free), 0);
    EXPECT_EQ(free[0], 0);
    EXPECT_EQ(free[5], 0);
    EXPECT_EQ(std::count(free.begin(), free.end(), 1), 62);
    // A header claiming more volumes than the data holds reads what is
    // there.
    cfg.put16(8, 60000);
    EXPECT_EQ(markUsedTargetIds(cfg, free), 0);
}
