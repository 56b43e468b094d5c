// The binary FRU image: encoding the model and decoding images back.
#include "libkn/fru.h"

#include "fru_folder.hpp"

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using Bytes = std::vector<uint8_t>;

// Builds an image byte by byte; text appends characters only, so every
// type/length byte stands written out beside its text.
class Build
{
  public:
    Build& operator()(std::initializer_list<int> values)
    {
        for (int value : values)
        {
            bytes.push_back(static_cast<uint8_t>(value));
        }
        return *this;
    }

    Build& operator()(const char* text)
    {
        bytes.insert(bytes.end(), text, text + std::strlen(text));
        return *this;
    }

    Bytes bytes;
};

// The default fru.ini as an image in the platform management FRU
// information storage format, by hand: offsets and lengths in 8-byte units,
// text fields as 8-bit ASCII (type/length 0xC0 + length), each area closed
// by 0xC1, zero padding and a checksum that brings its byte sum to zero.
Bytes handBuiltDefaultImage()
{
    Build b;
    // Common header: version 1, no internal-use area, chassis at unit 1,
    // board at unit 3, product at unit 11, no multirecord, pad, checksum.
    b({0x01, 0x00, 0x01, 0x03, 0x0B, 0x00, 0x00, 0xF0});
    // Chassis area (offset 8): version 1, 2 units, type 2 (unknown).
    b({0x01, 0x02, 0x02});
    b({0xC3})("N/A");   // part number
    b({0xC3})("N/A");   // serial number
    b({0xC1, 0, 0, 0}); // end of fields, 3 bytes of pad
    b({0x38});          // checksum
    // Board area (offset 24): version 1, 8 units, language 0, and the
    // manufacturing time: 12,396,424 minutes = 0xBD2788, low byte first.
    b({0x01, 0x08, 0x00, 0x88, 0x27, 0xBD});
    b({0xC9})("Kestrelon");    // manufacturer
    b({0xCC})("Compute Node"); // product name
    b({0xC3})("N/A");          // serial number
    b({0xC3})("N/A");          // part number
    b({0xC0});                 // FRU file ID, empty
    for (int i = 0; i < 6; ++i)
    {
        b({0xC3})("N/A"); // custom fields
    }
    b({0xC1}); // end of fields; 63 bytes + checksum: no pad
    b({0x33}); // checksum
    // Product area (offset 88): version 1, 14 units, language 0.
    b({0x01, 0x0E, 0x00});
    b({0xC9})("Kestrelon");                            // manufacturer
    b({0xCC})("Compute Node");                         // product name
    b({0xE4})("00000000-0000-0000-0000-000000000000"); // part/model number
    b({0xC3})("N/A");                                  // version
    b({0xCC})("000011112222");                         // serial number
    b({0xC3})("N/A");                                  // asset tag
    b({0xC0});                                         // FRU file ID
    for (int i = 0; i < 5; ++i)
    {
        b({0xC3})("N/A");
    }
    b({0xC1, 0, 0, 0, 0, 0}); // end of fields, 5 bytes of pad
    b({0x6A});                // checksum
    return b.bytes;
}

uint8_t sum(const uint8_t* bytes, size_t count)
{
    unsigned total = 0;
    for (size_t i = 0; i < count; ++i)
    {
        total += bytes[i];
    }
    return static_cast<uint8_t>(total);
}

// Sets the last byte so that the first count bytes sum to zero.
void fixChecksum(uint8_t* bytes, size_t count)
{
    bytes[count - 1] = 0;
    bytes[count - 1] = static_cast<uint8_t>(0x100 - sum(bytes, count));
}

constexpr size_t chassisAt = 8;
constexpr size_t productAt = 88;
constexpr size_t productSize = 112;

class FruCodec : public kntest::FruFolder
{
  protected:
    // parse_bin_date on an exactly sized heap copy.
    static int decode(const Bytes& image, int length = -1)
    {
        Bytes copy(image);
        return parse_bin_date(
            copy.data(), length < 0 ? static_cast<int>(copy.size()) : length);
    }

