// Detection of backplanes, riser, M.2 and IO expansion cards, and the files
// that describe them.
#include "libkn/back-plane-mgt.h"

#include "libkn/cpld-rw-reg.h"
#include "libkn/gpio.h"
#include "libkn/i2c.h"
#include "libkn/log.h"

#include "core/byte_order.hpp"
#include "core/file_io.hpp"
#include "hw/open_bus.hpp"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

char baord_name[KN_BOARD_NAME_ROWS][KN_BOARD_NAME_SIZE] = {
    "UNKNOWN BOARD 0",      "UNKNOWN BOARD 1",   "UNKNOWN BOARD 2",
    "UNKNOWN BOARD 3",      "RISER SLOT TYPE B", "UNKNOWN BOARD 5",
    "UNKNOWN BOARD 6",      "UNKNOWN BOARD 7",   "12P BACKPLANE TYPE A",
    "25P FRONT BACKPLANE",  "8P BACKPLANE",      "12P BACKPLANE TYPE B",
    "RISER SLOT TYPE A",    "UNKNOWN BOARD 13",  "10P BACKPLANE",
    "RISER CARD",           "UNKNOWN BOARD 16",  "UNKNOWN BOARD 17",
    "UNKNOWN BOARD 18",     "UNKNOWN BOARD 19",  "UNKNOWN BOARD 20",
    "UNKNOWN BOARD 21",     "UNKNOWN BOARD 22",  "UNKNOWN BOARD 23",
    "12P BACKPLANE TYPE C", "25P BACKPLANE",     "M.2 CARD",
    "UNKNOWN BOARD 27",     "UNKNOWN BOARD 28",  "UNKNOWN BOARD 29",
    "UNKNOWN BOARD 30",     "2P BACKPLANE",
};

char bpHddLocateName[KN_HDD_LOCATE_ROWS][KN_HDD_LOCATE_SIZE] = {
    "UNKOWN",        "2P BACKPLANE",     "8P BACKPLANE",  "12P BACKPLANE",
    "25P BACKPLANE", "2P 3.5 BACKPLANE", "10P BACKPLANE", "REAR BACKPLANE",
};

uint8_t d2p_right_cfg[2][3] = {{10, 0, 1}, {12, 0, 2}};
uint8_t d8p_right_cfg[8][3] = {{5, 4, 1}, {5, 5, 2}, {5, 6, 3}, {5, 7, 4},
                               {6, 4, 5}, {6, 5, 6}, {6, 6, 7}, {6, 7, 8}};
uint8_t d12p_right_cfg[4][3] = {{5, 4, 1}, {5, 5, 2}, {5, 6, 3}, {5, 7, 4}};

uint8_t m2_bus_config[KN_BUS_CONFIG_ROWS][5] = {{5, 0x21, 0x71, 0x23, 5},
                                                {6, 0x21, 0x71, 0x23, 6},
                                                {10, 0x21, 0, 0x23, 12}};
uint8_t iox_bus_config[KN_BUS_CONFIG_ROWS][5] = {
    {5, 0x21, 0, 0, 5}, {6, 0x21, 0, 0, 6}, {10, 0x21, 0, 0, 10}};
uint8_t riser_bus_config[5] = {6, 0x21, 0x71, 0x23, 1};
int max_config_number = 3;
int iox_config_number = 3;

namespace
{

constexpr const char* sourceUnit = "back-plane-mgt";

// Board CPLD registers of a backplane.
constexpr uint8_t presenceRegister = 25;
constexpr uint8_t mediaRegister = 9;
constexpr uint8_t versionRegister = 8;

// The CPLD that routes the backplanes' side bands, behind bus 13.
constexpr uint8_t routingBus = 13;
constexpr uint8_t routingAddress = 0x3f;
constexpr uint8_t routingRegister = 45;

constexpr int cardChannels = 3;
constexpr uint8_t m2CardId = 26;
constexpr uint8_t riserCardId = 15;
constexpr uint8_t iox2Ext = 3;
constexpr uint8_t iox2Address = 0x3f;
constexpr uint8_t boardIdMask = 0x1F;

constexpr size_t textSize = 2048;
constexpr size_t pathSize = 256;

// Both halves of a bus map file: the count, then the records.
template <size_t RecordSize>
class BusMap
{
  public:
    using Record = std::array<uint8_t, RecordSize>;

