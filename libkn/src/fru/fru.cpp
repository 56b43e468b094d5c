// The FRU description of the board and its fru.ini file.
#include "libkn/fru.h"

#include "libkn/conf.h"

#include "core/file_io.hpp"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

fru_info fru;
fru_slot fru_buff[KN_FRU_SLOT_COUNT];
uint8_t bmc_fru_date[KN_FRU_IMAGE_BUFFER_SIZE];
uint32_t bmc_fru_len;
uint32_t deviceid;
char ip[20];
char user[20];
char passwd[20];

#define CHASSIS_SECTION "ChassisInfoArea"
#define BOARD_SECTION "BoardInfoArea"
#define PRODUCT_SECTION "ProductInfoArea"

fru_param_entry chassis_param[KN_FRU_CHASSIS_PARAMS] = {
    {0, CHASSIS_SECTION, "Type", ""},
    {1, CHASSIS_SECTION, "PartNum", ""},
    {2, CHASSIS_SECTION, "SerialNum", ""},
};

fru_param_entry board_param[KN_FRU_BOARD_PARAMS] = {
    {0, BOARD_SECTION, "time", ""},
    {1, BOARD_SECTION, "Manufacturer", ""},
    {2, BOARD_SECTION, "ProductName", ""},
    {3, BOARD_SECTION, "SerialNum", ""},
    {4, BOARD_SECTION, "PartNum", ""},
    {5, BOARD_SECTION, "FRUFileID", ""},
    {6, BOARD_SECTION, "CustomDataString", ""},
    {7, BOARD_SECTION, "CustomDataString1", ""},
    {8, BOARD_SECTION, "CustomDataString2", ""},
    {9, BOARD_SECTION, "CustomDataString3", ""},
    {10, BOARD_SECTION, "CustomDataString4", ""},
    {11, BOARD_SECTION, "CustomDataString5", ""},
};

fru_param_entry product_param[KN_FRU_PRODUCT_PARAMS] = {
    {0, PRODUCT_SECTION, "Manufacturer", ""},
    {1, PRODUCT_SECTION, "ProductName", ""},
    {2, PRODUCT_SECTION, "PartNum", ""},
    {3, PRODUCT_SECTION, "Version", ""},
    {4, PRODUCT_SECTION, "SerialNum", ""},
    {5, PRODUCT_SECTION, "AssetTag", ""},
    {6, PRODUCT_SECTION, "FRUFileID", ""},
    {7, PRODUCT_SECTION, "CustomDataString", ""},
    {8, PRODUCT_SECTION, "CustomDataString1", ""},
    {9, PRODUCT_SECTION, "CustomDataString2", ""},
    {10, PRODUCT_SECTION, "CustomDataString3", ""},
    {11, PRODUCT_SECTION, "CustomDataString4", ""},
};

fru_param_entry fru_param[KN_FRU_PARAMS] = {
    {0, CHASSIS_SECTION, "Type", ""},
    {1, CHASSIS_SECTION, "PartNum", ""},
    {2, CHASSIS_SECTION, "SerialNum", ""},
    {3, BOARD_SECTION, "time", ""},
    {4, BOARD_SECTION, "Manufacturer", ""},
    {5, BOARD_SECTION, "ProductName", ""},
    {6, BOARD_SECTION, "SerialNum", ""},
    {7, BOARD_SECTION, "PartNum", ""},
    {8, BOARD_SECTION, "FRUFileID", ""},
    {9, BOARD_SECTION, "CustomDataString", ""},
    {10, BOARD_SECTION, "CustomDataString1", ""},
    {11, BOARD_SECTION, "CustomDataString2", ""},
    {12, BOARD_SECTION, "CustomDataString3", ""},
    {13, BOARD_SECTION, "CustomDataString4", ""},
    {14, BOARD_SECTION, "CustomDataString5", ""},
    {15, PRODUCT_SECTION, "Manufacturer", ""},
    {16, PRODUCT_SECTION, "ProductName", ""},
    {17, PRODUCT_SECTION, "PartNum", ""},
    {18, PRODUCT_SECTION, "Version", ""},
    {19, PRODUCT_SECTION, "SerialNum", ""},
    {20, PRODUCT_SECTION, "AssetTag", ""},
    {21, PRODUCT_SECTION, "FRUFileID", ""},
    {22, PRODUCT_SECTION, "CustomDataString", ""},
    {23, PRODUCT_SECTION, "CustomDataString1", ""},
    {24, PRODUCT_SECTION, "CustomDataString2", ""},
    {25, PRODUCT_SECTION, "CustomDataString3", ""},
    {26, PRODUCT_SECTION, "CustomDataString4", ""},
};