    // A chassis area alone, given its bytes before the checksum.
    static int decodeChassis(Bytes area)
    {
        area.push_back(0);
        fixChecksum(area.data(), area.size());
        return parse_bin_to_chassis(area.data());
    }
};

TEST_F(FruCodec, DefaultImageFollowsTheFormat)
{
    const Bytes expected = handBuiltDefaultImage();
    ASSERT_EQ(expected.size(), 200u);
    // The fixture itself: every part sums to zero.
    EXPECT_EQ(sum(expected.data(), 8), 0);
    EXPECT_EQ(sum(expected.data() + 8, 16), 0);
    EXPECT_EQ(sum(expected.data() + 24, 64), 0);
    EXPECT_EQ(sum(expected.data() + productAt, productSize), 0);

    EXPECT_EQ(defaultImage(), expected);
    EXPECT_EQ(fru.chassis.pad, 3);
    EXPECT_EQ(fru.board.pad, 0); // exactly 8 units with the checksum
    EXPECT_EQ(fru.product.pad, 5);
    EXPECT_EQ(fru.header.board_offset, 1 + fru.chassis.length);
    // The model, not the image, points past the product area.
    EXPECT_EQ(fru.header.multirecord_offset, 25);
    EXPECT_EQ(fru.header.pad, 28);
}

TEST_F(FruCodec, DecodeAndEncodeAgain)
{
    const Bytes image = defaultImage();
    const fru_info encoded = fru;
    fru_init();
    ASSERT_EQ(decode(image), 0);
    EXPECT_EQ(std::memcmp(&fru.chassis, &encoded.chassis, sizeof(fru.chassis)),
              0);
    EXPECT_EQ(std::memcmp(&fru.board, &encoded.board, sizeof(fru.board)), 0);
    EXPECT_EQ(std::memcmp(&fru.product, &encoded.product, sizeof(fru.product)),
              0);
    EXPECT_EQ(std::memcmp(&fru.header, image.data(), 8), 0);
    EXPECT_EQ(fru_buff[KN_FRU_SLOT_PRODUCT].length, productSize);

    ASSERT_EQ(get_fru_date(), 0);
    EXPECT_EQ(Bytes(bmc_fru_date, bmc_fru_date + bmc_fru_len), image);
}

TEST_F(FruCodec, OneCharacterTextKeepsTheFieldsAfterIt)
{
    defaultImage();
    ASSERT_EQ(modify_section("X", 19), 0); // product serial number
    ASSERT_EQ(get_fru_date(), 0);
    const Bytes image(bmc_fru_date, bmc_fru_date + bmc_fru_len);

    // Walk the product area as any reader of the format does, stopping at
    // the first 0xC1: the serial number and the asset tag after it are
    // both there.
    size_t at = productAt + 3;
    std::vector<std::string> fields;
    while (fields.size() < 7 && image.at(at) != 0xC1)
    {
        size_t length = image[at] & 0x3F;
        fields.emplace_back(image.begin() + at + 1,
                            image.begin() + at + 1 + length);
        at += 1 + length;
    }
    ASSERT_EQ(fields.size(), 7u);
    EXPECT_EQ(fields[4], "X ");
    EXPECT_EQ(fields[5], "N/A");

    fru_init();
    ASSERT_EQ(decode(image), 0);
    EXPECT_EQ(text(fru.product.serial_number), "X ");
    EXPECT_EQ(text(fru.product.asset_tag), "N/A");
    EXPECT_EQ(
        text(fru.product.custom_type_length[4], fru.product.custom_data[4]),
        "N/A");
}