    bool add(const Record& record)
    {
        if (records.size() >= KN_BUS_MAP_RECORDS)
        {
            return false;
        }
        records.push_back(record);
        return true;
    }

    // Rewrites the file whole when anything was found.
    void write(const char* path) const
    {
        if (records.empty())
        {
            return;
        }
        std::array<uint8_t, 4 + RecordSize * KN_BUS_MAP_RECORDS> bytes{};
        kn::putLe32(bytes.data(), static_cast<uint32_t>(records.size()));
        for (size_t i = 0; i < records.size(); ++i)
        {
            std::copy(records[i].begin(), records[i].end(),
                      bytes.begin() + 4 + i * RecordSize);
        }
        kn::writeFileBytes(path, O_TRUNC, bytes.data(), bytes.size());
    }

  private:
    std::vector<Record> records;
};

using kn::OpenBus;

void logTransferFailure(unsigned bus, unsigned address, unsigned offset,
                        int line, const char* function)
{
    log_call(KN_LOG_ERROR,
             "i2c rw data failed bus=%u, address=%u offset=%u. %s:%d %s ", bus,
             address, offset, sourceUnit, line, function);
}

bool readRegisters(int fd, uint8_t address, uint8_t offset, uint8_t* bytes,
                   int count)
{
    return i2c_rw_data(fd, address, &offset, 1, bytes, count) >= 0;
}

// A text of at most textSize - 1 characters, built piece by piece; a piece
// that does not fit spoils it.
class Text
{
  public:
    KN_PRINTF(2, 3) void add(const char* format, ...)
    {
        if (!fits)
        {
            return;
        }
        va_list args;
        va_start(args, format);
        int length = std::vsnprintf(buffer.data() + used, buffer.size() - used,
                                    format, args);
        va_end(args);
        if (length < 0 || static_cast<size_t>(length) >= buffer.size() - used)
        {
            fits = false;
            return;
        }
        used += static_cast<size_t>(length);
    }

    bool complete() const
    {
        return fits;
    }
    const char* text() const
    {
        return buffer.data();
    }

