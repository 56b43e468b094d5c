// CPLD registers on the fake bus 11, with the error log in the sandbox's
// private /run.
#include "libkn/cpld-rw-reg.h"
#include "libkn/log.h"

#include "fake_i2c.hpp"
#include "testkit/sandbox.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::I2cMessage;
using Bytes = std::vector<uint8_t>;

std::string errorLog()
{
    std::ifstream in(log_path[KN_LOG_ERROR]);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Cpld : public kntest::FakeBusTest<KN_CPLD_BUS>
{
  protected:
    void SetUp() override
    {
        FakeBusTest::SetUp();
        world.attach(KN_CPLD_BUS, KN_CPLD_ADDRESS, cpld);
    }

    std::shared_ptr<kntest::FakeCpld> cpld =
        std::make_shared<kntest::FakeCpld>();
};

TEST_F(Cpld, RegisterWritesAndReads)
{
    int fd = CPLDChannelEnable();
    ASSERT_GE(fd, 0);
    Bytes data(KN_CPLD_DATA_MAX);
    for (size_t i = 0; i < data.size(); ++i)
    {
        data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    EXPECT_EQ(CPLDModuleWriteRegister(fd, 0x10, data.data(), 20), 0);
    EXPECT_EQ(Bytes(cpld->registers + 0x10, cpld->registers + 0x24), data);

    uint8_t back[4] = {};
    EXPECT_EQ(CPLDModuleReadRegister(fd, 0x12, back, 3), 0);
    EXPECT_EQ(Bytes(back, back + 3), (Bytes{0xA2, 0xA3, 0xA4}));

    Bytes message{0x10};
    message.insert(message.end(), data.begin(), data.end());
    EXPECT_EQ(
        world.messages(),
        (std::vector<I2cMessage>{
            {KN_CPLD_BUS, KN_CPLD_ADDRESS, false, message, true},
            {KN_CPLD_BUS, KN_CPLD_ADDRESS, false, {0x12}, true},
            {KN_CPLD_BUS, KN_CPLD_ADDRESS, true, {0xA2, 0xA3, 0xA4}, true}}));
    EXPECT_TRUE(world.pauses().empty());
    EXPECT_EQ(CPLDChannelDisale(fd), 0);
}

TEST_F(Cpld, BadRequestsTouchNoBus)
{
    int fd = CPLDChannelEnable();
    ASSERT_GE(fd, 0);
    Bytes data(21, 1);
    uint8_t back[32];
    std::fill(std::begin(back), std::end(back), 0xEE);
    EXPECT_EQ(CPLDModuleWriteRegister(fd, 0, data.data(), 21),
              KN_CPLD_BAD_ARGUMENT);
    EXPECT_EQ(CPLDModuleWriteRegister(fd, 0, data.data(), 0),
              KN_CPLD_BAD_ARGUMENT);
    EXPECT_EQ(CPLDModuleWriteRegister(fd, 0, nullptr, 1), KN_CPLD_BAD_ARGUMENT);
    EXPECT_EQ(CPLDModuleWriteRegister(-1, 0, data.data(), 1),
              KN_CPLD_BAD_ARGUMENT);
    // A read longer than a register read is refused, not overrun.
    EXPECT_EQ(CPLDModuleReadRegister(fd, 0, back, 21), KN_CPLD_BAD_ARGUMENT);
    EXPECT_EQ(CPLDModuleReadRegister(fd, 0, nullptr, 1), KN_CPLD_BAD_ARGUMENT);
    EXPECT_TRUE(world.messages().empty());
    EXPECT_TRUE(world.pauses().empty());
    for (uint8_t b : back)
    {
        EXPECT_EQ(b, 0xEE);
    }
    CPLDChannelDisale(fd);
}

TEST_F(Cpld, OpenTransferCloseInOneCall)
{
    const uint8_t data[] = {7, 8};
    EXPECT_EQ(CPLDModuleWriteDatas(0x30, data, 2), 0);
    uint8_t back[2] = {};
    EXPECT_EQ(CPLDModuleReadDatas(0x30, back, 2), 0);
    EXPECT_EQ(Bytes(back, back + 2), (Bytes{7, 8}));

    world.reset(); // no bus 11 any more
    EXPECT_EQ(CPLDModuleWriteDatas(0x30, data, 2), KN_CPLD_BAD_ARGUMENT);
    EXPECT_EQ(CPLDModuleReadDatas(0x30, back, 2), KN_CPLD_BAD_ARGUMENT);
    EXPECT_EQ(CPLDChannelEnable(), -1);
}

// A CPLD that never answers: five tries a second apart, then one line in
// the error log.
TEST_F(Cpld, SilentCpldIsTriedFiveTimesThenLogged)
{
    if (!testkit::sandboxed())
    {
        GTEST_SKIP() << testkit::sandboxRefusal();
    }
    fs::remove(log_path[KN_LOG_ERROR]);
    world.reset();
    world.addBus(KN_CPLD_BUS);
    const uint8_t data[] = {1};
    EXPECT_EQ(CPLDModuleWriteDatas(7, data, 1), KN_CPLD_WRITE_FAILED);
    EXPECT_EQ(world.messages().size(), 5u);
    EXPECT_EQ(world.pauses(), std::vector<uint64_t>(5, KN_CPLD_RETRY_PAUSE_US));
    std::string log = errorLog();
    EXPECT_NE(log.find("-Write cpld register failed address=63 offset=7. "
                       "cpld-rw-reg:"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" CPLDModuleWriteRegister\n"), std::string::npos);

    uint8_t back[2] = {0xEE, 0xEE};
    EXPECT_EQ(CPLDModuleReadDatas(9, back, 2), KN_CPLD_READ_FAILED);
    EXPECT_EQ(world.pauses().size(), 10u);
    EXPECT_EQ(back[0], 0xEE);
    log = errorLog();
    EXPECT_NE(log.find("-Read cpld register failed address=63 offset=9. "
                       "cpld-rw-reg:"),
              std::string::npos)
        << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

} // namespace