TEST_F(FruCodec, FixedMultirecord)
{
    defaultImage();
    EXPECT_EQ(get_multirecord_date(), 0);
    // OEM record, end of list with version 2, 17 data bytes, record and
    // header checksums, manufacturer ID 61842 (0x00F192) low byte first.
    Bytes record = {0xC0, 0x82, 0x11, 0x7D, 0x30, 0x92, 0xF1, 0x00};
    record.resize(22, 0);
    const fru_slot& slot = fru_buff[KN_FRU_SLOT_MULTIRECORD];
    EXPECT_EQ(Bytes(slot.data, slot.data + slot.length), record);
    EXPECT_EQ(sum(record.data(), 5), 0);
    EXPECT_EQ(static_cast<uint8_t>(sum(record.data() + 5, 17) + record[3]), 0);

    // It goes after the product area; the header does not point to it.
    ASSERT_EQ(get_fru_date(), 0);
    ASSERT_EQ(bmc_fru_len, 222u);
    EXPECT_EQ(Bytes(bmc_fru_date + 200, bmc_fru_date + 222), record);
    EXPECT_EQ(bmc_fru_date[5], 0);

    EXPECT_EQ(parse_bin_to_multirecord(record.data(), 22), 0);
    EXPECT_EQ(slot.length, 22u);
    Bytes big(KN_FRU_SLOT_SIZE + 1);
    EXPECT_EQ(parse_bin_to_multirecord(big.data(), 1025), -EINVAL);
    EXPECT_EQ(parse_bin_to_multirecord(big.data(), -1), -EINVAL);
}

TEST_F(FruCodec, EncoderRefusesFieldsBelow0xC0)
{
    defaultImage();
    std::memset(bmc_fru_date, 0xAB, sizeof(bmc_fru_date));
    bmc_fru_len = 7;
    fru.board.custom_type_length[2] = 0x85;
    EXPECT_EQ(get_board_date(), -1);
    EXPECT_EQ(get_fru_date(), KN_FRU_BOARD_FAILED);
    fru.board.custom_type_length[2] = 0xC3;
    fru.product.version.type_length = 0x03;
    EXPECT_EQ(get_fru_date(), KN_FRU_PRODUCT_FAILED);
    EXPECT_EQ(bmc_fru_len, 7u);
    EXPECT_EQ(bmc_fru_date[0], 0xAB);
    EXPECT_EQ(bmc_fru_date[sizeof(bmc_fru_date) - 1], 0xAB);

    // After fru_init alone every text field is absent.
    fru_init();
    EXPECT_EQ(get_chassis_date(), -1);
    EXPECT_EQ(get_fru_date(), KN_FRU_CHASSIS_FAILED);
}

TEST_F(FruCodec, RefusedHeaders)
{
    Bytes image = defaultImage();
    ++image[7];
    EXPECT_EQ(decode(image), KN_FRU_BAD_HEADER);
    --image[7];
    image[0] = 2;
    fixChecksum(image.data(), 8);
    EXPECT_EQ(decode(image), KN_FRU_BAD_HEADER);
    // All zero: the checksum holds, the version does not.
    EXPECT_EQ(decode(Bytes(200, 0)), KN_FRU_BAD_HEADER);
    EXPECT_EQ(decode(Bytes(7, 0)), KN_FRU_BAD_HEADER);
    EXPECT_EQ(parse_bin_date(nullptr, 0), KN_FRU_BAD_HEADER);
    EXPECT_EQ(parse_bin_to_head(image.data(), 7), -EINVAL);
    image[0] = 1;
    fixChecksum(image.data(), 8);
    ++image[1];
    EXPECT_EQ(parse_bin_to_head(image.data(), 8), -EMLINK);
}

