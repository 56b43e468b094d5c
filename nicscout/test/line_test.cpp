// Unit tests of the inventory file reader, the line parser and the rules that
// turn a line into property names and values.

#include "adapter_properties.hpp"
#include "inventory_file.hpp"
#include "inventory_line.hpp"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace nicscout;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace
{

/** A 13-field line with the given bus, device and port fields. */
std::string lineWith(const std::string& bus, const std::string& device,
                     const std::string& port)
{
    return "1\tx\t00:11:22:33:44:55\tIntel\tEthernet\tX710\t" + bus + "\t" +
           device + "\t" + port + "\tUp\tEnabled\tSlot1\tCPU0";
}

template <typename E>
std::string failureOf(const std::string& line)
{
    try
    {
        InventoryLine::parse(line);
    }
    catch (const E& e)
    {
        return e.what();
    }
    return "no failure";
}

} // namespace

TEST(InventoryFileRead, LinesUpToTheBoundReadWholeAcrossReads)
{
    const std::string path =
        testing::TempDir() + "nicscout-lines-" + std::to_string(getpid());
    auto write = [&path](const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    };
    const std::size_t max = InventoryFile::maxLineLength;

    // The last line needs no line feed.
    write(std::string(max, 'a') + "\n\n" + std::string(max - 1, 'b') +
          "\nlast");
    std::vector<std::string> read;
    {
        InventoryFile file(path);
        ASSERT_TRUE(file.isOpen());
        std::string line;
        while (file.readLine(line))
        {
            read.push_back(line);
        }
        EXPECT_FALSE(file.failed());
    }
    EXPECT_EQ(read,
              (std::vector<std::string>{std::string(max, 'a'), "",
                                        std::string(max - 1, 'b'), "last"}));

    write("first\n" + std::string(max + 1, 'c') + "\nnever read\n");
    {
        InventoryFile file(path);
        std::string line;
        ASSERT_TRUE(file.readLine(line));
        EXPECT_THROW(file.readLine(line), std::invalid_argument);
    }
    std::remove(path.c_str());

    EXPECT_FALSE(InventoryFile(path).isOpen());
    EXPECT_FALSE(InventoryFile(testing::TempDir()).isOpen());
}

TEST(InventoryLineSplit, RunsOfTabsAreOneSeparatorEndsGiveEmptyFields)
{
    EXPECT_THAT(InventoryLine::split("a\t\t\tb\tc"),
                ElementsAre("a", "b", "c"));
    EXPECT_THAT(InventoryLine::split("\ta\t"), ElementsAre("", "a", ""));
    EXPECT_THAT(InventoryLine::split("a b\tc\r"), ElementsAre("a b", "c\r"));
    EXPECT_THAT(InventoryLine::split(""), ElementsAre(""));
}

TEST(InventoryLineParse, FieldCountDecidesWhetherALineCounts)
{
    std::string full = lineWith("3b", "0", "0");
    auto twelve = full.substr(0, full.rfind('\t'));
    EXPECT_FALSE(InventoryLine::parse(twelve));

    auto fourteen = InventoryLine::parse(full + "\textra");
    ASSERT_TRUE(fourteen);
    EXPECT_EQ(fourteen->fields.size(), 14U);
    EXPECT_EQ(fourteen->fields[field::cpu], "CPU0");

    // Doubled TABs read as single ones: the fields keep their positions.
    std::string doubled = full;
    doubled.replace(doubled.find("\tX710\t"), 6, "\t\tX710\t\t");
    auto parsed = InventoryLine::parse(doubled);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->bus, 0x3b);
    EXPECT_EQ(parsed->fields[field::model], "X710");
}

TEST(InventoryLineParse, NumbersAreReadLikeHexadecimalStoi)
{
    auto line = InventoryLine::parse(lineWith("0x3B", " 1f", "a"));
    ASSERT_TRUE(line);
    EXPECT_EQ(line->bus, 0x3b);
    EXPECT_EQ(line->device, 0x1f);
    EXPECT_EQ(line->port, 10);

    // Parsing stops at the first character that is not a digit.
    line = InventoryLine::parse(lineWith("3bzz", "0", "1x"));
    ASSERT_TRUE(line);
    EXPECT_EQ(line->bus, 0x3b);
    EXPECT_EQ(line->port, 1);
    EXPECT_EQ(line->fields[field::port], "1x");

    // A negative port is a number; its names are refused later.
    line = InventoryLine::parse(lineWith("0", "0", "-1"));
    ASSERT_TRUE(line);
    EXPECT_EQ(line->port, -1);

    EXPECT_EQ(parseHex("7fffffff", "port"), 0x7fffffff);
    EXPECT_EQ(parseHex("-80000000", "port"), -0x7fffffff - 1);
}

