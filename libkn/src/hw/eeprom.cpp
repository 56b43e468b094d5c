// Byte access to serial EEPROMs through SMBus transfers.
#include "libkn/eeprom.h"

#include "libkn/smbus.h"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{

// The block-device flush request, issued before reads as the EEPROM tools
// have always done; an I2C bus device ignores it.
constexpr unsigned long flushRequest = 0x1261;

struct RequiredFunction
{
    unsigned long bit;
    const char* name;
};

constexpr RequiredFunction requiredFunctions[] = {
    {I2C_FUNC_SMBUS_READ_BYTE, "I2C_FUNC_SMBUS_READ_BYTE"},
    {I2C_FUNC_SMBUS_WRITE_BYTE, "I2C_FUNC_SMBUS_WRITE_BYTE"},
    {I2C_FUNC_SMBUS_READ_BYTE_DATA, "I2C_FUNC_SMBUS_READ_BYTE_DATA"},
    {I2C_FUNC_SMBUS_WRITE_BYTE_DATA, "I2C_FUNC_SMBUS_WRITE_BYTE_DATA"},
    {I2C_FUNC_SMBUS_READ_WORD_DATA, "I2C_FUNC_SMBUS_READ_WORD_DATA"},
    {I2C_FUNC_SMBUS_WRITE_WORD_DATA, "I2C_FUNC_SMBUS_WRITE_WORD_DATA"},
};

// Every write step pauses afterwards, so that the EEPROM finishes its
// internal write cycle, and reports its failure under its own name.
int afterWrite(const char* step, int result)
{
    if (result < 0)
    {
        std::fprintf(stderr, "Error %s: %s\n", step, std::strerror(errno));
    }
    usleep(KN_EEPROM_WRITE_PAUSE_US);
    return result;
}

// One byte: SMBus send byte.
int i2c_write_1b(const eeprom_handle* handle, const uint8_t* bytes)
{
    return afterWrite("i2c_write_1b",
                      i2c_smbus_write_byte(handle->fd, bytes[0]));
}

// Two bytes: SMBus write byte data, command = first byte.
int i2c_write_2b(const eeprom_handle* handle, const uint8_t* bytes)
{
    return afterWrite("i2c_write_2b", i2c_smbus_write_byte_data(
                                          handle->fd, bytes[0], bytes[1]));
}

// Three bytes: SMBus write word data, so they go out first, second, third.
int i2c_write_3b(const eeprom_handle* handle, const uint8_t* bytes)
{
    auto word = static_cast<uint16_t>(bytes[2] << 8 | bytes[1]);
    return afterWrite("i2c_write_3b",
                      i2c_smbus_write_word_data(handle->fd, bytes[0], word));
}

bool knownType(const eeprom_handle* handle)
{
    if (handle->type == KN_EEPROM_TYPE_8BIT_ADDR ||
        handle->type == KN_EEPROM_TYPE_16BIT_ADDR)
    {
        return true;
    }
    std::fprintf(stderr, "ERR: unknown eeprom type\n");
    return false;
}

void clear(eeprom_handle* handle)
{
    handle->dev = nullptr;
    handle->addr = 0;
    handle->fd = -1;
    handle->type = 0;
}

} // namespace

int eeprom_open(const char* dev, int addr, int type, eeprom_handle* handle)
{
    if (handle == nullptr)
    {
        return -1;
    }
    clear(handle);
    if (dev == nullptr)
    {
        return -1;
    }
    kn::Descriptor fd(::open(dev, O_RDWR | O_CLOEXEC));
    if (!fd.isOpen())
    {
        return -1;
    }
    unsigned long functions = 0;
    int result = ::ioctl(fd.get(), I2C_FUNCS, &functions);
    if (result < 0)
    {
        return result;
    }
    // An adapter without these transfers cannot serve the EEPROM calls: the
    // open fails, and the calling program goes on.
    for (const auto& required : requiredFunctions)
    {
        if ((functions & required.bit) == 0)
        {
            std::fprintf(stderr, "\nError: %s function is required.\n\n",
                         required.name);
            return -1;
        }
    }
    result = ::ioctl(fd.get(), I2C_SLAVE, static_cast<unsigned long>(addr));
    if (result < 0)
    {
        return result;
    }
    handle->dev = dev;
    handle->addr = addr;
    handle->fd = fd.release(); // eeprom_close closes it
    handle->type = type;
    return 0;
}

int eeprom_close(eeprom_handle* handle)
{
    if (handle == nullptr)
    {
        return -1;
    }
    if (handle->fd >= 0)
    {
        kn::closeFd(handle->fd);
    }
    clear(handle);
    return 0;
}

int eeprom_read_current_byte(eeprom_handle* handle)
{
    if (handle == nullptr)
    {
        return -1;
    }
    ::ioctl(handle->fd, flushRequest);
    return i2c_smbus_read_byte(handle->fd);
}

int eeprom_read_byte(eeprom_handle* handle, uint16_t address)
{
    if (handle == nullptr || !knownType(handle))
    {
        return -1;
    }
    ::ioctl(handle->fd, flushRequest);
    const uint8_t high = static_cast<uint8_t>(address >> 8);
    const uint8_t low = static_cast<uint8_t>(address);
    int result = 0;
    if (handle->type == KN_EEPROM_TYPE_8BIT_ADDR)
    {
        const uint8_t bytes[] = {low};
        result = i2c_write_1b(handle, bytes);
    }
    else
    {
        const uint8_t bytes[] = {high, low};
        result = i2c_write_2b(handle, bytes);
    }
    if (result < 0)
    {
        return result;
    }
    return i2c_smbus_read_byte(handle->fd);
}

int eeprom_write_byte(eeprom_handle* handle, uint16_t address, uint8_t value)
{
    if (handle == nullptr || !knownType(handle))
    {
        return -1;
    }
    const uint8_t high = static_cast<uint8_t>(address >> 8);
    const uint8_t low = static_cast<uint8_t>(address);
    if (handle->type == KN_EEPROM_TYPE_8BIT_ADDR)
    {
        const uint8_t bytes[] = {low, value};
        return i2c_write_2b(handle, bytes);
    }
    const uint8_t bytes[] = {high, low, value};
    return i2c_write_3b(handle, bytes);
}
