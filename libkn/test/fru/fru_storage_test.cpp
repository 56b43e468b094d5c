// FRU images on EEPROMs: on the fake I2C bus, directly and behind a
// switch, and in the kernel's EEPROM files of the private /sys/class; the
// device table lives in the private main segment.
#include "libkn/fru.h"
#include "libkn/i2c.h"
#include "libkn/shm.h"

#include "../../src/core/byte_order.hpp"
#include "fake_i2c.hpp"
#include "fru_folder.hpp"
#include "testkit/sandbox.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::FakeI2c;
using kntest::I2cMessage;
using kntest::readText;
using kntest::writeText;
using Bytes = std::vector<uint8_t>;

constexpr int bus = 3;
constexpr uint8_t directAddress = 0x50;
constexpr uint8_t behindAddress = 0x51;
constexpr uint8_t narrowAddress = 0x52;
constexpr uint8_t absentAddress = 0x55;
constexpr uint8_t switchAddress = 0x71;
constexpr uint8_t switchChannel = 1;

const fs::path errorLog = "/run/BMCInfo/Development/Log/bmc/log_error";
const fs::path messageLog = "/tmp/log";

size_t count(const std::vector<uint64_t>& pauses, uint64_t microseconds)
{
    return static_cast<size_t>(
        std::count(pauses.begin(), pauses.end(), microseconds));
}

class FruStorage : public kntest::FruFolder
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        FruFolder::SetUp();
        world.reset();
        world.addBus(bus);
        world.attach(bus, directAddress, direct);
        world.attach(bus, switchAddress, fakeSwitch);
        world.attachBehind(bus, switchAddress, switchChannel, behindAddress,
                           behind);
        world.attach(bus, narrowAddress, narrow);
        base = static_cast<uint8_t*>(init_shm());
        ASSERT_NE(base, nullptr);
        std::fill(base + KN_SHM_FRU_DEVICE_OFFSET,
                  base + KN_SHM_SEL_QUEUE_OFFSET, 0);
        claimByte() = 0;
        fs::remove_all("/sys/class/i2c-dev");
        fs::remove_all("/run/obmcinfo");
        fs::remove(errorLog);
        fs::remove(messageLog);
    }

    void TearDown() override
    {
        if (testkit::sandboxed())
        {
            EXPECT_EQ(world.openDescriptors(), 0);
            FruFolder::TearDown();
        }
    }

    static fru_device descriptor(uint8_t address, uint16_t size,
                                 uint16_t offset = 0, uint8_t width = 2)
    {
        fru_device device{};
        device.route = KN_FRU_ROUTE_I2C;
        kn::putLe16(device.size, size);
        device.address_width = width;
        device.bus = bus;
        device.address = address;
        kn::putLe16(device.offset, offset);
        return device;
    }

    static fru_device switched(fru_device device)
    {
        device.behind_switch = 1;
        device.switch_channel = switchChannel;
        device.switch_address = switchAddress;
        return device;
    }

    void install(int id, const fru_device& device)
    {
        std::memcpy(base + KN_SHM_FRU_DEVICE_OFFSET +
                        KN_SHM_FRU_DEVICE_SIZE * id,
                    &device, sizeof(device));
    }

    uint8_t& claimByte()
    {
        return base[KN_SHM_MUX_CLAIM_OFFSET + KN_SHM_MUX_CLAIM_STRIDE * bus +
                    switchAddress];
    }

    // The image as get_fru_bin reads it, in a buffer of exactly its size.
    static int readBack(const fru_device& device, Bytes& image)
    {
        image.assign(kn::getLe16(device.size), 0);
        return get_fru_bin(device, image.data());
    }

    static void putImage(const Bytes& image)
    {
        std::copy(image.begin(), image.end(), bmc_fru_date);
        bmc_fru_len = static_cast<uint32_t>(image.size());
    }

    static Bytes slice(const std::vector<uint8_t>& memory, size_t at,
                       size_t size)
    {
        return Bytes(memory.begin() + static_cast<long>(at),
                     memory.begin() + static_cast<long>(at + size));
    }

    static void makeFile(const fs::path& path, size_t size)
    {
        fs::create_directories(path.parent_path());
        writeText(path, std::string(size, '\xFF'));
    }

    FakeI2c& world = FakeI2c::world();
    std::shared_ptr<kntest::FakeEeprom> direct =
        std::make_shared<kntest::FakeEeprom>(2, 4096);
    std::shared_ptr<kntest::FakeEeprom> behind =
        std::make_shared<kntest::FakeEeprom>(2, 4096);
    std::shared_ptr<kntest::FakeEeprom> narrow =
        std::make_shared<kntest::FakeEeprom>(1, 256);
    std::shared_ptr<kntest::FakeSwitch> fakeSwitch =
        std::make_shared<kntest::FakeSwitch>();
    uint8_t* base = nullptr;
};

