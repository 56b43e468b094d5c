// I2C access through the bus character devices, and switch channels.
#include "libkn/i2c.h"

#include "libkn/shm.h"

#include "core/file_io.hpp"
#include "hw/open_bus.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

constexpr size_t messageSize = 255;
constexpr int addressCount = 128;
constexpr int setSwitchTries = 3;
constexpr int switchChannels = 8;
constexpr uint8_t claimed = 1;

static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);

// One combined transfer of the messages; the request's result.
int transfer(int fd, i2c_msg* messages, uint32_t count)
{
    i2c_rdwr_ioctl_data data{};
    data.msgs = messages;
    data.nmsgs = count;
    return ::ioctl(fd, I2C_RDWR, &data);
}

i2c_msg message(uint8_t address, bool read, uint8_t* bytes, int length)
{
    i2c_msg result{};
    result.addr = address;
    result.flags = read ? I2C_M_RD : 0;
    result.len = static_cast<uint16_t>(length);
    result.buf = bytes;
    return result;
}

// The register offset in width bytes, high byte first; the count, or -1
// for a width other than 0, 1 or 2.
int putOffset(uint8_t* bytes, uint16_t offset, int width)
{
    switch (width)
    {
        case 0:
            return 0;
        case 1:
            bytes[0] = static_cast<uint8_t>(offset);
            return 1;
        case 2:
            bytes[0] = static_cast<uint8_t>(offset >> 8);
            bytes[1] = static_cast<uint8_t>(offset);
            return 2;
        default:
            return -1;
    }
}

bool validLength(int length, const void* buffer)
{
    return length >= 0 && length <= UINT16_MAX &&
           (buffer != nullptr || length == 0);
}

bool selectAddress(int fd, uint8_t address)
{
    return ::ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address)) >= 0;
}

// Moves all the bytes with one read or write; false otherwise.
bool wholeTransfer(ssize_t result, size_t length)
{
    return result >= 0 && static_cast<size_t>(result) == length;
}

} // namespace

int i2c_open(int bus)
{
    char path[32];
    std::snprintf(path, sizeof(path), "/dev/i2c-%d", bus);
    return ::open(path, O_RDWR | O_CLOEXEC);
}

int i2c_close(int fd)
{
    return ::close(fd);
}

int internal_master_write(int fd, uint8_t address, const void* buffer,
                          int length)
{
    if (fd < 0 || length < 0 || (buffer == nullptr && length > 0) ||
        !selectAddress(fd, address))
    {
        return -1;
    }
    uint8_t none = 0;
    return static_cast<int>(::write(fd, buffer != nullptr ? buffer : &none,
                                    static_cast<size_t>(length)));
}

int i2c_read_data(int fd, uint8_t address, uint16_t offset, int width,
                  uint8_t* buffer, int length)
{
    if (length < 0 || length > KN_I2C_TRANSFER_MAX ||
        (buffer == nullptr && length > 0))
    {
        return -1;
    }
    uint8_t offsetBytes[2] = {};
    int offsetLength = putOffset(offsetBytes, offset, width);
    if (offsetLength < 0)
    {
        return -1;
    }
    uint8_t read[messageSize] = {};
    i2c_msg messages[] = {message(address, false, offsetBytes, offsetLength),
                          message(address, true, read, length)};
    int result = transfer(fd, messages, 2);
    if (length > 0)
    {
        std::memcpy(buffer, read, static_cast<size_t>(length));
    }
    return result;
}

int i2c_write_data(int fd, uint8_t address, uint16_t offset, int width,
                   const uint8_t* data, int length)
{
    if (length < 0 || length > KN_I2C_TRANSFER_MAX ||
        (data == nullptr && length > 0))
    {
        return -1;
    }
    uint8_t bytes[messageSize] = {};
    int offsetLength = putOffset(bytes, offset, width);
    if (offsetLength < 0)
    {
        return -1;
    }
    if (length > 0)
    {
        std::memcpy(bytes + offsetLength, data, static_cast<size_t>(length));
    }
    i2c_msg messages[] = {
        message(address, false, bytes, offsetLength + length)};
    return transfer(fd, messages, 1);
}

int i2c_read_data_new(int fd, uint8_t address, const uint8_t* write_buffer,
                      int write_length, uint8_t* read_buffer, int read_length)
{
    if (!validLength(write_length, write_buffer) ||
        !validLength(read_length, read_buffer))
    {
        return -1;
    }
    // The kernel only reads from a write message's buffer.
    i2c_msg messages[] = {message(address, false,
                                  const_cast<uint8_t*>(write_buffer),
                                  write_length),
                          message(address, true, read_buffer, read_length)};
    return transfer(fd, messages, 2);
}

