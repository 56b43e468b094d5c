// Registers of the board's CPLD.
#include "libkn/cpld-rw-reg.h"

#include "libkn/i2c.h"
#include "libkn/log.h"

#include <unistd.h>

#include <cstring>

namespace
{

constexpr const char* sourceUnit = "cpld-rw-reg";

bool validRequest(int fd, const void* buffer, uint8_t length)
{
    return fd >= 0 && buffer != nullptr && length > 0 &&
           length <= KN_CPLD_DATA_MAX;
}

} // namespace

int CPLDChannelEnable(void)
{
    return i2c_open(KN_CPLD_BUS);
}

int CPLDChannelDisale(int fd)
{
    i2c_close(fd);
    return 0;
}

int CPLDModuleWriteRegister(int fd, uint8_t offset, const uint8_t* data,
                            uint8_t length)
{
    if (!validRequest(fd, data, length))
    {
        return KN_CPLD_BAD_ARGUMENT;
    }
    uint8_t message[KN_CPLD_DATA_MAX + 1];
    message[0] = offset;
    std::memcpy(message + 1, data, length);
    for (int attempt = 0; attempt < KN_CPLD_TRIES; ++attempt)
    {
        // Width 0: the message goes out as built, offset first.
        if (i2c_write_data(fd, KN_CPLD_ADDRESS, 0, 0, message, length + 1) >= 0)
        {
            return 0;
        }
        usleep(KN_CPLD_RETRY_PAUSE_US);
    }
    log_call(KN_LOG_ERROR,
             "Write cpld register failed address=%u offset=%u. %s:%d %s",
             KN_CPLD_ADDRESS, offset, sourceUnit, __LINE__,
             "CPLDModuleWriteRegister");
    return KN_CPLD_WRITE_FAILED;
}

int CPLDModuleReadRegister(int fd, uint8_t offset, uint8_t* buffer,
                           uint8_t length)
{
    if (!validRequest(fd, buffer, length))
    {
        return KN_CPLD_BAD_ARGUMENT;
    }
    for (int attempt = 0; attempt < KN_CPLD_TRIES; ++attempt)
    {
        uint8_t read[KN_CPLD_DATA_MAX] = {};
        if (i2c_read_data_new(fd, KN_CPLD_ADDRESS, &offset, 1, read, length) >=
            0)
        {
            std::memcpy(buffer, read, length);
            return 0;
        }
        usleep(KN_CPLD_RETRY_PAUSE_US);
    }
    log_call(KN_LOG_ERROR,
             "Read cpld register failed address=%u offset=%u. %s:%d %s",
             KN_CPLD_ADDRESS, offset, sourceUnit, __LINE__,
             "CPLDModuleReadRegister");
    return KN_CPLD_READ_FAILED;
}

int CPLDModuleWriteDatas(uint8_t offset, const uint8_t* data, uint8_t length)
{
    int fd = CPLDChannelEnable();
    if (fd < 0)
    {
        return KN_CPLD_BAD_ARGUMENT;
    }
    int result = CPLDModuleWriteRegister(fd, offset, data, length);
    CPLDChannelDisale(fd);
    return result;
}

int CPLDModuleReadDatas(uint8_t offset, uint8_t* buffer, uint8_t length)
{
    int fd = CPLDChannelEnable();
    if (fd < 0)
    {
        return KN_CPLD_BAD_ARGUMENT;
    }
    int result = CPLDModuleReadRegister(fd, offset, buffer, length);
    CPLDChannelDisale(fd);
    return result;
}