  private:
    std::array<char, textSize> buffer{};
    size_t used = 0;
    bool fits = true;
};

// Replaces the file's content with the text: 0, KN_BP_OPEN_FILE_FAILED or
// KN_BP_WRITE_FAILED.
int startFile(const char* path, const char* text)
{
    int written = kn::writeFileBytes(path, O_TRUNC, text, std::strlen(text));
    if (written == -2)
    {
        return KN_BP_OPEN_FILE_FAILED;
    }
    return written < 0 ? KN_BP_WRITE_FAILED : KN_BP_OK;
}

std::string boardName(uint8_t id)
{
    return kn::rowText(baord_name[id % KN_BOARD_NAME_ROWS]);
}

// What sets one backplane apart from the others.
struct Backplane
{
    const char* function;
    const char* filePrefix;
    const char* boardName;
    int slots;
    bool hexAddress;
    // SSD channels written for the backplane at index 0 (none: count 0).
    const uint8_t (*ssd)[3];
    int ssdCount;
    bool ssdNumberLineBreak;
    std::function<bool(uint8_t id)> accepts;
    // CPLD writes made once the board is accepted.
    std::function<void()> routing;
};

bool slotBit(const uint8_t* bytes, int slot)
{
    return (bytes[(slot - 1) / 8] >> ((slot - 1) % 8) & 1) != 0;
}

int detectBackplane(const Backplane& plane, int index, uint8_t bus,
                    uint8_t address, uint8_t offset)
{
    OpenBus device(bus);
    if (!device.isOpen())
    {
        return KN_BP_OPEN_BUS_FAILED;
    }
    uint8_t idByte = 0;
    if (!readRegisters(device.get(), address, offset, &idByte, 1))
    {
        logTransferFailure(bus, address, offset, __LINE__, plane.function);
        return KN_BP_TRANSFER_FAILED;
    }
    if (odd_check(idByte, 8) != 0)
    {
        return KN_BP_PARITY_ERROR;
    }
    uint8_t id = idByte & boardIdMask;
    if (!plane.accepts(id))
    {
        return KN_BP_ID_MISMATCH;
    }
    if (plane.routing)
    {
        plane.routing();
    }

    char path[pathSize];
    char opening[128];
    std::snprintf(path, sizeof(path), "%s%d.json", plane.filePrefix, index);
    std::snprintf(opening, sizeof(opening),
                  "{\"data\":{\n\"Board Name\":\"%s\",\n", plane.boardName);
    if (startFile(path, opening) != KN_BP_OK)
    {
        return KN_BP_WRITE_FAILED;
    }

    Text text;
    text.add("\"CPLD Channel\":\"%d\",\n", bus);
    if (plane.hexAddress)
    {
        text.add("\"CPLD Address\":\"%02x\",\n", address);
    }
    else
    {
        text.add("\"CPLD Address\":\"%d\",\n", address);
    }
    text.add("\"Card Name\":\"%s\",\n", boardName(id).c_str());
    text.add("\"PCB Version\":\"V%c\",\n", 'A' + (idByte >> 5 & 3));

    const int bytes = (plane.slots + 7) / 8;
    uint8_t presence[4] = {};
    if (!readRegisters(device.get(), address, presenceRegister, presence,
                       bytes))
    {
        logTransferFailure(bus, address, presenceRegister, __LINE__,
                           plane.function);
        return KN_BP_TRANSFER_FAILED;
    }
    for (int slot = 1; slot <= plane.slots; ++slot)
    {
        text.add("\"SLOT%d Present\":\"%s\",\n", slot,
                 slotBit(presence, slot) ? "UN-PRESENT" : "PRESENT");
    }
    uint8_t media[4] = {};
    if (!readRegisters(device.get(), address, mediaRegister, media, bytes))
    {
        logTransferFailure(bus, address, mediaRegister, __LINE__,
                           plane.function);
        return KN_BP_TRANSFER_FAILED;
    }
    for (int slot = 1; slot <= plane.slots; ++slot)
    {
        if (!slotBit(presence, slot))
        {
            text.add("\"SLOT%d Media Type\":\"%s\",\n", slot,
                     slotBit(media, slot) ? "NVME" : "SAS/SATA");
        }
    }
    if (index == 0 && plane.ssdCount > 0)
    {
        text.add("\"SSD Number\":\"%d\",", plane.ssdCount);
        if (plane.ssdNumberLineBreak)
        {
            text.add("\n");
        }
        text.add("\"SSD Channel\":[");
        for (int i = 0; i < plane.ssdCount; ++i)
        {
            text.add("%s{\"i2c\":\"%d\",\"ext\":\"%d\",\"slot\":\"slot%d\"}",
                     i > 0 ? ",\n" : "", plane.ssd[i][0], plane.ssd[i][1],
                     plane.ssd[i][2]);
        }
        text.add("],\n");
    }
    uint8_t version = 0;
    if (!readRegisters(device.get(), address, versionRegister, &version, 1))
    {
        logTransferFailure(bus, address, versionRegister, __LINE__,
                           plane.function);
        return KN_BP_TRANSFER_FAILED;
    }
    text.add("\"CPLD Version\":\"V%d\"\n}\n}", version);
    if (!text.complete() || create_and_write_file(path, text.text()) != 0)
    {
        return KN_BP_WRITE_FAILED;
    }
    return KN_BP_OK;
}

void route(uint8_t ext, uint8_t value)
{
    write_cpld_reg(routingBus, ext, routingAddress, routingRegister, value);
}

int clampRows(int rows)
{
    return std::clamp(rows, 0, KN_BUS_CONFIG_ROWS);
}

} // namespace

