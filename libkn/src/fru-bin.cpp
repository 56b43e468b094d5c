// The binary FRU image: encoding, decoding, and its files and EEPROMs.
#include "libkn/eeprom.h"
#include "libkn/fru.h"
#include "libkn/gpio.h"
#include "libkn/i2c.h"
#include "libkn/log.h"
#include "libkn/shm.h"

#include "byte_order.hpp"
#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace
{

constexpr const char* sourceUnit = "fru-bin";

// Areas are counted in 8-byte units; the decoders read at most this many
// bytes of one area.
constexpr size_t unit = 8;
constexpr size_t areaMax = 255;
constexpr size_t headerSize = 8;

// A one-character text goes out with one blank after it.
constexpr uint8_t paddedOneCharacter = KN_FRU_TYPE_ASCII + 2;

// The fixed OEM multirecord: type, end of list with format version 2, its
// data length, and the manufacturer ID at the start of the data.
constexpr uint8_t recordTypeOem = 0xC0;
constexpr uint8_t recordEndOfList = 0x82;
constexpr size_t recordHeaderSize = 5;
constexpr size_t recordDataSize = 17;
constexpr uint32_t manufacturerId = 61842;

uint8_t zeroSum(const uint8_t* bytes, size_t count)
{
    unsigned sum = 0;
    for (size_t i = 0; i < count; ++i)
    {
        sum += bytes[i];
    }
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

// Builds one area into its slot.
class AreaWriter
{
  public:
    explicit AreaWriter(fru_slot& slot) : slot(slot)
    {
        slot.length = 0;
        std::memset(slot.data, 0, sizeof(slot.data));
    }

    size_t size() const
    {
        return slot.length;
    }

    bool put(uint8_t byte)
    {
        if (slot.length >= sizeof(slot.data))
        {
            return false;
        }
        slot.data[slot.length++] = byte;
        return true;
    }

    // A text field: type/length 0xC0 + n and n characters. A type/length
    // below 0xC0 is refused.
    bool text(uint8_t typeLength, const char* data)
    {
        if (typeLength < KN_FRU_TYPE_ASCII)
        {
            return false;
        }
        size_t length = typeLength - KN_FRU_TYPE_ASCII;
        if (typeLength == KN_FRU_END_MARKER)
        {
            return put(paddedOneCharacter) &&
                   put(static_cast<uint8_t>(data[0])) && put(' ');
        }
        bool ok = put(typeLength);
        for (size_t i = 0; ok && i < length; ++i)
        {
            ok = put(static_cast<uint8_t>(data[i]));
        }
        return ok;
    }

    bool text(const fru_text& field)
    {
        return text(field.type_length, field.data);
    }

    void patch(size_t at, uint8_t byte)
    {
        slot.data[at] = byte;
    }

    const uint8_t* bytes() const
    {
        return slot.data;
    }

  private:
    fru_slot& slot;
};

// Format version, length, the fixed fields (written by fixed), the custom
// fields, end marker, pad and checksum. The area's length, pad and checksum
// fields of the model are set to what went out.
template <typename Area, typename Fixed>
int encodeArea(Area& area, fru_slot& slot, Fixed fixed)
{
    AreaWriter out(slot);
    out.put(area.format_version);
    const size_t lengthAt = out.size();
    out.put(0);
    if (!fixed(out))
    {
        return -1;
    }
    for (int i = 0; i < KN_FRU_CUSTOM_COUNT; ++i)
    {
        uint8_t typeLength = area.custom_type_length[i];
        if (typeLength != 0 && !out.text(typeLength, area.custom_data[i]))
        {
            return -1;
        }
    }
    if (!out.put(area.end_marker))
    {
        return -1;
    }
    const size_t withChecksum = out.size() + 1;
    const size_t pad = (unit - withChecksum % unit) % unit;
    area.pad = static_cast<uint8_t>(pad);
    for (size_t i = 0; i < pad; ++i)
    {
        if (!out.put(0))
        {
            return -1;
        }
    }
    area.length = static_cast<uint8_t>((withChecksum + pad) / unit);
    out.patch(lengthAt, area.length);
    area.checksum = zeroSum(out.bytes(), out.size());
    return out.put(area.checksum) ? 0 : -1;
}

// Reads one area that the checksum has vouched for. Every field must end
// before the checksum byte.
class AreaReader
{
  public:
    AreaReader(const uint8_t* area, size_t size) :
        area(area), fieldsEnd(size - 1)
    {}

    int byte(uint8_t& out)
    {
        if (position >= fieldsEnd)
        {
            return -EPIPE;
        }
        out = area[position++];
        return 0;
    }

    int bytes(uint8_t* out, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
        {
            if (int result = byte(out[i]); result != 0)
            {
                return result;
            }
        }
        return 0;
    }

    int text(uint8_t& typeLength, char* data)
    {
        if (position >= fieldsEnd)
        {
            return -EPIPE;
        }
        uint8_t value = area[position];
        if (value < KN_FRU_TYPE_ASCII)
        {
            return -EINVAL;
        }
        size_t length = value - KN_FRU_TYPE_ASCII;
        if (position + 1 + length > fieldsEnd)
        {
            return -EPIPE;
        }
        typeLength = value;
        std::memcpy(data, area + position + 1, length);
        position += 1 + length;
        return 0;
    }

    int text(fru_text& field)
    {
        return text(field.type_length, field.data);
    }

    // The next byte, without taking it; -EPIPE at the checksum.
    int peek(uint8_t& out) const
    {
        if (position >= fieldsEnd)
        {
            return -EPIPE;
        }
        out = area[position];
        return 0;
    }

    size_t at() const
    {
        return position;
    }

  private:
    const uint8_t* area;
    size_t fieldsEnd;
    size_t position = 2;
};

template <typename Area, typename Fixed>
int decodeArea(const uint8_t* bytes, Area& area, fru_slot& slot, Fixed fixed)
{
    if (bytes == nullptr)
    {
        return -EINVAL;
    }
    std::memset(&area, 0, sizeof(area));
    area.format_version = bytes[0];
    area.length = bytes[1];
    const size_t size = bytes[1] * unit;
    if (size == 0 || size > areaMax)
    {
        return -EMLINK;
    }
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i)
    {
        sum += bytes[i];
    }
    if ((sum & 0xFF) != 0)
    {
        return -EMLINK;
    }
    AreaReader in(bytes, size);
    if (int result = fixed(in); result != 0)
    {
        return result;
    }
    int count = 0;
    for (;;)
    {
        uint8_t next = 0;
        if (int result = in.peek(next); result != 0)
        {
            return result;
        }
        if (next == KN_FRU_END_MARKER)
        {
            break;
        }
        if (count == KN_FRU_CUSTOM_COUNT)
        {
            return -E2BIG;
        }
        if (int result = in.text(area.custom_type_length[count],
                                 area.custom_data[count]);
            result != 0)
        {
            return result;
        }
        ++count;
    }
    uint8_t marker = 0;
    in.byte(marker);
    area.end_marker = marker;
    area.pad = static_cast<uint8_t>(size - in.at() - 1);
    area.checksum = bytes[size - 1];
    std::memcpy(slot.data, bytes, size);
    slot.length = static_cast<uint32_t>(size);
    return 0;
}

// Whether a result of read_fru_data or write_fru_data is a failure: a
// negative one or a switch claim code.
bool failed(int result)
{
    return result < 0 || result == KN_MUX_NO_SHARED_MEMORY ||
           result == KN_MUX_CLAIMED || result == KN_MUX_WRITE_FAILED;
}

uint32_t imageOffset(const fru_device& device)
{
    return kn::getLe16(device.offset);
}

uint16_t imageSize(const fru_device& device)
{
    return kn::getLe16(device.size);
}

// The word addresses of a directly reached EEPROM: 256 with a one-byte
// word address, 65536 with two. A transfer that would pass the last one is
// refused, never wrapped around onto the start of the chip.
uint32_t addressRoom(const fru_device& device)
{
    return device.address_width == 1 ? 0x100 : 0x10000;
}

bool passesLastAddress(const fru_device& device, uint32_t at, size_t length)
{
    return at + length > addressRoom(device);
}

// The kernel's EEPROM file of the device; false when the extension bus
// behind the switch is unknown.
bool eepromFile(const fru_device& device, char* path, size_t size)
{
    if (device.behind_switch == 0)
    {
        std::snprintf(path, size, "%s/i2c-%d/device/%d-00%x/eeprom",
                      KN_FRU_SYSFS_I2C, device.bus, device.bus, device.address);
        return true;
    }
    int extension = CmmFunGetI2CExtBus(device.bus, device.switch_channel);
    if (extension <= 0)
    {
        return false;
    }
    std::snprintf(path, size, "%s/i2c-%d/device/i2c-%d/%d-00%x/eeprom",
                  KN_FRU_SYSFS_I2C, device.bus, extension, extension,
                  device.address);
    return true;
}

// The bus of a device behind a switch, with its channel claimed for this
// process while the object lives. Direct devices open nothing.
class SwitchedBus
{
  public:
    SwitchedBus(const fru_device& device, bool openDirect) : device(device)
    {
        if (device.behind_switch == 0 && !openDirect)
        {
            return;
        }
        fd = i2c_open(device.bus);
        if (fd < 0)
        {
            result = -1;
            return;
        }
        if (device.behind_switch != 0)
        {
            result =
                switch_channel_request(fd, device.bus, device.switch_channel,
                                       device.switch_address, 1);
            claimed = result == 0;
        }
    }

    ~SwitchedBus()
    {
        if (claimed)
        {
            switch_channel_request(fd, device.bus, device.switch_channel,
                                   device.switch_address, 0);
        }
        if (fd >= 0)
        {
            i2c_close(fd);
        }
    }

    SwitchedBus(const SwitchedBus&) = delete;
    SwitchedBus& operator=(const SwitchedBus&) = delete;

    const fru_device& device;
    int fd = -1;
    int result = 0; // of the open and the claim
    bool claimed = false;
};

bool preadAll(int fd, uint8_t* buffer, size_t length, off_t at)
{
    size_t done = 0;
    while (done < length)
    {
        ssize_t got = ::pread(fd, buffer + done, length - done,
                              at + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool pwriteAll(int fd, const uint8_t* data, size_t length, off_t at)
{
    size_t done = 0;
    while (done < length)
    {
        ssize_t put = ::pwrite(fd, data + done, length - done,
                               at + static_cast<off_t>(done));
        if (put < 0 && errno == EINTR)
        {
            continue;
        }
        if (put <= 0)
        {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

int readI2c(const fru_device& device, uint32_t at, int length, uint8_t* buffer)
{
    if (passesLastAddress(device, at, static_cast<size_t>(length)))
    {
        return -1;
    }
    SwitchedBus bus(device, /*openDirect=*/true);
    if (bus.result != 0)
    {
        return bus.result;
    }
    const auto address = static_cast<uint16_t>(at);
    int result = i2c_read_data(bus.fd, device.address, address,
                               device.address_width, buffer, length);
    if (result < 0)
    {
        log_call(KN_LOG_ERROR,
                 "i2c read fru data failed channel=%u address=%u offset=%u. "
                 "%s:%d %s",
                 device.bus, device.address, address, sourceUnit, __LINE__,
                 "read_fru_data");
        return -1;
    }
    return result;
}

int readEepromFile(const fru_device& device, uint32_t at, int length,
                   uint8_t* buffer)
{
    char path[256];
    if (!eepromFile(device, path, sizeof(path)))
    {
        return -1;
    }
    for (int attempt = 0; attempt < KN_FRU_TRIES; ++attempt)
    {
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
        {
            continue;
        }
        bool ok = preadAll(fd, buffer, static_cast<size_t>(length), at);
        kn::closeFd(fd);
        if (ok)
        {
            return 0;
        }
        usleep(KN_FRU_RETRY_PAUSE_US);
    }
    return -1;
}

int writeI2c(const fru_device& device, uint32_t at, uint16_t length,
             const uint8_t* data)
{
    if (passesLastAddress(device, at, length))
    {
        return -1;
    }
    SwitchedBus bus(device, /*openDirect=*/false);
    if (bus.result != 0)
    {
        return bus.result;
    }
    char path[32];
    std::snprintf(path, sizeof(path), "/dev/i2c-%d", device.bus);
    // The width of the word address decides how the EEPROM is addressed.
    const int type = device.address_width == 1 ? KN_EEPROM_TYPE_8BIT_ADDR
                                               : KN_EEPROM_TYPE_16BIT_ADDR;
    eeprom_handle eeprom;
    if (eeprom_open(path, device.address, type, &eeprom) != 0)
    {
        return -1;
    }
    bool ok = true;
    for (uint16_t i = 0; i < length; ++i)
    {
        const auto address = static_cast<uint16_t>(at + i);
        bool written = false;
        for (int attempt = 0; attempt < KN_FRU_TRIES && !written; ++attempt)
        {
            written = eeprom_write_byte(&eeprom, address, data[i]) >= 0;
        }
        ok = ok && written;
    }
    eeprom_close(&eeprom);
    return ok ? 0 : -1;
}

int writeEepromFile(const fru_device& device, uint32_t at, uint16_t length,
                    const uint8_t* data)
{
    char path[256];
    if (!eepromFile(device, path, sizeof(path)))
    {
        return -1;
    }
    int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        return -1;
    }
    bool ok = false;
    for (int attempt = 0; attempt < KN_FRU_TRIES && !ok; ++attempt)
    {
        ok = pwriteAll(fd, data, length, at);
        if (!ok)
        {
            usleep(KN_FRU_RETRY_PAUSE_US);
        }
    }
    ok = kn::closeFd(fd) && ok;
    return ok ? 0 : -1;
}

// The descriptor of a FRU device id in the main segment.
bool deviceOf(int id, fru_device& device)
{
    if (id < 0 || id > KN_FRU_DEVICE_MAX)
    {
        return false;
    }
    const auto* base = static_cast<const uint8_t*>(init_shm());
    if (base == nullptr)
    {
        return false;
    }
    std::memcpy(&device,
                base + KN_SHM_FRU_DEVICE_OFFSET +
                    static_cast<size_t>(KN_SHM_FRU_DEVICE_SIZE) * id,
                sizeof(device));
    return true;
}

bool transfers(const fru_device& device)
{
    return device.route == KN_FRU_ROUTE_I2C ||
           device.route == KN_FRU_ROUTE_FILE;
}

uint32_t imageLength()
{
    return std::min<uint32_t>(bmc_fru_len, sizeof(bmc_fru_date));
}

// Whether an image of length bytes fits the device from its offset: the
// chip's word addresses, or the kernel's EEPROM file as far as its size is
// known. Nothing is written of an image that would not fit whole.
bool fitsFromOffset(const fru_device& device, uint32_t length)
{
    const uint32_t offset = imageOffset(device);
    if (device.route == KN_FRU_ROUTE_I2C)
    {
        return !passesLastAddress(device, offset, length);
    }
    char path[256];
    struct stat st
    {};
    if (device.route == KN_FRU_ROUTE_FILE &&
        eepromFile(device, path, sizeof(path)) && ::stat(path, &st) == 0 &&
        S_ISREG(st.st_mode))
    {
        return offset + length <= static_cast<uint64_t>(st.st_size);
    }
    return true;
}

// The areas of a device's image that the codec does not decode, carried
// over unchanged when the image is written again.
struct KeptAreas
{
    std::vector<uint8_t> internalUse; // whole 8-byte units
    std::vector<uint8_t> multirecord; // every record, the last one included
};

// The internal-use area runs from its offset to the next area that the
// header names, or to the end of the image.
std::optional<std::vector<uint8_t>> internalUseArea(const uint8_t* image,
                                                    size_t size)
{
    if (image[1] == 0)
    {
        return std::vector<uint8_t>();
    }
    const size_t start = image[1] * unit;
    if (start >= size)
    {
        return std::nullopt;
    }
    size_t end = size;
    for (int i = 2; i <= 5; ++i)
    {
        const size_t other = image[i] * unit;
        if (image[i] != 0 && other > start)
        {
            end = std::min(end, other);
        }
    }
    std::vector<uint8_t> area(image + start, image + end);
    area.resize((area.size() + unit - 1) / unit * unit, 0);
    return area;
}

// The multirecord area: records of a five-byte header (type, end-of-list
// flag and format, data length, data checksum, header checksum) and their
// data, up to the record flagged last; each record lies inside the image.
std::optional<std::vector<uint8_t>> multirecordArea(const uint8_t* image,
                                                    size_t size)
{
    if (image[5] == 0)
    {
        return std::vector<uint8_t>();
    }
    const size_t start = image[5] * unit;
    size_t at = start;
    for (;;)
    {
        if (at + recordHeaderSize > size ||
            zeroSum(image + at, recordHeaderSize - 1) !=
                image[at + recordHeaderSize - 1])
        {
            return std::nullopt;
        }
        const bool last = (image[at + 1] & 0x80) != 0;
        at += recordHeaderSize + image[at + 2];
        if (at > size)
        {
            return std::nullopt;
        }
        if (last)
        {
            return std::vector<uint8_t>(image + start, image + at);
        }
    }
}

// The image of the encoded areas with the kept ones in the format's
// order: header, internal use, chassis, board, product, multirecord; the
// header's offsets and checksum made for them. False when it cannot be
// addressed by one-byte offsets or does not fit the image buffer.
bool assembleWithKept(const KeptAreas& kept)
{
    if (kept.internalUse.empty() && kept.multirecord.empty())
    {
        return true; // as get_fru_date built it
    }
    std::vector<uint8_t> image(headerSize, 0);
    uint8_t* header = image.data();
    header[0] = 1;
    size_t units = 1;
    if (!kept.internalUse.empty())
    {
        header[1] = static_cast<uint8_t>(units);
        units += kept.internalUse.size() / unit;
    }
    image.insert(image.end(), kept.internalUse.begin(), kept.internalUse.end());
    for (int slot = KN_FRU_SLOT_CHASSIS; slot <= KN_FRU_SLOT_PRODUCT; ++slot)
    {
        if (units > 0xFF)
        {
            return false;
        }
        image[static_cast<size_t>(slot) + 1] = static_cast<uint8_t>(units);
        const fru_slot& area = fru_buff[slot];
        image.insert(image.end(), area.data, area.data + area.length);
        units += area.length / unit;
    }
    if (!kept.multirecord.empty())
    {
        if (units > 0xFF)
        {
            return false;
        }
        image[5] = static_cast<uint8_t>(units);
        image.insert(image.end(), kept.multirecord.begin(),
                     kept.multirecord.end());
    }
    image[7] = zeroSum(image.data(), headerSize - 1);
    if (image.size() > sizeof(bmc_fru_date))
    {
        return false;
    }
    std::memcpy(&fru.header, image.data(), headerSize);
    fru_slot& headerSlot = fru_buff[KN_FRU_SLOT_HEADER];
    std::memcpy(headerSlot.data, image.data(), headerSize);
    parse_bin_to_multirecord(kept.multirecord.data(),
                             static_cast<int>(kept.multirecord.size()));
    std::memcpy(bmc_fru_date, image.data(), image.size());
    bmc_fru_len = static_cast<uint32_t>(image.size());
    return true;
}

} // namespace

int get_chassis_date(void)
{
    auto& area = fru.chassis;
    return encodeArea(area, fru_buff[KN_FRU_SLOT_CHASSIS],
                      [&](AreaWriter& out) {
        return out.put(area.type) && out.text(area.part_number) &&
               out.text(area.serial_number);
    });
}

int get_board_date(void)
{
    auto& area = fru.board;
    return encodeArea(area, fru_buff[KN_FRU_SLOT_BOARD], [&](AreaWriter& out) {
        return out.put(area.language) && out.put(area.manufacturing_time[0]) &&
               out.put(area.manufacturing_time[1]) &&
               out.put(area.manufacturing_time[2]) &&
               out.text(area.manufacturer) && out.text(area.product_name) &&
               out.text(area.serial_number) && out.text(area.part_number) &&
               out.text(area.file_id);
    });
}

int get_product_date(void)
{
    auto& area = fru.product;
    return encodeArea(area, fru_buff[KN_FRU_SLOT_PRODUCT],
                      [&](AreaWriter& out) {
        return out.put(area.language) && out.text(area.manufacturer) &&
               out.text(area.product_name) && out.text(area.part_number) &&
               out.text(area.version) && out.text(area.serial_number) &&
               out.text(area.asset_tag) && out.text(area.file_id);
    });
}

int get_multirecord_date(void)
{
    fru_slot& slot = fru_buff[KN_FRU_SLOT_MULTIRECORD];
    std::memset(&slot, 0, sizeof(slot));
    uint8_t* record = slot.data;
    uint8_t* data = record + recordHeaderSize;
    data[0] = static_cast<uint8_t>(manufacturerId);
    data[1] = static_cast<uint8_t>(manufacturerId >> 8);
    data[2] = static_cast<uint8_t>(manufacturerId >> 16);
    record[0] = recordTypeOem;
    record[1] = recordEndOfList;
    record[2] = recordDataSize;
    record[3] = zeroSum(data, recordDataSize);
    record[4] = zeroSum(record, recordHeaderSize - 1);
    slot.length = recordHeaderSize + recordDataSize;
    return 0;
}

int get_head_date(void)
{
    fru_slot& slot = fru_buff[KN_FRU_SLOT_HEADER];
    std::memset(&slot, 0, sizeof(slot));
    const uint32_t board = 1 + fru_buff[KN_FRU_SLOT_CHASSIS].length / unit;
    const uint32_t product = board + fru_buff[KN_FRU_SLOT_BOARD].length / unit;
    const uint32_t end = product + fru_buff[KN_FRU_SLOT_PRODUCT].length / unit;
    uint8_t* header = slot.data;
    header[0] = 1;
    header[1] = 0;
    header[2] = 1;
    header[3] = static_cast<uint8_t>(board);
    header[4] = static_cast<uint8_t>(product);
    header[5] = 0;
    header[6] = 0;
    header[7] = zeroSum(header, headerSize - 1);
    slot.length = headerSize;

    fru.header.format_version = header[0];
    fru.header.internal_offset = header[1];
    fru.header.chassis_offset = header[2];
    fru.header.board_offset = header[3];
    fru.header.product_offset = header[4];
    fru.header.multirecord_offset = static_cast<uint8_t>(end);
    fru.header.pad = static_cast<uint8_t>(end + 3);
    fru.header.checksum = header[7];
    return 0;
}

int get_fru_date(void)
{
    if (get_chassis_date() != 0)
    {
        return KN_FRU_CHASSIS_FAILED;
    }
    if (get_board_date() != 0)
    {
        return KN_FRU_BOARD_FAILED;
    }
    if (get_product_date() != 0)
    {
        return KN_FRU_PRODUCT_FAILED;
    }
    get_head_date();
    uint32_t length = 0;
    for (const fru_slot& slot : fru_buff)
    {
        std::memcpy(bmc_fru_date + length, slot.data, slot.length);
        length += slot.length;
    }
    bmc_fru_len = length;
    return 0;
}

int parse_bin_to_head(const uint8_t* bytes, int count)
{
    if (bytes == nullptr || count < static_cast<int>(headerSize) ||
        count > KN_FRU_SLOT_SIZE)
    {
        return -EINVAL;
    }
    unsigned sum = 0;
    for (int i = 0; i < count; ++i)
    {
        sum += bytes[i];
    }
    if ((sum & 0xFF) != 0)
    {
        return -EMLINK;
    }
    // An all-zero header sums to zero too.
    if (bytes[0] != 1)
    {
        return -EINVAL;
    }
    std::memcpy(&fru.header, bytes, headerSize);
    fru_slot& slot = fru_buff[KN_FRU_SLOT_HEADER];
    std::memset(&slot, 0, sizeof(slot));
    std::memcpy(slot.data, bytes, static_cast<size_t>(count));
    slot.length = static_cast<uint32_t>(count);
    return 0;
}

int parse_bin_to_chassis(const uint8_t* area)
{
    auto& model = fru.chassis;
    return decodeArea(area, model, fru_buff[KN_FRU_SLOT_CHASSIS],
                      [&](AreaReader& in) {
        int result = in.byte(model.type);
        if (result == 0)
        {
            result = in.text(model.part_number);
        }
        return result != 0 ? result : in.text(model.serial_number);
    });
}

int parse_bin_to_board(const uint8_t* area)
{
    auto& model = fru.board;
    return decodeArea(area, model, fru_buff[KN_FRU_SLOT_BOARD],
                      [&](AreaReader& in) {
        int result = in.byte(model.language);
        if (result == 0)
        {
            result = in.bytes(model.manufacturing_time, 3);
        }
        for (fru_text* text :
             {&model.manufacturer, &model.product_name, &model.serial_number,
              &model.part_number, &model.file_id})
        {
            if (result == 0)
            {
                result = in.text(*text);
            }
        }
        return result;
    });
}

int parse_bin_to_product(const uint8_t* area)
{
    auto& model = fru.product;
    return decodeArea(area, model, fru_buff[KN_FRU_SLOT_PRODUCT],
                      [&](AreaReader& in) {
        int result = in.byte(model.language);
        for (fru_text* text :
             {&model.manufacturer, &model.product_name, &model.part_number,
              &model.version, &model.serial_number, &model.asset_tag,
              &model.file_id})
        {
            if (result == 0)
            {
                result = in.text(*text);
            }
        }
        return result;
    });
}

int parse_bin_to_multirecord(const uint8_t* bytes, int count)
{
    if (count < 0 || count > KN_FRU_SLOT_SIZE ||
        (bytes == nullptr && count > 0))
    {
        return -EINVAL;
    }
    fru_slot& slot = fru_buff[KN_FRU_SLOT_MULTIRECORD];
    std::memset(&slot, 0, sizeof(slot));
    if (count > 0)
    {
        std::memcpy(slot.data, bytes, static_cast<size_t>(count));
    }
    slot.length = static_cast<uint32_t>(count);
    return 0;
}

int parse_bin_date(const uint8_t* image, int length)
{
    if (image == nullptr || length < 0 ||
        (length != 0 && length < static_cast<int>(headerSize)) ||
        parse_bin_to_head(image, headerSize) != 0)
    {
        return KN_FRU_BAD_HEADER;
    }
    struct Area
    {
        uint8_t offset;
        int (*decode)(const uint8_t*);
        int code;
    };
    const Area areas[] = {
        {image[2], parse_bin_to_chassis, KN_FRU_BAD_CHASSIS},
        {image[3], parse_bin_to_board, KN_FRU_BAD_BOARD},
        {image[4], parse_bin_to_product, KN_FRU_BAD_PRODUCT},
    };
    for (const Area& area : areas)
    {
        if (area.offset == 0)
        {
            continue;
        }
        const size_t start = area.offset * unit;
        // With a length, the area's length byte and all its bytes lie
        // inside the image.
        if (length != 0 &&
            (start + 2 > static_cast<size_t>(length) ||
             start + image[start + 1] * unit > static_cast<size_t>(length)))
        {
            return area.code;
        }
        if (area.decode(image + start) != 0)
        {
            return area.code;
        }
    }
    return 0;
}

int read_fru_data(const fru_device* device, uint16_t offset, int length,
                  uint8_t* buffer)
{
    if (device == nullptr || length < 0 || (buffer == nullptr && length > 0) ||
        device->access == KN_FRU_NO_ACCESS)
    {
        return -1;
    }
    const uint32_t at = imageOffset(*device) + offset;
    switch (device->route)
    {
        case KN_FRU_ROUTE_I2C:
            return readI2c(*device, at, length, buffer);
        case KN_FRU_ROUTE_FILE:
            return readEepromFile(*device, at, length, buffer);
        default:
            return 0;
    }
}

int write_fru_data(const fru_device* device, uint16_t offset, uint16_t length,
                   const uint8_t* data)
{
    if (device == nullptr || (data == nullptr && length > 0) ||
        device->access == KN_FRU_NO_ACCESS)
    {
        return -1;
    }
    const uint32_t at = imageOffset(*device) + offset;
    switch (device->route)
    {
        case KN_FRU_ROUTE_I2C:
            return writeI2c(*device, at, length, data);
        case KN_FRU_ROUTE_FILE:
            return writeEepromFile(*device, at, length, data);
        default:
            return 0;
    }
}

int get_fru_bin(fru_device device, uint8_t* buffer)
{
    if (buffer == nullptr)
    {
        return -1;
    }
    const uint32_t size = imageSize(device);
    for (uint32_t offset = 0; offset < size; offset += KN_FRU_PIECE_SIZE)
    {
        const auto length =
            std::min<uint32_t>(KN_FRU_PIECE_SIZE, size - offset);
        int result = read_fru_data(&device, static_cast<uint16_t>(offset),
                                   static_cast<int>(length), buffer + offset);
        usleep(KN_FRU_PIECE_PAUSE_US);
        if (failed(result))
        {
            return -1;
        }
    }
    return 0;
}

int write_to_fru(int id)
{
    fru_device device{};
    if (!deviceOf(id, device))
    {
        return -1;
    }
    deviceid = static_cast<uint32_t>(id);
    const uint32_t length = imageLength();
    // An image longer than the device's could not be read back whole, and
    // one that passes the chip's end would wrap onto its start.
    if (transfers(device) &&
        (length > imageSize(device) || !fitsFromOffset(device, length)))
    {
        return -1;
    }
    for (uint32_t offset = 0; offset < length; offset += KN_FRU_PIECE_SIZE)
    {
        const auto piece =
            std::min<uint32_t>(KN_FRU_PIECE_SIZE, length - offset);
        if (write_fru_data(&device, static_cast<uint16_t>(offset),
                           static_cast<uint16_t>(piece),
                           bmc_fru_date + offset) != 0)
        {
            return -1;
        }
        if (piece == KN_FRU_PIECE_SIZE)
        {
            usleep(KN_FRU_PIECE_PAUSE_US);
        }
    }
    return 0;
}

int write_fru_ini(void)
{
    fru_init();
    if (fru_read_ini() != 0)
    {
        return -EBADF;
    }
    if (get_fru_date() != 0)
    {
        return KN_FRU_INI_ENCODE_FAILED;
    }
    return write_to_fru(static_cast<int>(deviceid));
}

int create_fru_bin(void)
{
    fru_init();
    if (fru_read_ini() != 0)
    {
        return KN_FRU_BIN_INI_FAILED;
    }
    if (get_fru_date() != 0)
    {
        return KN_FRU_BIN_ENCODE_FAILED;
    }
    return write_to_bin();
}

int fru_modify_key(int id, const char* title, const char* key,
                   const char* value)
{
    if (init_shm() == nullptr)
    {
        return -1;
    }
    if (title == nullptr || key == nullptr || value == nullptr)
    {
        return KN_FRU_MISSING_ARGUMENT;
    }
    fru_device device{};
    if (!deviceOf(id, device))
    {
        return -1;
    }
    const uint16_t size = imageSize(device);
    fru_init();
    uint8_t image[KN_FRU_IMAGE_MAX] = {};
    if (size > sizeof(image) || get_fru_bin(device, image) != 0)
    {
        kestrelon_log(" %s error.\n", "fru_modify_key");
        return KN_FRU_READ_FAILED;
    }
    if (int code = parse_bin_date(image, size); code != 0)
    {
        kestrelon_log(" get fru .bin error:%d.\n", code);
        return KN_FRU_READ_FAILED;
    }
    // The internal-use and multirecord areas go back as they came.
    auto internalUse = internalUseArea(image, size);
    auto multirecord = multirecordArea(image, size);
    if (!internalUse || !multirecord)
    {
        kestrelon_log(" get fru .bin error:%d.\n", KN_FRU_BAD_HEADER);
        return KN_FRU_READ_FAILED;
    }
    int row = fru_get_param_id(title, key);
    if (row < 0)
    {
        kestrelon_log(" input error.\n");
        return row;
    }
    modify_section(value, row);
    if (get_fru_date() != 0)
    {
        kestrelon_log("get_fru_date error");
        return KN_FRU_ENCODE_FAILED;
    }
    if (!assembleWithKept({std::move(*internalUse), std::move(*multirecord)}))
    {
        return -1; // does not fit, as write_to_fru refuses it
    }
    return write_to_fru(id);
}

int write_to_bin(void)
{
    int fd =
        ::open(KN_FRU_BIN_PATH, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
    {
        return -1;
    }
    bool ok = kn::writeAll(fd, bmc_fru_date, imageLength());
    ok = kn::closeFd(fd) && ok;
    if (!ok)
    {
        std::printf("write bin file error2.");
        std::fflush(stdout);
        return -ENOMEM;
    }
    return 0;
}

int write_fru_cmd(const char* command)
{
    if (command == nullptr)
    {
        return -1;
    }
    for (int attempt = 0; attempt < KN_FRU_COMMAND_TRIES; ++attempt)
    {
        int status = std::system(command);
        if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        {
            return 0;
        }
    }
    return -1;
}

int backup_fru_bin(const uint8_t* bytes, int count)
{
    if (count < 0 || (bytes == nullptr && count > 0))
    {
        return -1;
    }
    FILE* file = std::fopen(KN_FRU_BACKUP_PATH, "wbe");
    if (file == nullptr)
    {
        std::printf("%s: open file fru.bat fail \n", "backup_fru_bin");
        std::fflush(stdout);
        return 1;
    }
    const auto size = static_cast<size_t>(count);
    bool ok = size == 0 || std::fwrite(bytes, 1, size, file) == size;
    ok = std::fclose(file) == 0 && ok;
    return ok ? 0 : -1;
}

int WriteFile(const char* path, const uint8_t* bytes, int offset, int count)
{
    const auto size = static_cast<size_t>(count & 0xFFFF);
    if (path == nullptr || (bytes == nullptr && size > 0))
    {
        return -1;
    }
    FILE* file = std::fopen(path, "wb+e");
    if (file == nullptr)
    {
        std::printf("%s: open %s file fail\n", "WriteFile", path);
        std::fflush(stdout);
        return 1;
    }
    bool ok = std::fseek(file, offset & 0xFFFF, SEEK_SET) == 0 &&
              (size == 0 || std::fwrite(bytes, 1, size, file) == size);
    ok = std::fclose(file) == 0 && ok;
    return ok ? 0 : -1;
}

int hexdump(const uint8_t* bytes, int count)
{
    for (int i = 0; bytes != nullptr && i < count; ++i)
    {
        std::printf("%02x ", bytes[i]);
    }
    std::printf("\n");
    std::fflush(stdout);
    return 0;
}