TEST_F(FruStorage, ADeviceThatMayNotBeAccessedIsLeftAlone)
{
    fru_device device = descriptor(directAddress, 256);
    device.access = KN_FRU_NO_ACCESS;
    uint8_t buffer[8] = {};
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_fru_data(&device, 0, 8, buffer), -1);
    EXPECT_EQ(write_fru_data(&device, 0, 8, buffer), -1);
    Bytes image;
    EXPECT_EQ(readBack(device, image), -1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(world.messages().empty());
    EXPECT_FALSE(fs::exists(errorLog));
}

TEST_F(FruStorage, ReadsSendTheWordAddressInTheDescriptorsWidth)
{
    std::iota(direct->memory.begin(), direct->memory.end(), uint8_t{0});
    fru_device device = descriptor(directAddress, 256);
    uint8_t buffer[8] = {};
    EXPECT_EQ(read_fru_data(&device, 8, 8, buffer), 2);
    // The image offset is a little-endian pair: 0x0100.
    fru_device high = descriptor(directAddress, 256, 0x0100);
    EXPECT_EQ(read_fru_data(&high, 8, 8, buffer), 2);
    fru_device narrowDevice = descriptor(narrowAddress, 256, 0, 1);
    EXPECT_EQ(read_fru_data(&narrowDevice, 8, 1, buffer), 2);
    auto messages = world.messages();
    ASSERT_EQ(messages.size(), 6u);
    EXPECT_EQ(messages[0].bytes, (Bytes{0x00, 0x08}));
    EXPECT_EQ(messages[1].bytes, (Bytes{8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(messages[2].bytes, (Bytes{0x01, 0x08}));
    EXPECT_EQ(messages[4].bytes, (Bytes{0x08}));

    // A read that fails is logged and gives -1.
    fru_device absent = descriptor(absentAddress, 256);
    EXPECT_EQ(read_fru_data(&absent, 8, 8, buffer), -1);
    EXPECT_NE(readText(errorLog).find(
                  "-i2c read fru data failed channel=3 address=85 offset=8. "
                  "fru-bin:"),
              std::string::npos)
        << readText(errorLog);
}

TEST_F(FruStorage, WriteAndReadBackDirectlyAndBehindTheSwitch)
{
    const Bytes image = defaultImage();
    install(0, descriptor(directAddress, 256, 0x40));
    install(1, switched(descriptor(behindAddress, 256)));

    ASSERT_EQ(write_to_fru(0), 0);
    EXPECT_EQ(deviceid, 0u);
    EXPECT_EQ(slice(direct->memory, 0x40, image.size()), image);
    // One pause after every full 8-byte piece.
    EXPECT_EQ(count(world.pauses(), KN_FRU_PIECE_PAUSE_US), 25u);

    world.clearMessages();
    ASSERT_EQ(write_to_fru(1), 0);
    EXPECT_EQ(deviceid, 1u);
    EXPECT_EQ(slice(behind->memory, 0, image.size()), image);
    EXPECT_EQ(fakeSwitch->control, 1 << switchChannel);
    EXPECT_EQ(claimByte(), 0); // released again

    for (int id : {0, 1})
    {
        fru_device device{};
        std::memcpy(&device,
                    base + KN_SHM_FRU_DEVICE_OFFSET +
                        KN_SHM_FRU_DEVICE_SIZE * id,
                    sizeof(device));
        Bytes back;
        ASSERT_EQ(readBack(device, back), 0) << id;
        EXPECT_EQ(slice(back, 0, image.size()), image) << id;
    }

    // A switch that another process holds: nothing moves, and the claim
    // stays theirs.
    claimByte() = 1;
    world.clearMessages();
    fru_device held = switched(descriptor(behindAddress, 256));
    uint8_t buffer[8] = {};
    EXPECT_EQ(read_fru_data(&held, 0, 8, buffer), KN_MUX_CLAIMED);
    Bytes back;
    EXPECT_EQ(readBack(held, back), -1);
    EXPECT_EQ(write_to_fru(1), -1);
    EXPECT_EQ(fru_modify_key(1, "ProductInfoArea", "SerialNum", "1"),
              KN_FRU_READ_FAILED);
    EXPECT_TRUE(world.messages().empty());
    EXPECT_EQ(claimByte(), 1);

    // Ids outside the table, and an image longer than the device's.
    EXPECT_EQ(write_to_fru(KN_FRU_DEVICE_MAX + 1), -1);
    EXPECT_EQ(write_to_fru(-1), -1);
    putImage(image);
    install(2, descriptor(directAddress, 199));
    EXPECT_EQ(write_to_fru(2), -1);
    EXPECT_TRUE(world.messages().empty());
}

TEST_F(FruStorage, KernelEepromFiles)
{
    const Bytes image = defaultImage();
    const fs::path file = "/sys/class/i2c-dev/i2c-3/device/3-0050/eeprom";
    makeFile(file, 512);
    fru_device device = descriptor(directAddress, 256, 16);
    device.route = KN_FRU_ROUTE_FILE;
    install(0, device);
    ASSERT_EQ(write_to_fru(0), 0);
    std::string content = readText(file);
    ASSERT_EQ(content.size(), 512u);
    EXPECT_EQ(Bytes(content.begin() + 16, content.begin() + 216), image);
    EXPECT_EQ(content[15], '\xFF');
    EXPECT_EQ(content[216], '\xFF');
    Bytes back;
    ASSERT_EQ(readBack(device, back), 0);
    EXPECT_EQ(slice(back, 0, image.size()), image);

    // Behind a switch: the extension bus that the channel leads to.
    fs::create_directories("/run/obmcinfo/i2c");
    writeText("/run/obmcinfo/i2c/i2c-3-1", "17\n");
    const fs::path behindFile =
        "/sys/class/i2c-dev/i2c-3/device/i2c-17/17-0051/eeprom";
    makeFile(behindFile, 256);
    fru_device switchedFile = switched(descriptor(behindAddress, 256));
    switchedFile.route = KN_FRU_ROUTE_FILE;
    install(1, switchedFile);
    ASSERT_EQ(write_to_fru(1), 0);
    ASSERT_EQ(readBack(switchedFile, back), 0);
    EXPECT_EQ(slice(back, 0, image.size()), image);
    EXPECT_TRUE(world.messages().empty());

    // No extension bus known: -1 at once, whatever bus 0 holds.
    writeText("/run/obmcinfo/i2c/i2c-3-1", "0\n");
    makeFile("/sys/class/i2c-dev/i2c-3/device/i2c-0/0-0051/eeprom", 256);
    EXPECT_EQ(readBack(switchedFile, back), -1);
    EXPECT_EQ(write_to_fru(1), -1);

    // A file too short for the piece: five tries, 100 ms apart; a missing
    // file: five tries without pauses for reading, -1 at once for writing.
    world.reset();
    uint8_t buffer[8] = {};
    fru_device shortFile = device;
    kn::putLe16(shortFile.offset, 508);
    EXPECT_EQ(read_fru_data(&shortFile, 0, 8, buffer), -1);
    EXPECT_EQ(world.pauses(), std::vector<uint64_t>(5, KN_FRU_RETRY_PAUSE_US));
    fs::remove(file);
    world.reset();
    EXPECT_EQ(read_fru_data(&device, 0, 8, buffer), -1);
    EXPECT_EQ(write_fru_data(&device, 0, 8, buffer), -1);
    EXPECT_TRUE(world.pauses().empty());
    EXPECT_FALSE(fs::exists(file));

    // A write that the file refuses: five tries, 100 ms apart, and -1.
    fs::create_symlink("/dev/full", file);
    world.reset();
    EXPECT_EQ(write_fru_data(&device, 0, 8, buffer), -1);
    EXPECT_EQ(world.pauses(), std::vector<uint64_t>(5, KN_FRU_RETRY_PAUSE_US));

    // Any other route moves nothing and succeeds.
    device.route = 7;
    EXPECT_EQ(read_fru_data(&device, 0, 8, buffer), 0);
    EXPECT_EQ(write_fru_data(&device, 0, 8, buffer), 0);
}

TEST_F(FruStorage, AnImageOf13BytesIntoABufferOf13)
{
    for (size_t i = 0; i < 13; ++i)
    {
        direct->memory[i] = static_cast<uint8_t>(0xA0 + i);
    }
    fru_device device = descriptor(directAddress, 13);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[13]);
    ASSERT_EQ(get_fru_bin(device, buffer.get()), 0);
    EXPECT_EQ(Bytes(buffer.get(), buffer.get() + 13),
              slice(direct->memory, 0, 13));
    auto messages = world.messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[1].bytes.size(), 8u);
    EXPECT_EQ(messages[2].bytes, (Bytes{0x00, 0x08}));
    EXPECT_EQ(messages[3].bytes.size(), 5u);
}

TEST_F(FruStorage, NothingIsWrittenWithoutAWholeImage)
{
    const Bytes image = defaultImage();
    auto writes = [&] {
        size_t n = 0;
        for (const auto& message : world.messages())
        {
            n += !message.read && message.bytes.size() > 2;
        }
        return n;
    };

    install(0, descriptor(absentAddress, 256));
    EXPECT_EQ(fru_modify_key(0, "ProductInfoArea", "SerialNum", "1"),
              KN_FRU_READ_FAILED);
    EXPECT_NE(readText(messageLog).find(" fru_modify_key error.\n"),
              std::string::npos);

    // A damaged header on the device.
    Bytes damaged = image;
    damaged[7] ^= 1;
    std::copy(damaged.begin(), damaged.end(), direct->memory.begin());
    install(0, descriptor(directAddress, 256));
    EXPECT_EQ(fru_modify_key(0, "ProductInfoArea", "SerialNum", "1"),
              KN_FRU_READ_FAILED);
    EXPECT_NE(readText(messageLog).find(" get fru .bin error:9.\n"),
              std::string::npos);

    // An image without a product area cannot be encoded again.
    Bytes noProduct(image.begin(), image.begin() + 88);
    noProduct[4] = 0;
    noProduct[7] = 0;
    noProduct[7] = static_cast<uint8_t>(
        0x100 - (noProduct[0] + noProduct[2] + noProduct[3]));
    std::copy(noProduct.begin(), noProduct.end(), direct->memory.begin());
    install(0, descriptor(directAddress, 88));
    EXPECT_EQ(fru_modify_key(0, "BoardInfoArea", "SerialNum", "1"),
              KN_FRU_ENCODE_FAILED);
    EXPECT_NE(readText(messageLog).find("get_fru_date error"),
              std::string::npos);

    std::copy(image.begin(), image.end(), direct->memory.begin());
    install(0, descriptor(directAddress, 256));
    EXPECT_EQ(fru_modify_key(0, "ProductInfoArea", "Nothing", "1"), -EFAULT);
    EXPECT_EQ(fru_modify_key(0, "ProductInfoArea", nullptr, "1"),
              KN_FRU_MISSING_ARGUMENT);
    EXPECT_EQ(fru_modify_key(KN_FRU_DEVICE_MAX + 1, "ProductInfoArea",
                             "SerialNum", "1"),
              -1);
    install(0, descriptor(directAddress, KN_FRU_IMAGE_MAX + 1));
    const size_t messages = world.messages().size();
    EXPECT_EQ(fru_modify_key(0, "ProductInfoArea", "SerialNum", "1"),
              KN_FRU_READ_FAILED);
    EXPECT_EQ(world.messages().size(), messages); // refused before reading
    EXPECT_EQ(writes(), 0u);
}

TEST_F(FruStorage, OneByteWordAddresses)
{
    const Bytes image = defaultImage();
    install(3, descriptor(narrowAddress, 256, 0x10, 1));
    ASSERT_EQ(write_to_fru(3), 0);
    EXPECT_EQ(slice(narrow->memory, 0x10, image.size()), image);
    // Every byte went out as word address and value, nothing more.
    for (const auto& message : world.messages())
    {
        if (message.address == narrowAddress && !message.read)
        {
            ASSERT_EQ(message.bytes.size(), 2u);
        }
    }
    Bytes back;
    ASSERT_EQ(readBack(descriptor(narrowAddress, 240, 0x10, 1), back), 0);
    EXPECT_EQ(slice(back, 0, image.size()), image);

    // A chip that takes no write: each byte is tried five times, and the
    // write fails.
    narrow->refuseWrites = true;
    world.clearMessages();
    EXPECT_EQ(write_to_fru(3), -1);
    auto messages = world.messages();
    EXPECT_EQ(messages.size(), 8u * KN_FRU_TRIES);
    EXPECT_EQ(messages.front().bytes, (Bytes{0x10, image[0]}));
}

// A word address past the chip's last one would wrap onto its start:
// such reads and writes are refused before anything is sent.
TEST_F(FruStorage, WordAddressesStayOnTheChip)
{
    putImage(defaultImage());
    install(0, descriptor(narrowAddress, 256, 0x80, 1));
    install(1, descriptor(directAddress, 256, 0xFF80));
    const Bytes narrowBefore = narrow->memory;
    const Bytes directBefore = direct->memory;
    EXPECT_EQ(write_to_fru(0), -1);
    EXPECT_EQ(write_to_fru(1), -1);
    uint8_t buffer[16] = {};
    fru_device high = descriptor(directAddress, 256, 0xFF80);
    EXPECT_EQ(read_fru_data(&high, 0x78, 16, buffer), -1);
    EXPECT_EQ(read_fru_data(&high, 0x70, 16, buffer), 2); // the last 16
    EXPECT_EQ(world.messages().size(), 2u);
    EXPECT_EQ(narrow->memory, narrowBefore);
    EXPECT_EQ(direct->memory, directBefore);
}

// An image with an internal-use area and multirecord records: a new serial
// number leaves both areas byte for byte, in the format's order.
TEST_F(FruStorage, AChangedFieldKeepsTheOtherAreas)
{
    const Bytes plain = defaultImage();
    const Bytes internal = {1,    'O',  'E',  'M', '-', 'U', 'S', 'E',
                            0x11, 0x22, 0x33, 0,   0,   0,   0,   0};
    // Two records: an OEM one, then the last one (end-of-list flag).
    const Bytes records = {0xC0, 0x02, 3, 0xFA, 0x41, 1, 2, 3,
                           0xC1, 0x82, 2, 0xFB, 0xC0, 4, 1};
    Bytes image = {1,
                   1,
                   3,
                   static_cast<uint8_t>(plain[3] + 2),
                   static_cast<uint8_t>(plain[4] + 2),
                   static_cast<uint8_t>(3 + (plain.size() - 8) / 8),
                   0,
                   0};
    image[7] = static_cast<uint8_t>(
        0x100 - (std::accumulate(image.begin(), image.end(), 0) & 0xFF));
    image.insert(image.end(), internal.begin(), internal.end());
    image.insert(image.end(), plain.begin() + 8, plain.end());
    image.insert(image.end(), records.begin(), records.end());
    std::copy(image.begin(), image.end(), direct->memory.begin());
    install(0, descriptor(directAddress, 512));

    ASSERT_EQ(fru_modify_key(0, "ProductInfoArea", "SerialNum", "SN-4711"), 0);
    const Bytes after = slice(direct->memory, 0, 512);
    ASSERT_EQ(parse_bin_date(after.data(), 512), 0);
    EXPECT_EQ(text(fru.product.serial_number), "SN-4711");
    EXPECT_TRUE(after[1] < after[2] && after[2] < after[3] &&
                after[3] < after[4] && after[4] < after[5]);
    EXPECT_EQ(slice(after, after[1] * 8u, internal.size()), internal);
    EXPECT_EQ(slice(after, after[5] * 8u, records.size()), records);

    // A result that does not fit the device is not written at all.
    install(1, descriptor(directAddress, 256));
    const Bytes before = direct->memory;
    EXPECT_EQ(fru_modify_key(1, "ProductInfoArea", "SerialNum",
                             std::string(60, 'L').c_str()),
              -1);
    EXPECT_EQ(direct->memory, before);
}

TEST_F(FruStorage, ImageFiles)
{
    const Bytes image = defaultImage();
    writeText(KN_FRU_BIN_PATH, std::string(1000, 'x'));
    ASSERT_EQ(write_to_bin(), 0);
    std::string content = readText(KN_FRU_BIN_PATH);
    EXPECT_EQ(Bytes(content.begin(), content.end()), image);

    fs::remove(KN_FRU_BIN_PATH);
    mode_t previous = umask(022);
    testing::internal::CaptureStdout();
    EXPECT_EQ(create_fru_bin(), 0);
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    umask(previous);
    struct stat info
    {};
    ASSERT_EQ(stat(KN_FRU_BIN_PATH, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_EQ(readText(KN_FRU_BIN_PATH), content);

    EXPECT_EQ(backup_fru_bin(image.data(), 16), 0);
    EXPECT_EQ(readText(KN_FRU_BACKUP_PATH), content.substr(0, 16));
    EXPECT_EQ(WriteFile("placed", image.data(), 0x10004, 3), 0);
    EXPECT_EQ(readText("placed"), std::string(4, '\0') + content.substr(0, 3));
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteFile("no/such/folder", image.data(), 0, 3), 1);
    EXPECT_EQ(hexdump(image.data(), 3), 0);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "WriteFile: open no/such/folder file fail\n01 00 01 \n");
}

TEST_F(FruStorage, CommandsAreRunUntilTheySucceed)
{
    EXPECT_EQ(write_fru_cmd("echo run >> runs; false"), -1);
    EXPECT_EQ(readText("runs").size(), 20u * 4);
    EXPECT_EQ(write_fru_cmd("false"), -1);
    EXPECT_EQ(write_fru_cmd("echo run >> third; test $(wc -l < third) -ge 3"),
              0);
    EXPECT_EQ(readText("third").size(), 3u * 4);
    EXPECT_EQ(write_fru_cmd(nullptr), -1);
}

// The fru tool's two writes: the default fru.ini onto the device, then a
// new product serial number; only that field and the product area's
// checksum change on the device.
TEST_F(FruStorage, DefaultImageThenANewSerialNumber)
{
    install(0, descriptor(directAddress, 256));
    ASSERT_EQ(
        config_default_ini(default_ini, KN_FRU_INI_LINES, KN_FRU_INI_PATH), 0);
    deviceid = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(write_fru_ini(), 0);
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    const Bytes before = direct->memory;

    ASSERT_EQ(fru_modify_key(0, "ProductInfoArea", "SerialNum", "000099998888"),
              0);
    const Bytes& after = direct->memory;
    // The product area starts at unit 11 (byte 88); its serial number's
    // characters at 88 + 3 + 10 + 13 + 37 + 4 + 1 = 156, its checksum at
    // the area's last byte, 88 + 112 - 1.
    std::vector<size_t> changed;
    for (size_t i = 0; i < after.size(); ++i)
    {
        if (before[i] != after[i])
        {
            changed.push_back(i);
        }
    }
    EXPECT_EQ(changed, (std::vector<size_t>{160, 161, 162, 163, 164, 165, 166,
                                            167, 199}));
    EXPECT_EQ(std::string(after.begin() + 156, after.begin() + 168),
              "000099998888");
    EXPECT_EQ(after[155], 0xCC);
}

} // namespace