#define DEFAULT_PRODUCT_NAME "Compute Node"

// A line built from a name above is in parentheses: one string, on purpose.
char default_ini[KN_FRU_INI_LINES][KN_FRU_INI_LINE_SIZE] = {
    ("[" CHASSIS_SECTION "]"),
    "Type = \"2\"",
    "PartNum = \"N/A\"",
    "SerialNum = \"N/A\"",
    ("[" BOARD_SECTION "]"),
    "time = \"2019/07/27 15:04:00\"",
    "Manufacturer = \"Kestrelon\"",
    ("ProductName = \"" DEFAULT_PRODUCT_NAME "\""),
    "SerialNum = \"N/A\"",
    "PartNum = \"N/A\"",
    "FRUFileID = ",
    "CustomDataString = \"N/A\"",
    "CustomDataString1 = \"N/A\"",
    "CustomDataString2 = \"N/A\"",
    "CustomDataString3 = \"N/A\"",
    "CustomDataString4 = \"N/A\"",
    "CustomDataString5 = \"N/A\"",
    ("[" PRODUCT_SECTION "]"),
    "Manufacturer = \"Kestrelon\"",
    ("ProductName = \"" DEFAULT_PRODUCT_NAME "\""),
    "PartNum = \"00000000-0000-0000-0000-000000000000\"",
    "Version = \"N/A\"",
    "SerialNum = \"000011112222\"",
    "AssetTag = \"N/A\"",
    "FRUFileID = ",
    "CustomDataString = \"N/A\"",
    "CustomDataString1 = \"N/A\"",
    "CustomDataString2 = \"N/A\"",
    "CustomDataString3 = \"N/A\"",
    "CustomDataString4 = \"N/A\"",
};

namespace
{

// The board time is kept in three bytes.
constexpr uint32_t timeMax = 0xFFFFFF;
constexpr int timeParts = 5;
// A part of a time text larger than this is not a date.
constexpr long timePartMax = 100000;

// Ids of fru_param: the board time, and where each area's rows begin.
constexpr int chassisTypeId = 0;
constexpr int boardTimeId = 3;
constexpr int boardFirstId = 3;
constexpr int productFirstId = 15;

struct IniArea
{
    fru_param_entry* rows;
    int count;
    const char* missing; // message for a missing required key
    bool chassis;
};

const IniArea iniAreas[] = {
    {chassis_param, KN_FRU_CHASSIS_PARAMS,
     "在fru.ini文件ChassisInfoArea中无法找到关键字段%s", true},
    {board_param, KN_FRU_BOARD_PARAMS,
     "在fru.ini文件BoardInfoArea中无法找到关键字段%s\n", false},
    {product_param, KN_FRU_PRODUCT_PARAMS,
     "在fru.ini文件ProductInfoArea中无法找到关键字段%s\n", false},
};

bool optionalKey(const IniArea& area, const char* key)
{
    return std::strstr(key, "CustomDataString") != nullptr ||
           (!area.chassis && std::strstr(key, "FRUFileID") != nullptr);
}

// The value of row id of fru_param, as fru_read_ini last read it.
const char* iniValue(int id)
{
    if (id < boardFirstId)
    {
        return chassis_param[id].value;
    }
    if (id < productFirstId)
    {
        return board_param[id - boardFirstId].value;
    }
    return product_param[id - productFirstId].value;
}

// A text field of the model: its type/length byte and its characters.
struct Field
{
    uint8_t* typeLength;
    char* data;
};

Field field(fru_text& text)
{
    return {&text.type_length, text.data};
}

template <typename Area>
Field custom(Area& area, int index)
{
    return {&area.custom_type_length[index], area.custom_data[index]};
}

// The text field that row id of fru_param names; none for the chassis
// type, the board time and ids outside the table.
bool fieldOf(int id, Field& out)
{
    auto& c = fru.chassis;
    auto& b = fru.board;
    auto& p = fru.product;
    switch (id)
    {
        case 1:
            out = field(c.part_number);
            return true;
        case 2:
            out = field(c.serial_number);
            return true;
        case 4:
            out = field(b.manufacturer);
            return true;
        case 5:
            out = field(b.product_name);
            return true;
        case 6:
            out = field(b.serial_number);
            return true;
        case 7:
            out = field(b.part_number);
            return true;
        case 8:
            out = field(b.file_id);
            return true;
        case 15:
            out = field(p.manufacturer);
            return true;
        case 16:
            out = field(p.product_name);
            return true;
        case 17:
            out = field(p.part_number);
            return true;
        case 18:
            out = field(p.version);
            return true;
        case 19:
            out = field(p.serial_number);
            return true;
        case 20:
            out = field(p.asset_tag);
            return true;
        case 21:
            out = field(p.file_id);
            return true;
        default:
            break;
    }
    if (id >= 9 && id <= 14)
    {
        out = custom(b, id - 9);
        return true;
    }
    if (id >= 22 && id <= 26)
    {
        out = custom(p, id - 22);
        return true;
    }
    return false;
}

// A value cut to what one type/length byte can count.
void setText(const Field& target, const char* value)
{
    size_t length = std::strlen(value);
    if (length > KN_FRU_TEXT_MAX)
    {
        length = KN_FRU_TEXT_MAX;
    }
    *target.typeLength = static_cast<uint8_t>(KN_FRU_TYPE_ASCII + length);
    std::memcpy(target.data, value, length);
}

long timePart(const char* text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value > timePartMax)
    {
        return timePartMax;
    }
    return value < -timePartMax ? -timePartMax : value;
}

