// The hwmon threshold overrides in the sandbox's private /etc.
#include "libkn/conf.h"

#include "files.hpp"
#include "testkit/sandbox.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::readText;

const fs::path oemConf = KN_OEM_CONF_PATH;

const std::string sample = "# thresholds\n"
                           "LABEL_cpu0=cpu0\n"
                           "CRITHI_temp1=95000\n"
                           "CRITHI_temp2=96000\n"
                           "WARNHI_temp2=90000\n"
                           "LABEL_cpu1=cpu1\n"
                           "CRITHI_temp2=97000\n"
                           "WARNHI_temp2=91000\n";

class OemConf : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        fs::remove_all(oemConf.parent_path());
        fs::create_directories(oemConf.parent_path());
    }

    static void write(const std::string& text)
    {
        std::ofstream(oemConf, std::ios::binary) << text;
    }

    static size_t files()
    {
        size_t count = 0;
        for (const auto& entry : fs::directory_iterator(oemConf.parent_path()))
        {
            (void)entry;
            ++count;
        }
        return count;
    }
};

TEST_F(OemConf, SetsTheThresholdOfTheNamedSensorOnly)
{
    write(sample);
    EXPECT_EQ(write_to_oem_conf(2, "cpu1", KN_THRESHOLD_CRITICAL_HIGH, -5), 0);
    std::string expected = sample;
    expected.replace(expected.find("CRITHI_temp2=97000"), 18,
                     "CRITHI_temp2=-5");
    EXPECT_EQ(readText(oemConf), expected);

    EXPECT_EQ(
        write_to_oem_conf(2, "cpu0", KN_THRESHOLD_WARNING_HIGH, 12345678901LL),
        0);
    expected.replace(expected.find("WARNHI_temp2=90000"), 18,
                     "WARNHI_temp2=12345678901");
    EXPECT_EQ(readText(oemConf), expected);
    EXPECT_EQ(files(), 1u);
}

// The index is a whole number of the key: index 1 is neither temp10 nor
// a value of 100. A kind without a prefix changes nothing.
TEST_F(OemConf, OnlyTheKeyWithTheWholeIndexChanges)
{
    const std::string text = "LABEL_cpu0=cpu0\n"
                             "CRITHI_temp10=100\n"
                             "CRITHI_temp1=90\n";
    write(text);
    EXPECT_EQ(write_to_oem_conf(1, "cpu0", KN_THRESHOLD_CRITICAL_HIGH, 85), 0);
    EXPECT_EQ(readText(oemConf), "LABEL_cpu0=cpu0\n"
                                 "CRITHI_temp10=100\n"
                                 "CRITHI_temp1=85\n");

    write(text);
    EXPECT_EQ(write_to_oem_conf(1, "cpu0", 7, 1), 0);
    EXPECT_EQ(write_to_oem_conf(1, "cpu0", 0, 1), 0);
    EXPECT_EQ(readText(oemConf), text);
    EXPECT_EQ(files(), 1u);
}

TEST_F(OemConf, NothingToChangeLeavesTheFile)
{
    EXPECT_EQ(write_to_oem_conf(1, "cpu0", 1, 5), 0);
    EXPECT_FALSE(fs::exists(oemConf));
    write(sample);
    EXPECT_EQ(write_to_oem_conf(1, "cpu9", 2, 5), 0);
    EXPECT_EQ(write_to_oem_conf(1, nullptr, 2, 5), 0);
    EXPECT_EQ(readText(oemConf), sample);
    EXPECT_EQ(files(), 1u);
}

} // namespace