int odd_check(uint32_t value, int bits)
{
    int counted = std::clamp(bits, 0, 32);
    uint64_t mask = (uint64_t{1} << counted) - 1;
    return __builtin_popcountll(value & mask) % 2 == 1 ? 0 : KN_BP_PARITY_ERROR;
}

int create_and_write_file(const char* path, const char* text)
{
    if (path == nullptr)
    {
        return KN_BP_OPEN_FILE_FAILED;
    }
    int written =
        kn::writeFileBytes(path, O_APPEND, text != nullptr ? text : "",
                           text != nullptr ? std::strlen(text) : 0);
    if (written == -2)
    {
        return KN_BP_OPEN_FILE_FAILED;
    }
    return written < 0 ? KN_BP_WRITE_FAILED : KN_BP_OK;
}

int write_cpld_reg(uint8_t bus, uint8_t ext, uint8_t address, uint8_t reg,
                   uint8_t value)
{
    int target = bus;
    if (ext != 0)
    {
        // No answer, or none yet: bus 0 is never the one meant.
        target = CmmFunGetI2CExtBus(bus, ext);
        if (target <= 0)
        {
            return KN_BP_OPEN_BUS_FAILED;
        }
    }
    OpenBus device(target);
    if (!device.isOpen())
    {
        return KN_BP_OPEN_BUS_FAILED;
    }
    const uint8_t bytes[] = {reg, value};
    if (i2c_rw_data(device.get(), address, bytes, sizeof(bytes), nullptr, 0) <
        0)
    {
        logTransferFailure(static_cast<unsigned>(target), address, reg,
                           __LINE__, "write_cpld_reg");
        return KN_BP_TRANSFER_FAILED;
    }
    return KN_BP_OK;
}

int f2p_backpalne_detect(int index, uint8_t /*board_id*/, uint8_t bus,
                         uint8_t address, uint8_t offset)
{
    Backplane plane{"f2p_backpalne_detect",
                    KN_BACKPLANE_FOLDER "/2p",
                    "2P BACK PLANE",
                    2,
                    true,
                    d2p_right_cfg,
                    2,
                    false,
                    [](uint8_t id) { return id == 31; },
                    nullptr};
    return detectBackplane(plane, index, bus, address, offset);
}

int f8p_backpalne_detect(int index, uint8_t /*board_id*/, uint8_t bus,
                         uint8_t address, uint8_t offset)
{
    Backplane plane{"f8p_backpalne_detect",
                    KN_BACKPLANE_FOLDER "/8p",
                    "8P BACK PLANE",
                    8,
                    false,
                    d8p_right_cfg,
                    8,
                    false,
                    [](uint8_t id) { return id == 10; },
                    [] {
        route(4, 1);
        route(3, 1);
                    }};
    return detectBackplane(plane, index, bus, address, offset);
}

int f12p_backpalne_detect(int index, uint8_t board_id, uint8_t bus,
                          uint8_t address, uint8_t offset)
{
    bool ssd = board_id == 8;
    Backplane plane{"f12p_backpalne_detect",
                    KN_BACKPLANE_FOLDER "/12p",
                    "12P BACK PLANE",
                    12,
                    false,
                    d12p_right_cfg,
                    ssd ? 4 : 0,
                    true,
                    [board_id](uint8_t id) {
        return id == board_id && (id == 8 || id == 11 || id == 24);
                    },
                    [ssd] {
        if (ssd)
        {
            route(4, 1);
            route(3, 1);
        }
        else
        {
            route(2, 1);
        }
    }};
    return detectBackplane(plane, index, bus, address, offset);
}

int f25p_backpalne_detect(int index, uint8_t /*board_id*/, uint8_t bus,
                          uint8_t address, uint8_t offset)
{
    Backplane plane{"f25p_backpalne_detect",
                    KN_BACKPLANE_FOLDER "/25p",
                    "25P BACK PLANE",
                    25,
                    false,
                    nullptr,
                    0,
                    false,
                    [index](uint8_t id) { return id == (index == 0 ? 9 : 25); },
                    [] { route(4, 2); }};
    return detectBackplane(plane, index, bus, address, offset);
}

