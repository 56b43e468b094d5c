// I2C transfers and switch channels on the fake buses.
#include "libkn/i2c.h"
#include "libkn/shm.h"

#include "child.hpp"
#include "fake_i2c.hpp"
#include "testkit/emulator.hpp"
#include "testkit/sandbox.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using kntest::I2cMessage;
using Bytes = std::vector<uint8_t>;

constexpr int bus = 3;
constexpr uint8_t eepromAddress = 0x50;
constexpr uint8_t switchAddress = 0x70;

class I2c : public kntest::FakeBusTest<bus>
{
  protected:
    void SetUp() override
    {
        FakeBusTest::SetUp();
        world.attach(bus, eepromAddress, eeprom);
        world.attach(bus, switchAddress, fakeSwitch);
        world.attachBehind(bus, switchAddress, 1, 0x51, behind);
        fd = i2c_open(bus);
        ASSERT_GE(fd, 0);
    }

    void TearDown() override
    {
        if (fd >= 0)
        {
            i2c_close(fd);
        }
        FakeBusTest::TearDown();
    }

    std::shared_ptr<kntest::FakeEeprom> eeprom =
        std::make_shared<kntest::FakeEeprom>(2, 4096);
    std::shared_ptr<kntest::FakeSwitch> fakeSwitch =
        std::make_shared<kntest::FakeSwitch>();
    std::shared_ptr<kntest::FakeEeprom> behind =
        std::make_shared<kntest::FakeEeprom>(1, 256);
    int fd = -1;
};

TEST_F(I2c, OpenOnlyExistingBuses)
{
    EXPECT_EQ(i2c_open(9), -1);
    int second = i2c_open(bus);
    EXPECT_GE(second, 0);
    EXPECT_EQ(i2c_close(second), 0);
    EXPECT_EQ(i2cInit(), 0);
    EXPECT_EQ(i2cUnInit(), 0);
}

TEST_F(I2c, RegisterWritesAndReadsWithOffsetWidths)
{
    const uint8_t data[] = {0xD0, 0xD1, 0xD2};
    EXPECT_EQ(i2c_write_data(fd, eepromAddress, 0x0102, 2, data, 3), 1);
    uint8_t back[3] = {};
    EXPECT_EQ(i2c_read_data(fd, eepromAddress, 0x0102, 2, back, 3), 2);
    EXPECT_EQ(Bytes(back, back + 3), Bytes(data, data + 3));
    EXPECT_EQ(world.messages(),
              (std::vector<I2cMessage>{
                  sent(eepromAddress, {0x01, 0x02, 0xD0, 0xD1, 0xD2}),
                  sent(eepromAddress, {0x01, 0x02}),
                  received(eepromAddress, {0xD0, 0xD1, 0xD2})}));

    // Width 1 sends the low byte only; width 0 sends the data as it is.
    world.clearMessages();
    EXPECT_EQ(i2c_write_data(fd, 0x51, 0x1234, 1, data, 1), -1); // unswitched
    EXPECT_EQ(i2c_write_data(fd, eepromAddress, 0x1234, 0, data, 2), 1);
    EXPECT_EQ(world.messages(),
              (std::vector<I2cMessage>{sent(0x51, {0x34, 0xD0}, false),
                                       sent(eepromAddress, {0xD0, 0xD1})}));
    EXPECT_EQ(i2c_write_data(fd, eepromAddress, 0, 3, data, 1), -1);
}

TEST_F(I2c, TransfersAboveTheMessageSizeAreRefusedBeforeTheBus)
{
    Bytes data(254, 0xAB);
    EXPECT_EQ(i2c_write_data(fd, eepromAddress, 0, 2, data.data(), 254), -1);
    EXPECT_EQ(i2c_read_data(fd, eepromAddress, 0, 2, data.data(), 254), -1);
    EXPECT_EQ(i2c_read_data(fd, eepromAddress, 0, 2, nullptr, 4), -1);
    EXPECT_TRUE(world.messages().empty());

    EXPECT_EQ(i2c_write_data(fd, eepromAddress, 0, 2, data.data(), 253), 1);
    Bytes back(253);
    EXPECT_EQ(i2c_read_data(fd, eepromAddress, 0, 2, back.data(), 253), 2);
    EXPECT_EQ(back, Bytes(253, 0xAB));
}

