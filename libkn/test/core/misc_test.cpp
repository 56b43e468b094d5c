// CRC, string, split, table and time-text helpers: no files, no processes.
#include "libkn/misc.h"

#include "../../src/core/byte_order.hpp"

#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

const uint8_t* bytes(const char* text)
{
    return reinterpret_cast<const uint8_t*>(text);
}

// An exactly sized heap buffer, so that AddressSanitizer sees any write
// past its end.
std::unique_ptr<char[]> heapBuffer(size_t size, char fill = '#')
{
    std::unique_ptr<char[]> buffer(new char[size]);
    std::memset(buffer.get(), fill, size);
    return buffer;
}

TEST(Crc16, CheckValues)
{
    EXPECT_EQ(calc_crc16(bytes("123456789"), 9), 0x31C3);
    EXPECT_EQ(calc_crc16(bytes("abc"), 3), 0x9DD6);
    EXPECT_EQ(calc_crc16(bytes(""), 0), 0);
    EXPECT_EQ(calc_crc16(nullptr, 5), 0);
}

TEST(Crc16, ByteStepMatchesBitwiseComputation)
{
    for (unsigned start : {0x0000u, 0xFFFFu, 0x1D0Fu, 0x8000u})
    {
        for (unsigned byte = 0; byte < 256; ++byte)
        {
            unsigned crc = start ^ (byte << 8);
            for (int bit = 0; bit < 8; ++bit)
            {
                crc = (crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1;
            }
            ASSERT_EQ(CalculateCrc16Base(static_cast<uint16_t>(start),
                                         static_cast<uint8_t>(byte)),
                      crc & 0xFFFF)
                << start << " " << byte;
        }
    }
}

TEST(Crc16, HeaderLeavesOutBytes36To39)
{
    std::vector<uint8_t> header(64);
    for (size_t i = 0; i < header.size(); ++i)
    {
        header[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    uint16_t crc = CalculateHeaderCrc16(0, header.data(), header.size());
    std::vector<uint8_t> expectedInput(header.begin(), header.begin() + 36);
    expectedInput.insert(expectedInput.end(), header.begin() + 40,
                         header.end());
    EXPECT_EQ(crc, calc_crc16(expectedInput.data(),
                              static_cast<uint32_t>(expectedInput.size())));

    for (size_t i = 36; i <= 39; ++i)
    {
        header[i] ^= 0xFF;
    }
    EXPECT_EQ(CalculateHeaderCrc16(0, header.data(), 64), crc);
    header[35] ^= 0xFF;
    EXPECT_NE(CalculateHeaderCrc16(0, header.data(), 64), crc);
}

TEST(Crc16, HeaderOfAnotherLengthGivesTheStartValue)
{
    std::vector<uint8_t> header(65, 0x55);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CalculateHeaderCrc16(0x1234, header.data(), 63), 0x1234);
    EXPECT_EQ(CalculateHeaderCrc16(0x1234, header.data(), 65), 0x1234);
    EXPECT_EQ(CalculateHeaderCrc16(0x1234, nullptr, 64), 0x1234);
    std::fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "Input parameter is invalid !!!"),
              std::string::npos);
}

TEST(Strings, Reverse)
{
    char text[] = "abcde";
    EXPECT_STREQ(strrev(text), "edcba");
    char even[] = "ab";
    EXPECT_STREQ(strrev(even), "ba");
    char empty[] = "";
    EXPECT_STREQ(strrev(empty), "");
    EXPECT_EQ(strrev(nullptr), nullptr);
}

TEST(Strings, DeleteStringBlankMovesTextToTheStart)
{
    char text[] = "   a b  ";
    EXPECT_EQ(delete_string_blank(text), 0);
    EXPECT_STREQ(text, "a b");
    char blanks[] = "   ";
    EXPECT_EQ(delete_string_blank(blanks), 0);
    EXPECT_STREQ(blanks, "   ");
    char tabs[] = "\tx\t";
    delete_string_blank(tabs);
    EXPECT_STREQ(tabs, "\tx\t");
    EXPECT_EQ(delete_string_blank(nullptr), -1);
}

TEST(Strings, TrimmingHelpers)
{
    char spaced[] = "  ab  ";
    EXPECT_STREQ(rtspace(spaced), "ab");

    char text[] = " \t\r\nvalue \n";
    EXPECT_STREQ(skip_leading_chars(text, nullptr), "value \n");
    char dashes[] = "--x--";
    EXPECT_STREQ(skip_leading_chars(dashes, "-"), "x--");
    EXPECT_STREQ(delete_trailing_chars(dashes, "-"), "--x");
    char blanks[] = " \t \n";
    EXPECT_STREQ(delete_trailing_chars(blanks, nullptr), "");
    char strip[] = "\n\t key = v \r\n";
    EXPECT_STREQ(string_strip(strip), "key = v");
    EXPECT_EQ(skip_leading_chars(nullptr, nullptr), nullptr);
    EXPECT_EQ(delete_trailing_chars(nullptr, nullptr), nullptr);
    EXPECT_EQ(string_strip(nullptr), nullptr);

    EXPECT_EQ(is_empty(nullptr), 1);
    EXPECT_EQ(is_empty(""), 1);
    EXPECT_EQ(is_empty("  "), 0);
}

TEST(Split, PiecesBetweenSeparators)
{
    std::vector<std::string> pieces{"stale"};
    split(pieces, "a,b", ',');
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", "b"}));
    split(pieces, "a,,b", ',');
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", "", "b"}));
    split(pieces, "a,b,", ',');
    EXPECT_EQ(pieces, (std::vector<std::string>{"a", "b", ""}));
    split(pieces, ",a", ',');
    EXPECT_EQ(pieces, (std::vector<std::string>{"", "a"}));
    split(pieces, ",", ',');
    EXPECT_EQ(pieces, (std::vector<std::string>{"", ""}));
    split(pieces, "abc", ',');
    EXPECT_EQ(pieces, (std::vector<std::string>{"abc"}));
    split(pieces, "", ',');
    EXPECT_TRUE(pieces.empty());
}