int f2p_backpalne_3p5_detect(int index, uint8_t board_id, uint8_t bus,
                             uint8_t address, uint8_t offset)
{
    Backplane plane{"f2p_backpalne_3p5_detect",
                    KN_BACKPLANE_FOLDER "/3p5_2p",
                    "2P BACK PLANE",
                    2,
                    true,
                    nullptr,
                    0,
                    false,
                    [board_id](uint8_t id) { return id == board_id; },
                    nullptr};
    return detectBackplane(plane, index, bus, address, offset);
}

int backplane_board_handler(const char* name, uint8_t board_id, uint8_t bus,
                            uint8_t address, uint8_t offset)
{
    char path[pathSize];
    if (name == nullptr || name[0] == '\0' ||
        std::strchr(name, '/') != nullptr ||
        std::snprintf(path, sizeof(path), "%s/%s.json", KN_BACKPLANE_FOLDER,
                      name) >= static_cast<int>(sizeof(path)))
    {
        return KN_BP_OPEN_FILE_FAILED;
    }
    OpenBus device(bus);
    if (!device.isOpen())
    {
        return KN_BP_OPEN_BUS_FAILED;
    }
    uint8_t idByte = 0;
    if (!readRegisters(device.get(), address, offset, &idByte, 1))
    {
        logTransferFailure(bus, address, offset, __LINE__,
                           "backplane_board_handler");
        return KN_BP_TRANSFER_FAILED;
    }
    if (odd_check(idByte, 8) != 0)
    {
        return KN_BP_PARITY_ERROR;
    }
    if ((idByte & boardIdMask) != board_id)
    {
        return KN_BP_ID_MISMATCH;
    }
    return startFile(path, "{\"present\":\"1\"}");
}

int backplane_board_detect(void)
{
    mp2_card_detect();
    iox_present_detect();
    return backplane_board_handler("10p0", 14, 1, 0x3f, 0);
}

int mp2_card_detect(void)
{
    BusMap<4> map;
    for (int row = 0; row < clampRows(max_config_number); ++row)
    {
        const uint8_t* config = m2_bus_config[row];
        const uint8_t bus = config[0];
        const uint8_t presenceDevice = config[1];
        const uint8_t switchAddress = config[2];
        const uint8_t cardDevice = config[3];
        const uint8_t cardBus = config[4];

        OpenBus device(bus);
        if (!device.isOpen())
        {
            continue;
        }
        uint8_t presence[2] = {};
        if (!readRegisters(device.get(), presenceDevice, 0, presence, 2))
        {
            continue;
        }
        int openBus = bus;
        for (int channel = 0; channel < cardChannels; ++channel)
        {
            if ((presence[1] >> channel & 1) != 0 ||
                (presence[1] >> (channel + 3) & 1) != 0)
            {
                continue;
            }
            if (openBus != cardBus)
            {
                if (!device.reopen(cardBus))
                {
                    continue;
                }
                openBus = cardBus;
            }
            if (switchAddress != 0 &&
                switch_channel_request(device.get(), bus, channel,
                                       switchAddress, 1) != 0)
            {
                continue;
            }
            uint8_t id[2] = {};
            if (!readRegisters(device.get(), cardDevice, 0, id, 2))
            {
                logTransferFailure(cardBus, cardDevice, 0, __LINE__,
                                   "mp2_card_detect");
            }
            else if ((id[0] & boardIdMask) == m2CardId &&
                     !map.add({cardBus, switchAddress,
                               static_cast<uint8_t>(channel), 0}))
            {
                log_call(KN_LOG_ERROR,
                         "mp2 card not recorded, %d records already "
                         "bus=%u, address=%u channel=%d. %s:%d %s ",
                         KN_BUS_MAP_RECORDS, cardBus, cardDevice, channel,
                         sourceUnit, __LINE__, "mp2_card_detect");
            }
            if (switchAddress != 0)
            {
                switch_channel_request(device.get(), bus, channel,
                                       switchAddress, 0);
            }
        }
    }
    map.write(KN_MP2_BUS_MAP);
    return 0;
}

