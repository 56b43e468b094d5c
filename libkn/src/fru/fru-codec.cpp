// The binary FRU image: encoding the model and decoding images back.
#include "fru/fru-codec.hpp"

#include "libkn/fru.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

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

} // namespace

namespace kn::fru
{

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
    std::memcpy(&::fru.header, image.data(), headerSize);
    fru_slot& headerSlot = fru_buff[KN_FRU_SLOT_HEADER];
    std::memcpy(headerSlot.data, image.data(), headerSize);
    parse_bin_to_multirecord(kept.multirecord.data(),
                             static_cast<int>(kept.multirecord.size()));
    std::memcpy(bmc_fru_date, image.data(), image.size());
    bmc_fru_len = static_cast<uint32_t>(image.size());
    return true;
}

} // namespace kn::fru

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