TEST_F(I2c, CombinedTransfers)
{
    const uint8_t offset[] = {0x00, 0x10};
    uint8_t back[2] = {};
    eeprom->memory[0x10] = 0x42;
    EXPECT_EQ(i2c_read_data_new(fd, eepromAddress, offset, 2, back, 1), 2);
    EXPECT_EQ(back[0], 0x42);

    // Without a read length only the write message goes out.
    world.clearMessages();
    EXPECT_EQ(i2c_rw_data(fd, eepromAddress, offset, 2, nullptr, 0), 1);
    EXPECT_EQ(world.messages(),
              std::vector<I2cMessage>{sent(eepromAddress, {0x00, 0x10})});
    EXPECT_EQ(i2c_rw_data(fd, eepromAddress, offset, 2, back, 2), 2);
    EXPECT_EQ(i2c_rw_data(fd, eepromAddress, nullptr, 2, back, 2), -1);
    EXPECT_EQ(i2c_rw_data(fd, eepromAddress, offset, 0, back, 2), -1);
    EXPECT_EQ(i2c_rw_data(fd, eepromAddress, offset, 2, nullptr, 2), -1);
    EXPECT_EQ(i2c_read_data_new(fd, eepromAddress, offset, -1, back, 1), -1);
    EXPECT_EQ(world.messages().size(), 3u);
}

TEST_F(I2c, ProbingAddresses)
{
    EXPECT_EQ(check_slave_active(fd, eepromAddress), 1);
    EXPECT_EQ(check_slave_active(fd, 0x51), 0); // behind a closed channel
    EXPECT_EQ(check_slave_active(0, eepromAddress), -1);
    EXPECT_EQ(internal_master_write(-1, eepromAddress, "x", 1), -1);
    EXPECT_EQ(internal_master_write(fd, eepromAddress, "\x00\x05", 2), 2);
    EXPECT_EQ(eeprom->pointer, 5u);

    // Every address answers: the last one counts as well.
    for (int address = 0; address < 128; ++address)
    {
        world.attach(bus, static_cast<uint8_t>(address),
                     std::make_shared<kntest::FakeCpld>());
    }
    EXPECT_EQ(check_slave_active(fd, 127), 1);
    EXPECT_EQ(check_slave_active(fd, 0), 1);
}

TEST_F(I2c, SendAndReceiveWithRetries)
{
    eeprom->memory[0x0203] = 0x77;
    const uint8_t address[] = {0x02, 0x03};
    uint8_t back = 0;
    EXPECT_EQ(i2cSendRecvMsg(0, bus, eepromAddress, address, 2, &back, 1, 3, 0),
              0);
    EXPECT_EQ(back, 0x77);
    EXPECT_EQ(world.messages().size(), 2u);

    // Nobody answers: every try is made, then -2.
    world.clearMessages();
    EXPECT_EQ(i2cSendRecvMsg(0, bus, 0x60, address, 2, &back, 1, 4, 0), -2);
    EXPECT_EQ(world.messages().size(), 4u);
    EXPECT_EQ(
        i2cSendRecvMsg(0, bus, eepromAddress, address, 2, nullptr, 0, 0, 0),
        -2);
    EXPECT_EQ(i2cSendRecvMsg(0, 9, eepromAddress, address, 2, nullptr, 0, 3, 0),
              -1);
    EXPECT_EQ(
        i2cSendRecvMsg(0, bus, eepromAddress, nullptr, 2, nullptr, 0, 3, 0),
        -1);

    // A write that fails is not made good by a read that works.
    world.clearMessages();
    eeprom->refuseWrites = true;
    EXPECT_EQ(i2cSendRecvMsg(0, bus, eepromAddress, address, 2, &back, 1, 2, 0),
              -2);
    for (const auto& m : world.messages())
    {
        EXPECT_FALSE(m.read);
    }

    // An address that cannot be selected is not written at all.
    world.clearMessages();
    world.setBusy(bus, 0x52);
    EXPECT_EQ(i2cSendRecvMsg(0, bus, 0x52, address, 2, nullptr, 0, 3, 0), -2);
    EXPECT_TRUE(world.messages().empty());
}

TEST_F(I2c, SwitchChannelsCountFromOne)
{
    EXPECT_EQ(set_9546switch(bus, switchAddress, 1), 0);
    EXPECT_EQ(world.messages(),
              std::vector<I2cMessage>{sent(switchAddress, {0x00, 0x01})});
    EXPECT_EQ(set_9546switch(bus, switchAddress, 2), 0);
    EXPECT_EQ(fakeSwitch->control, 0x02);
    // Channel bit 1 opens the way to the device behind it.
    EXPECT_EQ(check_slave_active(fd, 0x51), 1);

    world.clearMessages();
    EXPECT_EQ(set_9546switch(bus, switchAddress, 0), -1);
    EXPECT_EQ(set_9546switch(bus, switchAddress, 9), -1);
    EXPECT_TRUE(world.messages().empty());
}