// Minutes since the epoch of a local moment, daylight saving off.
bool localMinutes(long year, long month, long day, long hour, long minute,
                  long long& minutes)
{
    std::tm moment{};
    moment.tm_year = static_cast<int>(year - 1900);
    moment.tm_mon = static_cast<int>(month - 1);
    moment.tm_mday = static_cast<int>(day);
    moment.tm_hour = static_cast<int>(hour);
    moment.tm_min = static_cast<int>(minute);
    moment.tm_isdst = 0;
    errno = 0;
    std::time_t seconds = std::mktime(&moment);
    if (seconds == static_cast<std::time_t>(-1) && errno != 0)
    {
        return false;
    }
    minutes = static_cast<long long>(seconds) / 60;
    return true;
}

} // namespace

int fru_init(void)
{
    std::memset(&fru, 0, sizeof(fru));
    std::memset(fru_buff, 0, sizeof(fru_buff));
    std::memset(bmc_fru_date, 0, sizeof(bmc_fru_date));
    bmc_fru_len = 0;

    fru.header.format_version = 1;
    fru.reserved[0] = 1;
    fru.chassis.format_version = 1;
    fru.chassis.type = 2;
    fru.chassis.end_marker = KN_FRU_END_MARKER;
    fru.board.format_version = 1;
    fru.board.manufacturing_time[0] = 0x4A;
    fru.board.manufacturing_time[1] = 0x0E;
    fru.board.manufacturing_time[2] = 0xAA;
    fru.board.end_marker = KN_FRU_END_MARKER;
    fru.product.format_version = 1;
    fru.product.end_marker = KN_FRU_END_MARKER;
    return 0;
}

int fru_read_ini(void)
{
    for (const IniArea& area : iniAreas)
    {
        for (int i = 0; i < area.count; ++i)
        {
            fru_param_entry& row = area.rows[i];
            char* found =
                GetIniKeyString(row.section, row.key, KN_FRU_INI_PATH);
            if (found == nullptr)
            {
                if (!optionalKey(area, row.key))
                {
                    std::printf(area.missing, row.key);
                    std::fflush(stdout);
                    return -ESRCH;
                }
                row.value[0] = '\0';
            }
            else
            {
                const char* value = fru_get_str(found);
                // One character less than the row holds: the most that a
                // type/length byte can count.
                kn::copyText(row.value, KN_FRU_TEXT_MAX + 1,
                             value != nullptr ? value : "");
            }
            if (area.chassis)
            {
                std::printf("chassis%d %s \n", i, row.value);
            }
        }
    }
    std::fflush(stdout);

    for (int id = 0; id < KN_FRU_PARAMS; ++id)
    {
        if (id != boardTimeId)
        {
            modify_section(iniValue(id), id);
        }
    }

    char time[sizeof(board_param[0].value)];
    kn::copyText(time, sizeof(time), board_param[0].value);
    uint32_t minutes = get_time(time);
    if (minutes == 0 || minutes > timeMax)
    {
        return -EINTR;
    }
    fru.board.manufacturing_time[0] = static_cast<uint8_t>(minutes);
    fru.board.manufacturing_time[1] = static_cast<uint8_t>(minutes >> 8);
    fru.board.manufacturing_time[2] = static_cast<uint8_t>(minutes >> 16);
    return 0;
}