int iox_present_detect(void)
{
    constexpr const char* function = "iox_present_detect";
    uint8_t absent = 0;
    if (CPLDModuleReadDatas(4, &absent, 1) != 0)
    {
        std::printf("%s: read cpld fail \n", function);
        return KN_BP_CPLD_READ_FAILED;
    }
    BusMap<4> map;
    bool found[KN_BUS_CONFIG_ROWS] = {};
    for (int row = 0; row < clampRows(iox_config_number); ++row)
    {
        const uint8_t* config = iox_bus_config[row];
        if ((absent >> row & 1) != 0)
        {
            std::printf("%s:io%d don't present \n", function, row);
            continue;
        }
        OpenBus device(config[0]);
        if (!device.isOpen())
        {
            std::printf("%s:open i2c%d bus fail \n", function, config[0]);
            continue;
        }
        uint8_t data = 0;
        if (!readRegisters(device.get(), config[1], 0, &data, 1))
        {
            std::printf("%s:read i2c%d slave[%x] board id fail \n", function,
                        config[0], config[1]);
            continue;
        }
        if (odd_check(data, 8) != 0)
        {
            std::printf("%s:io%d odd check fail,data[%x] \n", function, row,
                        data);
            continue;
        }
        map.add({config[4], 0, 0, static_cast<uint8_t>(data & boardIdMask)});
        found[row] = true;
    }

    // The third board may also sit behind the routing CPLD's bus.
    if ((absent >> 2 & 1) == 0 && !found[2])
    {
        int bus = CmmFunGetI2CExtBus(routingBus, iox2Ext);
        if (bus > 0)
        {
            OpenBus device(bus);
            uint8_t data = 0;
            if (!device.isOpen())
            {
                std::printf("%s:open i2c%d bus fail \n", function, bus);
            }
            else if (!readRegisters(device.get(), iox2Address, 0, &data, 1))
            {
                std::printf("%s:read i2c%d slave[3f] board id fail \n",
                            function, bus);
            }
            else if (odd_check(data, 8) != 0)
            {
                std::printf("%s:io2 odd check fail,data[%x] \n", function,
                            data);
            }
            else
            {
                map.add({static_cast<uint8_t>(bus), 0, 0,
                         static_cast<uint8_t>(data & boardIdMask)});
            }
        }
    }
    map.write(KN_IOX_BUS_MAP);
    return 0;
}

int riser_card_detect(void)
{
    const uint8_t bus = riser_bus_config[0];
    const uint8_t idDevice = riser_bus_config[1];
    const uint8_t switchAddress = riser_bus_config[2];
    const uint8_t riserDevice = riser_bus_config[3];
    const uint8_t channel = riser_bus_config[4];

    BusMap<3> map;
    {
        OpenBus device(bus);
        if (!device.isOpen())
        {
            return 0;
        }
        uint8_t slot[2] = {};
        if (!readRegisters(device.get(), idDevice, 0, slot, 2))
        {
            return 0;
        }
        uint8_t id = slot[0] & boardIdMask;
        bool high = (slot[0] & 0x80) != 0;
        if (!((id == 12 && high) || (id == 4 && !high)))
        {
            return 0;
        }
        if (switch_channel_request(device.get(), bus, channel, switchAddress,
                                   1) == 0)
        {
            uint8_t card[2] = {};
            if (readRegisters(device.get(), riserDevice, 0, card, 2) &&
                (card[0] & boardIdMask) == riserCardId)
            {
                map.add({bus, switchAddress, channel});
            }
            switch_channel_request(device.get(), bus, channel, switchAddress,
                                   0);
        }
    }
    map.write(KN_RISER_BUS_MAP);
    return 0;
}

int single_riser_detect(void)
{
    return riser_card_detect();
}
