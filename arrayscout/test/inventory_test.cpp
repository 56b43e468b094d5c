// The inventory file writer and the two file texts.

#include "inventory_files.hpp"
#include "testkit/tempdir.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace arrayscout;
using ::testing::HasSubstr;

namespace
{

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

PropertyMap controllerMap()
{
    using S = std::vector<std::string>;
    return {{"Model", std::string("M")},
            {"HealthState", std::string("OK")},
            {"FirmwareVersion", std::string("F")},
            {"TotalCacheSizeMiB", int32_t{2048}},
            {"SupportedDeviceProtocols", S{}},
            {"SASAddress", int64_t{-2}},
            {"SupportedRAIDTypes", S{"None"}},
            {"SerialNumber", std::string("SN")},
            {"PD_ids", std::vector<int32_t>{8, 9, 10}},
            {"PD_names", S{"disk0", "disk1", "disk2"}},
            {"PD_models", S{"a", "b", "c"}},
            {"PD_Manufacturers", S{"m", "m", "m"}},
            {"PD_FirmwareRevisions", S{"r", "r", "r"}},
            {"PD_mediaTypes", S{"HDD", "SSD", "HDD"}},
            {"PD_protocols", S{"SAS", "SATA", "SAS"}},
            {"PD_locateState", std::vector<int32_t>{0, 1, 0}},
            {"PD_serialNumbers", S{"s0", "s1", "s2"}},
            {"PD_capacityBytes", std::vector<int64_t>{1, 2, 3}}};
}

class Files : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        old = std::cout.rdbuf(out.rdbuf());
    }
    void TearDown() override
    {
        std::cout.rdbuf(old);
    }
    testkit::TempDir dir{"inventory"};
    std::ostringstream out;
    std::streambuf* old = nullptr;
};

} // namespace

TEST_F(Files, Texts)
{
    EXPECT_EQ(raidInventoryText(controllerMap()),
              "0\tM\tRAIDStorage0\tOK\tF\t2048\t\t-2\tNone\tBroadcom / "
              "LSI\tSN\n");
    EXPECT_EQ(diskInventoryText(controllerMap()),
              "0\tdisk0\ta\tm\tr\tHDD\tSAS\t0\ts0\t1\n"
              "1\tdisk1\tb\tm\tr\tSSD\tSATA\t1\ts1\t2\n"
              "2\tdisk2\tc\tm\tr\tHDD\tSAS\t0\ts2\t3\n");
    PropertyMap none = controllerMap();
    none["PD_ids"] = std::vector<int32_t>{};
    EXPECT_EQ(diskInventoryText(none), "");
}

TEST_F(Files, IncompletePropertiesWriteNothing)
{
    PropertyMap m = controllerMap();
    m.erase("SerialNumber");
    EXPECT_EQ(raidInventoryText(m), std::nullopt);
    m = controllerMap();
    m["SASAddress"] = int32_t{5};
    EXPECT_EQ(raidInventoryText(m), std::nullopt);
    m = controllerMap();
    m["PD_models"] = std::vector<std::string>{"a"};
    EXPECT_EQ(diskInventoryText(m), std::nullopt);
    EXPECT_THAT(out.str(), HasSubstr("drive lists shorter than PD_ids"));
}

TEST_F(Files, WriteOnlyWhenChanged)
{
    auto file = dir / "raid" / "deeper" / "data";
    EXPECT_TRUE(writeFileIfChanged("one\n", file));
    EXPECT_EQ(slurp(file), "one\n");
    EXPECT_THAT(out.str(), HasSubstr("Data written to file: " + file.string()));
    struct stat before
    {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    EXPECT_EQ(before.st_mode & 0777, 0644U);

    EXPECT_TRUE(writeFileIfChanged("one\n", file));
    EXPECT_THAT(out.str(), HasSubstr("Data in file is identical. Skip "
                                     "writing.\n"));
    struct stat same
    {};
    ASSERT_EQ(::stat(file.c_str(), &same), 0);
    EXPECT_EQ(same.st_ino, before.st_ino);

    EXPECT_TRUE(writeFileIfChanged("two\n", file));
    EXPECT_EQ(slurp(file), "two\n");
    // Nothing is left beside the file.
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(file.parent_path()),
                      std::filesystem::directory_iterator()),
        1);
}

TEST_F(Files, UnwritableFolderKeepsTheOldContent)
{
    auto file = dir / "data";
    ASSERT_TRUE(writeFileIfChanged("old\n", file));
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    if (::access(dir.path().c_str(), W_OK) == 0)
    {
        // root ignores the mode; a read-only place stands in.
        ::chmod(dir.path().c_str(), 0755);
        EXPECT_FALSE(writeFileIfChanged("new\n", "/proc/arrayscout-data"));
        EXPECT_FALSE(writeFileIfChanged("new\n", file.string() + "/x"));
    }
    else
    {
        EXPECT_FALSE(writeFileIfChanged("new\n", file));
        ::chmod(dir.path().c_str(), 0755);
    }
    EXPECT_EQ(slurp(file), "old\n");
}

TEST_F(Files, UnfinishedWritesRemoved)
{
    auto file = dir / "data";
    ASSERT_TRUE(writeFileIfChanged("kept\n", file));
    for (const char* name :
         {"data.Ab12Z9", "data.tmp", "data.Ab12Z9x", "other"})
    {
        std::ofstream(dir / name) << "x";
    }
    removeStaleTempFiles(file.string());
    EXPECT_FALSE(std::filesystem::exists(dir / "data.Ab12Z9"));
    for (const char* name : {"data", "data.tmp", "data.Ab12Z9x", "other"})
    {
        EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
    }
    removeStaleTempFiles((dir / "missing" / "data").string());
}
