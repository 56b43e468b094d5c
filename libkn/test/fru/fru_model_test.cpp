// The FRU model and its fru.ini file, in a private working folder.
#include "libkn/fru.h"

#include "fru_folder.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using kntest::readText;
using kntest::writeText;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Lines of the default fru.ini, 0-based.
constexpr size_t lineChassisType = 1;
constexpr size_t lineBoardTime = 5;
constexpr size_t lineBoardManufacturer = 6;
constexpr size_t lineBoardSerial = 8;
constexpr size_t lineBoardFileId = 10;
constexpr size_t lineProduct = 17;
constexpr size_t lineProductSerial = 22;

const char* const expectedIni = "[ChassisInfoArea]\n"
                                "Type = \"2\"\n"
                                "PartNum = \"N/A\"\n"
                                "SerialNum = \"N/A\"\n"
                                "[BoardInfoArea]\n"
                                "time = \"2019/07/27 15:04:00\"\n"
                                "Manufacturer = \"Kestrelon\"\n"
                                "ProductName = \"Compute Node\"\n"
                                "SerialNum = \"N/A\"\n"
                                "PartNum = \"N/A\"\n"
                                "FRUFileID = \n"
                                "CustomDataString = \"N/A\"\n"
                                "CustomDataString1 = \"N/A\"\n"
                                "CustomDataString2 = \"N/A\"\n"
                                "CustomDataString3 = \"N/A\"\n"
                                "CustomDataString4 = \"N/A\"\n"
                                "CustomDataString5 = \"N/A\"\n"
                                "[ProductInfoArea]\n"
                                "Manufacturer = \"Kestrelon\"\n"
                                "ProductName = \"Compute Node\"\n"
                                "PartNum = "
                                "\"00000000-0000-0000-0000-000000000000\"\n"
                                "Version = \"N/A\"\n"
                                "SerialNum = \"000011112222\"\n"
                                "AssetTag = \"N/A\"\n"
                                "FRUFileID = \n"
                                "CustomDataString = \"N/A\"\n"
                                "CustomDataString1 = \"N/A\"\n"
                                "CustomDataString2 = \"N/A\"\n"
                                "CustomDataString3 = \"N/A\"\n"
                                "CustomDataString4 = \"N/A\"\n";

// Minutes from 1996-01-01 00:00 UTC to the given UTC moment.
long long minutesSince1996(int year, int month, int day, int hour, int minute)
{
    std::tm start{};
    start.tm_year = 96;
    start.tm_mday = 1;
    std::tm moment{};
    moment.tm_year = year - 1900;
    moment.tm_mon = month - 1;
    moment.tm_mday = day;
    moment.tm_hour = hour;
    moment.tm_min = minute;
    return (timegm(&moment) - timegm(&start)) / 60;
}

uint32_t timeOf(std::string text)
{
    return get_time(text.data());
}

class FruModel : public kntest::FruFolder
{
  protected:
    static std::vector<std::string> defaultLines()
    {
        std::vector<std::string> lines;
        for (const auto& row : default_ini)
        {
            lines.emplace_back(row);
        }
        return lines;
    }

    static void writeIni(const std::vector<std::string>& lines)
    {
        std::string text;
        for (const auto& line : lines)
        {
            text += line + "\n";
        }
        writeText(KN_FRU_INI_PATH, text);
    }

    // fru_read_ini on a fresh model; its result and what it printed.
    static int readIni(std::string* printed = nullptr)
    {
        fru_init();
        CaptureStdout();
        int result = fru_read_ini();
        std::fflush(stdout);
        std::string out = GetCapturedStdout();
        if (printed != nullptr)
        {
            *printed = out;
        }
        return result;
    }
};