char* fru_get_str(char* text)
{
    if (text == nullptr)
    {
        return nullptr;
    }
    char* first = std::strchr(text, '"');
    if (first == nullptr)
    {
        return nullptr;
    }
    char* second = std::strchr(first + 1, '"');
    if (second == nullptr)
    {
        return nullptr;
    }
    *second = '\0';
    return first + 1;
}

uint32_t get_time(char* text)
{
    if (text == nullptr)
    {
        return 0;
    }
    long parts[timeParts] = {};
    int found = 0;
    char* state = nullptr;
    for (char* part = strtok_r(text, "/: ", &state);
         part != nullptr && found < timeParts;
         part = strtok_r(nullptr, "/: ", &state))
    {
        parts[found++] = timePart(part);
    }
    if (found < timeParts)
    {
        return 0;
    }
    long long start = 0;
    long long moment = 0;
    if (!localMinutes(1996, 1, 1, 0, 0, start) ||
        !localMinutes(parts[0], parts[1], parts[2], parts[3], parts[4],
                      moment) ||
        moment <= start || moment - start > UINT32_MAX)
    {
        return 0;
    }
    return static_cast<uint32_t>(moment - start);
}

int config_default_ini(const void* lines, int count, const char* path)
{
    if (lines == nullptr || path == nullptr || count < 0)
    {
        return -1;
    }
    FILE* file = std::fopen(path, "we");
    if (file == nullptr)
    {
        std::printf("have   no   such   file ");
        std::fflush(stdout);
        return -ENOENT;
    }
    const auto* rows = static_cast<const char*>(lines);
    bool ok = true;
    for (int i = 0; i < count; ++i)
    {
        const char* row = rows + static_cast<size_t>(i) * KN_FRU_INI_LINE_SIZE;
        size_t length = strnlen(row, KN_FRU_INI_LINE_SIZE);
        ok = ok && std::fwrite(row, 1, length, file) == length;
        if (std::memchr(row, '\n', length) == nullptr)
        {
            ok = ok && std::fputc('\n', file) != EOF;
        }
    }
    ok = std::fclose(file) == 0 && ok;
    return ok ? 0 : -1;
}

int fru_get_param_id(const char* section, const char* key)
{
    if (section == nullptr || key == nullptr)
    {
        return -EFAULT;
    }
    for (const fru_param_entry& row : fru_param)
    {
        if (strncasecmp(row.section, section, std::strlen(row.section)) == 0 &&
            strncasecmp(row.key, key, std::strlen(row.key)) == 0)
        {
            return static_cast<int>(row.id);
        }
    }
    return -EFAULT;
}

int modify_section(const char* value, int id)
{
    if (value == nullptr)
    {
        return -1;
    }
    if (id == chassisTypeId)
    {
        fru.chassis.type = static_cast<uint8_t>(std::atoi(value));
        return 0;
    }
    Field target{};
    if (fieldOf(id, target))
    {
        setText(target, value);
    }
    return 0;
}

int help(void)
{
    static const char* const lines[] = {
        " fru V3.1 Version(2021-07-08)",
        " fru help:",
        " -c\tCreate new default fru.ini configuare file",
        " -b Create bin file form fru.ini",
        "  IP user passwd FruID -w   fru.ini\twrite fru.ini config file to "
        "fru flash",
        "\t IP: bmc IP address",
        " example:./fru 192.0.2.10 root 4arkTiv 1  -w fru.ini",
        " IP user passwd FruID -w  \ttitle  key  value",
        "\tIP: bmc IP address",
        "\tuser: bmc user",
        "    passwd: bmc password",
        "    FruID: bmc fru Device ID",
        " \ttitle :ChassisInfoArea BoardInfoArea ProductInfoArea",
        "\tkey :title vlaue child option ",
        "\t\tChassisInfoArea:Type SerialNum PartNum",
        "\t\tBoardInfoArea:Manufacturer ProductName SerialNum PartNum "
        "CustomDataString",
        "\t\tProductInfoArea: Manufacturer ProductName SerialNum PartNum "
        "Version AssetTag",
        "\tvalue:the string you write to fru",
        " example: ./fru 192.0.2.10 root 4arkTiv 0  -w ProductInfoArea "
        "SerialNum  sn000xxxxxxx",
    };
    for (const char* line : lines)
    {
        std::printf("%s\n", line);
    }
    std::fflush(stdout);
    return 0;
}