TEST(InventoryLineParse, BadNumbersThrowWithTheFieldNamed)
{
    EXPECT_THAT(failureOf<std::invalid_argument>(lineWith("zz", "0", "0")),
                HasSubstr("bus field \"zz\" is not a hexadecimal number"));
    EXPECT_THAT(failureOf<std::invalid_argument>(lineWith("0", "x", "0")),
                HasSubstr("device field \"x\""));
    EXPECT_THAT(failureOf<std::invalid_argument>(lineWith("0", "0", "g")),
                HasSubstr("port field \"g\""));
    EXPECT_THAT(failureOf<std::out_of_range>(lineWith("80000000", "0", "0")),
                HasSubstr("bus field \"80000000\" is out of range"));
    EXPECT_THAT(failureOf<std::out_of_range>(lineWith("0", "0", "100000000")),
                HasSubstr("port field"));
    // A negative bus or device would make an invalid object path.
    EXPECT_THAT(failureOf<std::invalid_argument>(lineWith("-1", "0", "0")),
                HasSubstr("bus field \"-1\" is negative"));
    EXPECT_THAT(failureOf<std::invalid_argument>(lineWith("0", "-0x2", "0")),
                HasSubstr("device field \"-0x2\" is negative"));
}

TEST(AdapterProperties, PathAndPortDerivedValues)
{
    EXPECT_EQ(adapterPath(0x3b, 0),
              "/xyz/openbmc_project/NetworkAdapter/enp59s0");
    EXPECT_EQ(adapterPath(0, 31),
              "/xyz/openbmc_project/NetworkAdapter/enp0s31");

    EXPECT_EQ(portCount(0), "1");
    EXPECT_EQ(portCount(10), "11");
    EXPECT_EQ(portCount(-1), "0");
    EXPECT_EQ(portCount(0x7fffffff), "2147483648");

    EXPECT_EQ(deviceType(0), "SingleFunction");
    EXPECT_EQ(deviceType(-5), "SingleFunction");
    EXPECT_EQ(deviceType(1), "MultiFunction");
}

TEST(AdapterProperties, OnlyNamesDbusAcceptsArePublishable)
{
    EXPECT_TRUE(isPublishableName("MACAddress1"));
    EXPECT_TRUE(isPublishableName("LinkStatusa"));
    EXPECT_TRUE(isPublishableName("Function0Sub_Id"));
    EXPECT_FALSE(isPublishableName("MACAddress-1"));
    EXPECT_FALSE(isPublishableName("LinkStatus 1"));
    EXPECT_FALSE(isPublishableName("LinkStatus\xC3\xA9"));
    EXPECT_FALSE(isPublishableName(""));
    EXPECT_FALSE(isPublishableName("1Port"));
    EXPECT_TRUE(isPublishableName("MACAddress" + std::string(245, '0')));
    EXPECT_FALSE(isPublishableName("MACAddress" + std::string(246, '0')));
}

TEST(AdapterProperties, Utf8RepairKeepsValidTextAndReplacesBadBytes)
{
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(repairUtf8("Intel X710\r"), "Intel X710\r");
    EXPECT_EQ(repairUtf8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
              "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(repairUtf8(fffd), fffd);

    EXPECT_EQ(repairUtf8("a\xFF"
                         "b"),
              "a" + fffd + "b");
    // A cut sequence: each byte on its own.
    EXPECT_EQ(repairUtf8("\xE2\x82"), fffd + fffd);
    EXPECT_EQ(repairUtf8("\xE2\x82x"), fffd + fffd + "x");
    // Overlong form, surrogate, past U+10FFFF.
    EXPECT_EQ(repairUtf8("\xC0\xAF"), fffd + fffd);
    EXPECT_EQ(repairUtf8("\xED\xA0\x80"), fffd + fffd + fffd);
    EXPECT_EQ(repairUtf8("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);
    // Noncharacters, which sd-bus refuses in a string: one each.
    EXPECT_EQ(repairUtf8("\xEF\xBF\xBF-\xEF\xB7\x90"), fffd + "-" + fffd);
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