TEST_F(FruModel, DefaultIniWrittenAndReadBack)
{
    ASSERT_EQ(config_default_ini(default_ini, KN_FRU_INI_LINES, "fru.ini"), 0);
    EXPECT_EQ(readText("fru.ini"), expectedIni);

    std::string printed;
    ASSERT_EQ(readIni(&printed), 0);
    EXPECT_EQ(printed, "chassis0 2 \nchassis1 N/A \nchassis2 N/A \n");
    EXPECT_STREQ(board_param[1].value, "Kestrelon");
    EXPECT_STREQ(product_param[4].value, "000011112222");

    EXPECT_EQ(fru.chassis.type, 2);
    EXPECT_EQ(text(fru.chassis.part_number), "N/A");
    EXPECT_EQ(text(fru.chassis.serial_number), "N/A");
    EXPECT_EQ(text(fru.board.manufacturer), "Kestrelon");
    EXPECT_EQ(text(fru.board.product_name), "Compute Node");
    EXPECT_EQ(text(fru.product.part_number),
              "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(text(fru.product.serial_number), "000011112222");
    // "FRUFileID = " holds no quoted text: an empty field.
    EXPECT_EQ(fru.board.file_id.type_length, 0xC0);
    EXPECT_EQ(fru.product.file_id.type_length, 0xC0);

    // Board custom fields 0 to 5 and product 0 to 4 come from the ini; the
    // slots no key feeds, and every chassis slot, stay absent.
    for (int i = 0; i < KN_FRU_CUSTOM_COUNT; ++i)
    {
        EXPECT_EQ(fru.chassis.custom_type_length[i], 0) << i;
        EXPECT_EQ(
            text(fru.board.custom_type_length[i], fru.board.custom_data[i]),
            i < 6 ? "N/A" : "absent")
            << i;
        EXPECT_EQ(
            text(fru.product.custom_type_length[i], fru.product.custom_data[i]),
            i < 5 ? "N/A" : "absent")
            << i;
    }

    const auto minutes =
        static_cast<uint32_t>(minutesSince1996(2019, 7, 27, 15, 4));
    EXPECT_EQ(minutes, 12396424u);
    const uint8_t* time = fru.board.manufacturing_time;
    EXPECT_EQ(time[0] | time[1] << 8 | time[2] << 16, minutes);

    EXPECT_EQ(config_default_ini(nullptr, 1, "fru.ini"), -1);
    EXPECT_EQ(config_default_ini(default_ini, 1, nullptr), -1);
    CaptureStdout();
    EXPECT_EQ(config_default_ini(default_ini, 1, "no/such/folder/fru.ini"),
              -ENOENT);
    std::fflush(stdout);
    EXPECT_EQ(GetCapturedStdout(), "have   no   such   file ");
}

TEST_F(FruModel, RequiredAndOptionalKeys)
{
    // A key is looked up from its section to the end of the file: a board
    // without FRUFileID and custom strings takes the product's lines.
    auto lines = defaultLines();
    lines[lineProduct + 8] = "CustomDataString = \"from product\"";
    lines.erase(lines.begin() + lineBoardFileId, lines.begin() + lineProduct);
    writeIni(lines);
    ASSERT_EQ(readIni(), 0);
    EXPECT_EQ(fru.board.file_id.type_length, 0xC0);
    EXPECT_EQ(text(fru.board.custom_type_length[0], fru.board.custom_data[0]),
              "from product");
    EXPECT_EQ(text(fru.board.custom_type_length[1], fru.board.custom_data[1]),
              "N/A");

    // Without the product section, a board without Manufacturer fails.
    lines = defaultLines();
    lines.resize(lineProduct);
    lines.erase(lines.begin() + lineBoardManufacturer);
    writeIni(lines);
    std::string printed;
    EXPECT_EQ(readIni(&printed), -ESRCH);
    EXPECT_EQ(printed, "chassis0 2 \nchassis1 N/A \nchassis2 N/A \n"
                       "在fru.ini文件BoardInfoArea中无法找到关键字段"
                       "Manufacturer\n");

    // The chassis message has no line end; a missing file misses "Type".
    lines = defaultLines();
    lines.erase(lines.begin() + lineChassisType);
    writeIni(lines);
    EXPECT_EQ(readIni(&printed), -ESRCH);
    EXPECT_EQ(printed, "在fru.ini文件ChassisInfoArea中无法找到关键字段Type");
    std::filesystem::remove(KN_FRU_INI_PATH);
    EXPECT_EQ(readIni(&printed), -ESRCH);
    EXPECT_EQ(printed, "have   no   such   file 在fru.ini文件ChassisInfoArea"
                       "中无法找到关键字段Type");
}

TEST_F(FruModel, QuotedValues)
{
    char both[] = "x = \"value\" tail \"more\"";
    EXPECT_STREQ(fru_get_str(both), "value");
    char one[] = "x = \"open";
    EXPECT_EQ(fru_get_str(one), nullptr);
    EXPECT_EQ(fru_get_str(nullptr), nullptr);

    // A "#" starts a comment even inside the quotes, which then do not
    // close: the value is empty.
    auto lines = defaultLines();
    lines[lineBoardSerial] = "SerialNum = \"ab#cd\"";
    lines[lineProductSerial] = "SerialNum = 12345";
    writeIni(lines);
    ASSERT_EQ(readIni(), 0);
    EXPECT_EQ(fru.board.serial_number.type_length, 0xC0);
    EXPECT_EQ(fru.product.serial_number.type_length, 0xC0);
}

TEST_F(FruModel, BoardTime)
{
    EXPECT_EQ(timeOf("2019/07/27 15:04:00"), 12396424u);
    EXPECT_EQ(timeOf("2019/07/27 15:04"), 12396424u);
    EXPECT_EQ(timeOf("1996/01/01 00:01"), 1u);
    EXPECT_EQ(timeOf("2019/07/27"), 0u);
    EXPECT_EQ(timeOf("1996/01/01 00:00"), 0u);
    EXPECT_EQ(timeOf("1995/12/31 23:59"), 0u);
    EXPECT_EQ(get_time(nullptr), 0u);
    // Out-of-range parts are normalised: month 13 is January of next year.
    EXPECT_EQ(timeOf("1996/13/01 00:00"),
              static_cast<uint32_t>(minutesSince1996(1997, 1, 1, 0, 0)));

    // Both moments are taken without daylight saving, so a zone that has
    // it in July counts the same minutes.
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    EXPECT_EQ(timeOf("2019/07/27 15:04"), 12396424u);
    ::setenv("TZ", "UTC0", 1);
    ::tzset();

    // The last minute that three bytes hold, and the next one.
    std::time_t last = 820454400 + std::time_t{0xFFFFFF} * 60;
    std::tm moment{};
    gmtime_r(&last, &moment);
    char lastText[32];
    std::strftime(lastText, sizeof(lastText), "%Y/%m/%d %H:%M", &moment);
    EXPECT_EQ(timeOf(lastText), 0xFFFFFFu);
    last += 60;
    gmtime_r(&last, &moment);
    char nextText[32];
    std::strftime(nextText, sizeof(nextText), "%Y/%m/%d %H:%M", &moment);

    for (const std::string& time :
         {std::string("2019/07/27"), std::string("1996/01/01 00:00"),
          std::string("1995/06/01 12:00"), std::string(nextText)})
    {
        auto lines = defaultLines();
        lines[lineBoardTime] = "time = \"" + time + "\"";
        writeIni(lines);
        EXPECT_EQ(readIni(), -EINTR) << time;
    }
    auto lines = defaultLines();
    lines[lineBoardTime] = std::string("time = \"") + lastText + "\"";
    writeIni(lines);
    EXPECT_EQ(readIni(), 0) << lastText;
    EXPECT_EQ(fru.board.manufacturing_time[2], 0xFF);
}

TEST(FruParam, IdsBySectionAndKey)
{
    EXPECT_EQ(fru_get_param_id("ProductInfoArea", "serialnum"), 19);
    EXPECT_EQ(fru_get_param_id("PRODUCTINFOAREA", "SerialNum"), 19);
    EXPECT_EQ(fru_get_param_id("ChassisInfoArea", "Type"), 0);
    EXPECT_EQ(fru_get_param_id("BoardInfoArea", "SerialNum"), 6);
    EXPECT_EQ(fru_get_param_id("BoardInfoArea", "time"), 3);
    // Names are compared over the table's length: only the first custom
    // field of an area is reached by name.
    EXPECT_EQ(fru_get_param_id("BoardInfoArea", "CustomDataString3"), 9);
    EXPECT_EQ(fru_get_param_id("ProductInfoArea", "CustomDataString"), 22);
    EXPECT_EQ(fru_get_param_id("ProductInfoArea", "Serial"), -EFAULT);
    EXPECT_EQ(fru_get_param_id("ProductInfoArea", "Nothing"), -EFAULT);
    EXPECT_EQ(fru_get_param_id("OtherArea", "SerialNum"), -EFAULT);
    EXPECT_EQ(fru_get_param_id(nullptr, "SerialNum"), -EFAULT);
    for (int id = 0; id < KN_FRU_PARAMS; ++id)
    {
        EXPECT_EQ(fru_param[id].id, static_cast<uint32_t>(id));
    }
}

TEST_F(FruModel, LongValuesAreCutAt63Characters)
{
    const std::string long64(64, 'a');
    const std::string long100(100, 'b');
    auto lines = defaultLines();
    lines[lineBoardSerial] = "SerialNum = \"" + long64 + "\"";
    lines[lineProductSerial] = "SerialNum = \"" + long100 + "\"";
    writeIni(lines);
    ASSERT_EQ(readIni(), 0);
    EXPECT_EQ(fru.board.serial_number.type_length, 0xFF);
    EXPECT_EQ(text(fru.board.serial_number), long64.substr(0, 63));
    EXPECT_EQ(fru.product.serial_number.type_length, 0xFF);
    EXPECT_EQ(text(fru.product.serial_number), long100.substr(0, 63));
    EXPECT_EQ(get_fru_date(), 0);

    fru_init();
    EXPECT_EQ(modify_section(long100.c_str(), 1), 0);
    EXPECT_EQ(fru.chassis.part_number.type_length, 0xFF);
    EXPECT_EQ(fru.chassis.part_number.data[63], '\0');
    EXPECT_EQ(modify_section(long64.c_str(), 26), 0);
    EXPECT_EQ(fru.product.custom_type_length[4], 0xFF);
}

TEST_F(FruModel, ModifyOneField)
{
    EXPECT_EQ(modify_section("long serial", 19), 0);
    EXPECT_EQ(modify_section("abc", 19), 0);
    // The type/length counts the new value; the old tail stays behind it.
    EXPECT_EQ(text(fru.product.serial_number), "abc");
    EXPECT_EQ(std::string(fru.product.serial_number.data, 11), "abcg serial");
    EXPECT_EQ(modify_section("23", 0), 0);
    EXPECT_EQ(fru.chassis.type, 23);
    EXPECT_EQ(modify_section("x", 14), 0);
    EXPECT_EQ(text(fru.board.custom_type_length[5], fru.board.custom_data[5]),
              "x");

    fru_info before = fru;
    EXPECT_EQ(modify_section("2020/01/01 00:00", 3), 0);
    EXPECT_EQ(modify_section("x", 27), 0);
    EXPECT_EQ(modify_section("x", -1), 0);
    EXPECT_EQ(modify_section(nullptr, 19), -1);
    EXPECT_EQ(std::memcmp(&before, &fru, sizeof(fru)), 0);
}

TEST(FruHelp, UsageText)
{
    CaptureStdout();
    EXPECT_EQ(help(), 0);
    std::fflush(stdout);
    std::string out = GetCapturedStdout();
    std::vector<std::string> lines;
    for (size_t start = 0, end;
         (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    {
        lines.push_back(out.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 19u);
    EXPECT_EQ(lines[0], " fru V3.1 Version(2021-07-08)");
    EXPECT_EQ(lines[6], " example:./fru 192.0.2.10 root 4arkTiv 1  -w fru.ini");
    EXPECT_EQ(lines[13], "\tkey :title vlaue child option ");
    EXPECT_EQ(lines[18], " example: ./fru 192.0.2.10 root 4arkTiv 0  -w "
                         "ProductInfoArea SerialNum  sn000xxxxxxx");
}

} // namespace