TEST(CodeTables, BothDirections)
{
    const kn_code_string table[] = {
        {1, "one"}, {2, "two"}, {2, "deux"}, {3, nullptr}, {4, "one"}};
    EXPECT_EQ(string_to_int(table, 5, "one"), 1);
    EXPECT_EQ(string_to_int(table, 5, "deux"), 2);
    EXPECT_EQ(string_to_int(table, 5, "three"), -1);
    EXPECT_EQ(string_to_int(table, 1, "two"), -1);
    EXPECT_EQ(string_to_int(nullptr, 5, "one"), -1);
    EXPECT_EQ(string_to_int(table, 5, nullptr), -1);

    EXPECT_STREQ(int_to_string(table, 5, 2), "two");
    EXPECT_STREQ(int_to_string(table, 5, 3), "");
    EXPECT_STREQ(int_to_string(table, 5, 9), "");
    EXPECT_STREQ(int_to_string(nullptr, 5, 1), "");
}

TEST(BubbleSort, Ascending)
{
    int32_t values[] = {5, -3, 9, 0, -3, INT32_MAX, INT32_MIN};
    EXPECT_EQ(bubble_sort(values, 7), values);
    EXPECT_EQ(std::vector<int32_t>(values, values + 7),
              (std::vector<int32_t>{INT32_MIN, -3, -3, 0, 5, 9, INT32_MAX}));
    int32_t one[] = {4};
    bubble_sort(one, 1);
    EXPECT_EQ(one[0], 4);
    bubble_sort(one, 0);
    bubble_sort(one, -2);
    EXPECT_EQ(one[0], 4);
}

TEST(DriveVendor, ByModel)
{
    auto output = heapBuffer(KN_HDD_VENDOR_SIZE);
    EXPECT_EQ(get_raid_hdd_manufacturer("SAMSUNG MZ7KH", output.get()), 0);
    EXPECT_STREQ(output.get(), "Samsung");
    EXPECT_EQ(get_raid_hdd_manufacturer("SAMSUNG by INTEL", output.get()), 0);
    EXPECT_STREQ(output.get(), "Intel");
    EXPECT_EQ(get_raid_hdd_manufacturer("st4000nm", output.get()), 0);
    EXPECT_STREQ(output.get(), "Seagate");

    std::strcpy(output.get(), "keep");
    EXPECT_EQ(get_raid_hdd_manufacturer("WDC WD40", output.get()), -1);
    EXPECT_EQ(get_raid_hdd_manufacturer("xST", output.get()), -1);
    EXPECT_STREQ(output.get(), "keep");
    EXPECT_EQ(get_raid_hdd_manufacturer(nullptr, output.get()), -1);
}

TEST(Paths, NameAfterLastSlash)
{
    EXPECT_STREQ(file_name_get("/a/b/c.txt"), "c.txt");
    EXPECT_STREQ(file_name_get("plain"), "plain");
    EXPECT_STREQ(file_name_get("/dir/"), "");
    EXPECT_STREQ(file_name_get(nullptr), "");

    char buffer[64];
    EXPECT_STREQ(file_path_get("/x/y/name", buffer, sizeof(buffer)), "name");
    EXPECT_STREQ(buffer, "/x/y/name");
    EXPECT_STREQ(file_path_get(nullptr, buffer, sizeof(buffer)), "");
}

TEST(Paths, CopyIsCutToTheBuffer)
{
    auto buffer = heapBuffer(5);
    char* name = file_path_get("/ab/cdef", buffer.get(), 5);
    EXPECT_STREQ(buffer.get(), "/ab/");
    EXPECT_STREQ(name, "");
    EXPECT_STREQ(file_path_get("/ab", buffer.get(), 0), "");
    EXPECT_STREQ(file_path_get("/ab", nullptr, 5), "");
}

TEST(TimeTexts, Formats)
{
    auto stamp = heapBuffer(KN_TIMESTAMP_SIZE);
    EXPECT_EQ(get_timestamp_string(stamp.get()), 0);
    EXPECT_TRUE(std::regex_match(
        stamp.get(),
        std::regex(
            R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})")))
        << stamp.get();
    EXPECT_EQ(get_timestamp_string(nullptr), -1);

    auto text = heapBuffer(20);
    EXPECT_EQ(time_string_get(text.get(), 20), text.get());
    EXPECT_TRUE(std::regex_match(
        text.get(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")))
        << text.get();

    auto small = heapBuffer(5);
    time_string_get(small.get(), 5);
    EXPECT_EQ(std::string(small.get()), std::string(text.get(), 4));
    EXPECT_STREQ(time_string_get(nullptr, 20), "");
    EXPECT_STREQ(time_string_get(small.get(), 0), "");
}

TEST(ByteOrder, LittleEndianAtAnyOffset)
{
    uint8_t record[9] = {};
    kn::putLe32(record + 1, 0x11223344);
    kn::putLe16(record + 6, 0xA1B2);
    EXPECT_EQ(record[1], 0x44);
    EXPECT_EQ(record[4], 0x11);
    EXPECT_EQ(record[6], 0xB2);
    EXPECT_EQ(record[7], 0xA1);
    EXPECT_EQ(kn::getLe32(record + 1), 0x11223344u);
    EXPECT_EQ(kn::getLe16(record + 6), 0xA1B2);
}

} // namespace