class SwitchClaim : public I2c
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        I2c::SetUp();
        base = static_cast<uint8_t*>(get_shm_address());
        ASSERT_NE(base, nullptr);
        std::fill(base + KN_SHM_MUX_CLAIM_OFFSET,
                  base + KN_SHM_MAIL_CONFIG_OFFSET, 0);
    }

    uint8_t& claimByte(int busNumber, uint8_t mux)
    {
        return base[KN_SHM_MUX_CLAIM_OFFSET +
                    KN_SHM_MUX_CLAIM_STRIDE * busNumber + mux];
    }

    uint8_t* base = nullptr;
};

TEST_F(SwitchClaim, ClaimReleaseAndClaimAgain)
{
    // Channels count from 0 here.
    EXPECT_EQ(switch_channel_request(fd, bus, 1, switchAddress, 1), 0);
    EXPECT_EQ(world.messages(),
              std::vector<I2cMessage>{sent(switchAddress, {0x00, 0x02})});
    EXPECT_EQ(claimByte(bus, switchAddress), 1);

    world.clearMessages();
    EXPECT_EQ(switch_channel_request(fd, bus, 2, switchAddress, 1),
              KN_MUX_CLAIMED);
    EXPECT_EQ(switch_channel_request(fd, bus, 2, switchAddress, 0), 0);
    EXPECT_TRUE(world.messages().empty());
    EXPECT_EQ(claimByte(bus, switchAddress), 0);
    EXPECT_EQ(fakeSwitch->control, 0x02); // a release sends nothing

    EXPECT_EQ(switch_channel_request(fd, bus, 2, switchAddress, 1), 0);
    EXPECT_EQ(fakeSwitch->control, 0x04);
}

TEST_F(SwitchClaim, AFailedWriteLeavesTheSwitchFree)
{
    EXPECT_EQ(switch_channel_request(fd, bus, 0, 0x71, 1), KN_MUX_WRITE_FAILED);
    EXPECT_EQ(claimByte(bus, 0x71), 0);
}

TEST_F(SwitchClaim, ClaimBytesOutsideTheTableAreRefused)
{
    std::vector<uint8_t> before(base + KN_SHM_MUX_CLAIM_OFFSET - 64,
                                base + KN_SHM_MAIL_CONFIG_OFFSET + 64);
    EXPECT_EQ(switch_channel_request(fd, 15, 0, switchAddress, 1), -1);
    EXPECT_EQ(switch_channel_request(fd, -1, 0, switchAddress, 0), -1);
    EXPECT_EQ(switch_channel_request(fd, bus, 0, 127, 1), -1);
    EXPECT_EQ(switch_channel_request(fd, bus, 8, switchAddress, 1), -1);
    EXPECT_EQ(std::vector<uint8_t>(base + KN_SHM_MUX_CLAIM_OFFSET - 64,
                                   base + KN_SHM_MAIL_CONFIG_OFFSET + 64),
              before);
    EXPECT_TRUE(world.messages().empty());
    // The last bus and address of the table are fine.
    EXPECT_EQ(switch_channel_request(fd, 14, 0, 126, 0), 0);
}

// Processes that claim one switch at the same moment: exactly one wins.
TEST_F(SwitchClaim, OneWinnerAmongConcurrentClaimers)
{
    constexpr int claimers = 12;
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int i = 0; i < claimers; ++i)
    {
        children.push_back(kntest::forkChild([&] {
            gate.wait();
            return switch_channel_request(fd, bus, 0, switchAddress, 1);
        }));
    }
    gate.open();
    int winners = 0;
    for (pid_t child : children)
    {
        auto status = kntest::waitChild(child);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(*status == 0 || *status == KN_MUX_CLAIMED) << *status;
        winners += *status == 0;
    }
    EXPECT_EQ(winners, 1);
    EXPECT_EQ(claimByte(bus, switchAddress), 1);
}

// A process whose main segment cannot be attached gets 128.
TEST_F(SwitchClaim, NoSegmentNoClaim)
{
    const char* probe = std::getenv("LIBKN_PROBE");
    ASSERT_NE(probe, nullptr);
    std::string command =
        testkit::hostShellCommand({probe, "switch-without-segment"});
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