int i2c_rw_data(int fd, uint8_t address, const uint8_t* write_buffer,
                int write_length, uint8_t* read_buffer, int read_length)
{
    if (write_buffer == nullptr || write_length <= 0 ||
        !validLength(write_length, write_buffer) ||
        !validLength(read_length, read_buffer))
    {
        return -1;
    }
    i2c_msg messages[] = {message(address, false,
                                  const_cast<uint8_t*>(write_buffer),
                                  write_length),
                          message(address, true, read_buffer, read_length)};
    return transfer(fd, messages, read_length != 0 ? 2 : 1);
}

int check_slave_active(int fd, uint8_t address)
{
    if (fd < 1)
    {
        return -1;
    }
    // The whole bus is probed in turn; only the asked address's answer is
    // kept, so any number of answering devices fits.
    bool answered = false;
    for (int probe = 0; probe < addressCount; ++probe)
    {
        uint8_t none = 0;
        bool answers = internal_master_write(fd, static_cast<uint8_t>(probe),
                                             &none, 0) >= 0;
        if (probe == address)
        {
            answered = answers;
        }
    }
    return answered ? 1 : 0;
}

int i2cInit(void)
{
    return 0;
}

int i2cUnInit(void)
{
    return 0;
}

int i2cSendRecvMsg(int /*unused1*/, int bus, uint8_t address,
                   const uint8_t* write_buffer, uint16_t write_length,
                   uint8_t* read_buffer, uint16_t read_length, uint8_t tries,
                   int /*unused2*/)
{
    if ((write_buffer == nullptr && write_length > 0) ||
        (read_buffer == nullptr && read_length > 0))
    {
        return -1;
    }
    kn::OpenBus device(bus);
    if (!device.isOpen())
    {
        return -1;
    }
    const int fd = device.get();
    // A transfer after a refused selection would reach whichever device was
    // selected before.
    if (::ioctl(fd, I2C_TENBIT, 0UL) < 0 || !selectAddress(fd, address))
    {
        return -2;
    }
    bool done = false;
    for (int attempt = 0; attempt < tries && !done; ++attempt)
    {
        bool ok = true;
        if (write_length > 0)
        {
            ok = wholeTransfer(::write(fd, write_buffer, write_length),
                               write_length);
        }
        if (ok && read_length > 0)
        {
            ok = wholeTransfer(::read(fd, read_buffer, read_length),
                               read_length);
        }
        done = ok;
    }
    return done ? 0 : -2;
}

int set_9546switch(int bus, uint8_t address, int channel)
{
    if (channel < 1 || channel > switchChannels)
    {
        return -1;
    }
    const uint8_t command[] = {0x00, static_cast<uint8_t>(1U << (channel - 1))};
    return i2cSendRecvMsg(0, bus, address, command, sizeof(command), nullptr, 0,
                          setSwitchTries, 0);
}

int switch_channel_request(int fd, int bus, int channel, uint8_t mux_address,
                           int claim)
{
    if (bus < 0 || bus >= KN_SHM_MUX_CLAIM_BUSES ||
        mux_address >= KN_SHM_MUX_CLAIM_STRIDE ||
        (claim != 0 && (channel < 0 || channel >= switchChannels)))
    {
        return -1;
    }
    auto* base = static_cast<uint8_t*>(get_shm_address());
    if (base == nullptr)
    {
        return KN_MUX_NO_SHARED_MEMORY;
    }
    std::atomic_ref<uint8_t> byte(
        base[KN_SHM_MUX_CLAIM_OFFSET + KN_SHM_MUX_CLAIM_STRIDE * bus +
             mux_address]);
    if (claim == 0)
    {
        byte.store(0);
        return 0;
    }
    // Test and take in one step: of several claimers only one wins.
    uint8_t seen = byte.load();
    do
    {
        if (seen == claimed)
        {
            return KN_MUX_CLAIMED;
        }
    } while (!byte.compare_exchange_weak(seen, claimed));

    const uint8_t command[] = {0x00, static_cast<uint8_t>(1U << channel)};
    if (i2c_rw_data(fd, mux_address, command, sizeof(command), nullptr, 0) < 0)
    {
        byte.store(0);
        return KN_MUX_WRITE_FAILED;
    }
    return 0;
}
