// Serial EEPROMs through SMBus transfers on the fake buses.
#include "libkn/eeprom.h"

#include "fake_i2c.hpp"

#include <gtest/gtest.h>

namespace
{

using kntest::FakeI2c;
using kntest::I2cMessage;
using Bytes = std::vector<uint8_t>;

constexpr int bus = 4;
constexpr uint8_t wide = 0x50;   // 16-bit word addresses
constexpr uint8_t narrow = 0x51; // 8-bit word addresses

class Eeprom : public kntest::FakeBusTest<bus>
{
  protected:
    void SetUp() override
    {
        FakeBusTest::SetUp();
        world.attach(bus, wide, wideChip);
        world.attach(bus, narrow, narrowChip);
    }

    std::shared_ptr<kntest::FakeEeprom> wideChip =
        std::make_shared<kntest::FakeEeprom>(2, 8192);
    std::shared_ptr<kntest::FakeEeprom> narrowChip =
        std::make_shared<kntest::FakeEeprom>(1, 256);
    const char* device = "/dev/i2c-4";
};

TEST_F(Eeprom, SixteenBitWordAddresses)
{
    eeprom_handle handle;
    ASSERT_EQ(eeprom_open(device, wide, KN_EEPROM_TYPE_16BIT_ADDR, &handle), 0);
    EXPECT_EQ(handle.dev, device);
    EXPECT_EQ(handle.addr, wide);
    EXPECT_EQ(handle.type, KN_EEPROM_TYPE_16BIT_ADDR);

    EXPECT_EQ(eeprom_write_byte(&handle, 0x1234, 0x56), 0);
    EXPECT_EQ(wideChip->memory[0x1234], 0x56);
    EXPECT_EQ(eeprom_read_byte(&handle, 0x1234), 0x56);
    // The next byte, read from where the chip's address now stands.
    wideChip->memory[0x1235] = 0x9A;
    EXPECT_EQ(eeprom_read_current_byte(&handle), 0x9A);

    EXPECT_EQ(world.messages(),
              (std::vector<I2cMessage>{
                  sent(wide, {0x12, 0x34, 0x56}), sent(wide, {0x12, 0x34}),
                  received(wide, {0x56}), received(wide, {0x9A})}));
    // Each address or data write pauses afterwards.
    EXPECT_EQ(world.pauses(),
              (std::vector<uint64_t>{KN_EEPROM_WRITE_PAUSE_US,
                                     KN_EEPROM_WRITE_PAUSE_US}));
    EXPECT_EQ(eeprom_close(&handle), 0);
    EXPECT_EQ(handle.fd, -1);
    EXPECT_EQ(handle.dev, nullptr);
    EXPECT_EQ(handle.type, 0);
}

TEST_F(Eeprom, EightBitWordAddressesSendTheLowByte)
{
    eeprom_handle handle;
    ASSERT_EQ(eeprom_open(device, narrow, KN_EEPROM_TYPE_8BIT_ADDR, &handle),
              0);
    EXPECT_EQ(eeprom_write_byte(&handle, 0x1234, 0x56), 0);
    EXPECT_EQ(eeprom_read_byte(&handle, 0x0034), 0x56);
    EXPECT_EQ(world.messages(),
              (std::vector<I2cMessage>{sent(narrow, {0x34, 0x56}),
                                       sent(narrow, {0x34}),
                                       received(narrow, {0x56})}));
    eeprom_close(&handle);
}

TEST_F(Eeprom, UnknownTypesAndFailedTransfers)
{
    eeprom_handle handle;
    ASSERT_EQ(eeprom_open(device, wide, 3, &handle), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(eeprom_read_byte(&handle, 1), -1);
    EXPECT_EQ(eeprom_write_byte(&handle, 1, 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERR: unknown eeprom type\nERR: unknown eeprom type\n");
    EXPECT_TRUE(world.messages().empty());
    eeprom_close(&handle);

    // A chip that does not answer: the error comes back, reported under
    // the step's name, and the pause is kept.
    ASSERT_EQ(eeprom_open(device, 0x57, KN_EEPROM_TYPE_16BIT_ADDR, &handle), 0);
    testing::internal::CaptureStderr();
    EXPECT_LT(eeprom_write_byte(&handle, 0x10, 1), 0);
    EXPECT_LT(eeprom_read_byte(&handle, 0x10), 0);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("Error i2c_write_3b: "), std::string::npos) << errors;
    EXPECT_NE(errors.find("Error i2c_write_2b: "), std::string::npos) << errors;
    EXPECT_EQ(world.pauses().size(), 2u);
    eeprom_close(&handle);
}

TEST_F(Eeprom, FailedOpensLeaveNothingOpen)
{
    eeprom_handle handle;
    EXPECT_EQ(eeprom_open("/dev/i2c-9", wide, 2, &handle), -1);
    EXPECT_EQ(handle.fd, -1);
    EXPECT_EQ(eeprom_close(&handle), 0); // closes nothing

    world.setBusy(bus, wide);
    EXPECT_LT(eeprom_open(device, wide, 2, &handle), 0);
    EXPECT_EQ(handle.fd, -1);
    EXPECT_EQ(eeprom_open(nullptr, narrow, 2, &handle), -1);
    EXPECT_EQ(eeprom_open(device, narrow, 2, nullptr), -1);
    EXPECT_EQ(eeprom_close(nullptr), -1);
}

// An adapter without word transfers: the open fails, the program goes on.
TEST_F(Eeprom, AnAdapterWithoutTheTransfersIsRefused)
{
    world.addBus(5, FakeI2c::defaultFunctions & ~0x00400000UL);
    eeprom_handle handle;
    testing::internal::CaptureStderr();
    EXPECT_EQ(eeprom_open("/dev/i2c-5", wide, 2, &handle), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nError: I2C_FUNC_SMBUS_WRITE_WORD_DATA function is "
              "required.\n\n");
    EXPECT_EQ(handle.fd, -1);
}

} // namespace