TEST_F(FruCodec, RefusedAreas)
{
    const Bytes image = defaultImage();

    // Length byte 32: 256 bytes, more than the decoder takes.
    Bytes area(256, 0);
    area[0] = 1;
    area[1] = 32;
    fixChecksum(area.data(), 256);
    EXPECT_EQ(parse_bin_to_chassis(area.data()), -EMLINK);
    Bytes bigChassis = image;
    bigChassis.resize(chassisAt + 256 + 8, 0);
    bigChassis[chassisAt + 1] = 32;
    EXPECT_EQ(decode(bigChassis), KN_FRU_BAD_CHASSIS);
    EXPECT_EQ(decodeChassis({0x01, 0x00}), -EMLINK); // length 0

    Bytes badSum(image.begin() + chassisAt, image.begin() + chassisAt + 16);
    ++badSum[4];
    EXPECT_EQ(parse_bin_to_chassis(badSum.data()), -EMLINK);

    // No end marker before the checksum; a field running past it.
    EXPECT_EQ(decodeChassis({0x01, 0x02, 0x02, 0xC3, 'N', '/', 'A', 0xC3, 'N',
                             '/', 'A', 0xC0, 0xC0, 0xC0, 0xC0}),
              -EPIPE);
    EXPECT_EQ(decodeChassis({0x01, 0x02, 0x02, 0xCF, 'N', '/', 'A', 0xC3, 'N',
                             '/', 'A', 0xC1, 0, 0, 0}),
              -EPIPE);
    // Fixed fields below 0xC0.
    EXPECT_EQ(decodeChassis({0x01, 0x02, 0x02, 0x03, 'N', '/', 'A', 0xC3, 'N',
                             '/', 'A', 0xC1, 0, 0, 0}),
              -EINVAL);

    // Eight custom fields fit, a ninth does not.
    Bytes eight = {0x01, 0x02, 0x02, 0xC0, 0xC0};
    eight.insert(eight.end(), 8, 0xC0);
    eight.insert(eight.end(), {0xC1, 0x00});
    EXPECT_EQ(decodeChassis(eight), 0);
    EXPECT_EQ(fru.chassis.custom_type_length[7], 0xC0);
    EXPECT_EQ(fru.chassis.pad, 1);
    Bytes nine = {0x01, 0x02, 0x02, 0xC0, 0xC0};
    nine.insert(nine.end(), 9, 0xC0);
    nine.push_back(0xC1);
    EXPECT_EQ(decodeChassis(nine), -E2BIG);

    // An image cut inside the product area; without a length it is read
    // as far as the areas say.
    EXPECT_EQ(decode(image, static_cast<int>(image.size()) - 1),
              KN_FRU_BAD_PRODUCT);
    Bytes cut(image.begin(), image.begin() + productAt + 1);
    EXPECT_EQ(decode(cut), KN_FRU_BAD_PRODUCT);
    EXPECT_EQ(decode(image, 0), 0);
}

// Damaged and random images never make a decoder read outside the image:
// the sanitizer build checks every access of these exactly sized buffers.
TEST_F(FruCodec, RandomImagesAreDecodedSafely)
{
    const Bytes image = defaultImage();
    std::mt19937 random(20190727);
    auto below = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(random);
    };
    int decoded = 0;
    for (int round = 0; round < 1000; ++round)
    {
        Bytes damaged;
        if (round % 4 == 0)
        {
            damaged.resize(1 + below(KN_FRU_IMAGE_MAX));
            for (auto& byte : damaged)
            {
                byte = static_cast<uint8_t>(below(256));
            }
        }
        else
        {
            damaged = image;
            // Cut short now and then, else with some bytes after it.
            damaged.resize(below(3) == 0 ? 1 + below(image.size())
                                         : image.size() + below(64),
                           static_cast<uint8_t>(below(256)));
            for (size_t changes = 1 + below(6); changes > 0; --changes)
            {
                damaged[below(damaged.size())] =
                    static_cast<uint8_t>(below(256));
            }
        }
        // Mostly valid headers and checksums, to get past them.
        if (damaged.size() >= 8 && below(4) != 0)
        {
            damaged[0] = 1;
            fixChecksum(damaged.data(), 8);
            for (size_t unit : {size_t{1}, size_t{3}, size_t{11}})
            {
                const size_t at = unit * 8;
                if (at + 1 >= damaged.size())
                {
                    continue;
                }
                const size_t size = damaged[at + 1] * size_t{8};
                if (below(2) != 0 && size > 0 && at + size <= damaged.size())
                {
                    fixChecksum(damaged.data() + at, size);
                }
            }
        }
        fru_init();
        int result = decode(damaged);
        ASSERT_TRUE(result == 0 || (result >= KN_FRU_BAD_HEADER &&
                                    result <= KN_FRU_BAD_PRODUCT))
            << result;
        // Whatever decodes with all three areas encodes again.
        if (result == 0 && damaged[2] != 0 && damaged[3] != 0 &&
            damaged[4] != 0)
        {
            ++decoded;
            EXPECT_EQ(get_fru_date(), 0) << round;
        }
    }
    EXPECT_GT(decoded, 50);
}

} // namespace
