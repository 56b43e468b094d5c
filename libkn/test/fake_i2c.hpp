// A small I2C world for the tests, played behind the library's back: the
// test executable defines open, ioctl, read, write and close (and usleep
// and sleep), which replace the C library's for the calls that the library
// makes. Opening "/dev/i2c-N" of a bus added here gives a descriptor that
// this world serves; everything else goes to the C library.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace kntest
{

// One message on a bus, as the devices saw it.
struct I2cMessage
{
    int bus;
    uint8_t address;
    bool read;
    std::vector<uint8_t> bytes; // written, or read back
    bool acknowledged;

    bool operator==(const I2cMessage&) const = default;
};

// A device on a bus. A device that does not acknowledge fails the message.
class I2cDevice
{
  public:
    virtual ~I2cDevice() = default;
    virtual bool write(const std::vector<uint8_t>& bytes) = 0;
    virtual bool read(std::vector<uint8_t>& bytes) = 0;
};

// A 4- or 8-channel switch: one control register, each bit a channel;
// every byte written sets it.
class FakeSwitch : public I2cDevice
{
  public:
    bool write(const std::vector<uint8_t>& bytes) override;
    bool read(std::vector<uint8_t>& bytes) override;

    uint8_t control = 0;
};

// A serial EEPROM with a 1- or 2-byte word address: a write sets the
// address and stores the bytes after it; a read goes on from the address.
class FakeEeprom : public I2cDevice
{
  public:
    FakeEeprom(int addressBytes, size_t size);
    bool write(const std::vector<uint8_t>& bytes) override;
    bool read(std::vector<uint8_t>& bytes) override;

    std::vector<uint8_t> memory;
    size_t pointer = 0;
    bool refuseWrites = false; // acknowledges reads only

  private:
    int addressBytes;
};

// A register file: a write is the register offset followed by data for
// the registers from there; a read goes on from the last offset written.
class FakeCpld : public I2cDevice
{
  public:
    bool write(const std::vector<uint8_t>& bytes) override;
    bool read(std::vector<uint8_t>& bytes) override;

    uint8_t registers[256] = {};
    uint8_t offset = 0;
};

class FakeI2c
{
  public:
    static FakeI2c& world();

    // Forgets buses, devices, messages and pauses.
    void reset();
    void addBus(int bus, unsigned long functions = defaultFunctions);
    void attach(int bus, uint8_t address, std::shared_ptr<I2cDevice> device);
    // A device reached only while the switch's channel bit is set.
    void attachBehind(int bus, uint8_t switchAddress, int channelBit,
                      uint8_t address, std::shared_ptr<I2cDevice> device);
    // Selecting this address fails as if a kernel driver owned it.
    void setBusy(int bus, uint8_t address);

    std::vector<I2cMessage> messages();
    void clearMessages();
    // Microseconds of every usleep and sleep the library asked for; none is
    // really waited. onSleep, when set, runs after each one.
    std::vector<uint64_t> pauses();
    void onSleep(std::function<void(size_t count)> action);
    // Descriptors of this world still open.
    int openDescriptors();

    static constexpr unsigned long defaultFunctions = 0x0EFF0009;

    // For the replaced calls.
    bool serves(int fd) const;
    int open(const char* path, int flags, int realFd);
    int ioctl(int fd, unsigned long request, unsigned long argument);
    long read(int fd, void* buffer, size_t length);
    long write(int fd, const void* buffer, size_t length);
    void close(int fd);
    void pause(uint64_t microseconds);

  private:
    struct Behind
    {
        uint8_t switchAddress;
        int channelBit;
        std::shared_ptr<I2cDevice> device;
    };
    struct Bus
    {
        unsigned long functions;
        std::map<uint8_t, std::shared_ptr<I2cDevice>> devices;
        std::multimap<uint8_t, Behind> behind;
        std::vector<uint8_t> busy;
    };
    struct Descriptor
    {
        int bus;
        int address = -1;
    };

    I2cDevice* find(Bus& bus, uint8_t address);
    bool message(int busNumber, uint8_t address, bool read,
                 std::vector<uint8_t>& bytes);

    std::recursive_mutex lock;
    std::map<int, Bus> buses;
    std::map<int, Descriptor> descriptors;
    std::vector<I2cMessage> log;
    std::vector<uint64_t> slept;
    std::function<void(size_t)> sleepAction;
};

// A test on bus number Bus of a fresh world; every descriptor of the world
// is closed by the test's end.
template <int Bus>
class FakeBusTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        world.reset();
        world.addBus(Bus);
    }

    void TearDown() override
    {
        EXPECT_EQ(world.openDescriptors(), 0);
    }

    // A message on the bus as the world records it: written, or read back.
    static I2cMessage sent(uint8_t address, std::vector<uint8_t> bytes,
                           bool acknowledged = true)
    {
        return I2cMessage{Bus, address, false, std::move(bytes), acknowledged};
    }
    static I2cMessage received(uint8_t address, std::vector<uint8_t> bytes)
    {
        return I2cMessage{Bus, address, true, std::move(bytes), true};
    }

    FakeI2c& world = FakeI2c::world();
};

} // namespace kntest
