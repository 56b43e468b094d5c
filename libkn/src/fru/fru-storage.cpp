// FRU images on their devices: the EEPROMs on I2C, directly or behind a
// switch, the kernel's EEPROM files, and the image files.
#include "libkn/eeprom.h"
#include "libkn/fru.h"
#include "libkn/gpio.h"
#include "libkn/i2c.h"
#include "libkn/log.h"
#include "libkn/shm.h"

#include "core/byte_order.hpp"
#include "core/descriptor.hpp"
#include "core/file_io.hpp"
#include "fru/fru-codec.hpp"
#include "hw/open_bus.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr const char* sourceUnit = "fru-bin";

// Whether a result of read_fru_data or write_fru_data is a failure: a
// negative one or a switch claim code.
bool failed(int result)
{
    return result < 0 || result == KN_MUX_NO_SHARED_MEMORY ||
           result == KN_MUX_CLAIMED || result == KN_MUX_WRITE_FAILED;
}

uint32_t imageOffset(const fru_device& device)
{
    return kn::getLe16(device.offset);
}

uint16_t imageSize(const fru_device& device)
{
    return kn::getLe16(device.size);
}

// The word addresses of a directly reached EEPROM: 256 with a one-byte
// word address, 65536 with two. A transfer that would pass the last one is
// refused, never wrapped around onto the start of the chip.
uint32_t addressRoom(const fru_device& device)
{
    return device.address_width == 1 ? 0x100 : 0x10000;
}

bool passesLastAddress(const fru_device& device, uint32_t at, size_t length)
{
    return at + length > addressRoom(device);
}

// The kernel's EEPROM file of the device; false when the extension bus
// behind the switch is unknown.
bool eepromFile(const fru_device& device, char* path, size_t size)
{
    if (device.behind_switch == 0)
    {
        std::snprintf(path, size, "%s/i2c-%d/device/%d-00%x/eeprom",
                      KN_FRU_SYSFS_I2C, device.bus, device.bus, device.address);
        return true;
    }
    int extension = CmmFunGetI2CExtBus(device.bus, device.switch_channel);
    if (extension <= 0)
    {
        return false;
    }
    std::snprintf(path, size, "%s/i2c-%d/device/i2c-%d/%d-00%x/eeprom",
                  KN_FRU_SYSFS_I2C, device.bus, extension, extension,
                  device.address);
    return true;
}

// The bus of a device behind a switch, with its channel claimed for this
// process while the object lives. Direct devices open nothing.
class SwitchedBus
{
  public:
    SwitchedBus(const fru_device& device, bool openDirect) : device(device)
    {
        if (device.behind_switch == 0 && !openDirect)
        {
            return;
        }
        if (!bus.reopen(device.bus))
        {
            result = -1;
            return;
        }
        if (device.behind_switch != 0)
        {
            result = switch_channel_request(bus.get(), device.bus,
                                            device.switch_channel,
                                            device.switch_address, 1);
            claimed = result == 0;
        }
    }

    ~SwitchedBus()
    {
        // The bus closes after the channel's release.
        if (claimed)
        {
            switch_channel_request(bus.get(), device.bus, device.switch_channel,
                                   device.switch_address, 0);
        }
    }

    SwitchedBus(const SwitchedBus&) = delete;
    SwitchedBus& operator=(const SwitchedBus&) = delete;

    int fd() const
    {
        return bus.get();
    }

    const fru_device& device;
    kn::OpenBus bus;
    int result = 0; // of the open and the claim
    bool claimed = false;
};

bool preadAll(int fd, uint8_t* buffer, size_t length, off_t at)
{
    size_t done = 0;
    while (done < length)
    {
        ssize_t got = ::pread(fd, buffer + done, length - done,
                              at + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            return false;
        }
        done += static_cast<size_t>(got);
    }
    return true;
}

bool pwriteAll(int fd, const uint8_t* data, size_t length, off_t at)
{
    size_t done = 0;
    while (done < length)
    {
        ssize_t put = ::pwrite(fd, data + done, length - done,
                               at + static_cast<off_t>(done));
        if (put < 0 && errno == EINTR)
        {
            continue;
        }
        if (put <= 0)
        {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

int readI2c(const fru_device& device, uint32_t at, int length, uint8_t* buffer)
{
    if (passesLastAddress(device, at, static_cast<size_t>(length)))
    {
        return -1;
    }
    SwitchedBus bus(device, /*openDirect=*/true);
    if (bus.result != 0)
    {
        return bus.result;
    }
    const auto address = static_cast<uint16_t>(at);
    int result = i2c_read_data(bus.fd(), device.address, address,
                               device.address_width, buffer, length);
    if (result < 0)
    {
        log_call(KN_LOG_ERROR,
                 "i2c read fru data failed channel=%u address=%u offset=%u. "
                 "%s:%d %s",
                 device.bus, device.address, address, sourceUnit, __LINE__,
                 "read_fru_data");
        return -1;
    }
    return result;
}

int readEepromFile(const fru_device& device, uint32_t at, int length,
                   uint8_t* buffer)
{
    char path[256];
    if (!eepromFile(device, path, sizeof(path)))
    {
        return -1;
    }
    for (int attempt = 0; attempt < KN_FRU_TRIES; ++attempt)
    {
        kn::Descriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
        if (!fd.isOpen())
        {
            continue;
        }
        bool ok = preadAll(fd.get(), buffer, static_cast<size_t>(length), at);
        fd.close();
        if (ok)
        {
            return 0;
        }
        usleep(KN_FRU_RETRY_PAUSE_US);
    }
    return -1;
}

int writeI2c(const fru_device& device, uint32_t at, uint16_t length,
             const uint8_t* data)
{
    if (passesLastAddress(device, at, length))
    {
        return -1;
    }
    SwitchedBus bus(device, /*openDirect=*/false);
    if (bus.result != 0)
    {
        return bus.result;
    }
    char path[32];
    std::snprintf(path, sizeof(path), "/dev/i2c-%d", device.bus);
    // The width of the word address decides how the EEPROM is addressed.
    const int type = device.address_width == 1 ? KN_EEPROM_TYPE_8BIT_ADDR
                                               : KN_EEPROM_TYPE_16BIT_ADDR;
    eeprom_handle eeprom;
    if (eeprom_open(path, device.address, type, &eeprom) != 0)
    {
        return -1;
    }
    bool ok = true;
    for (uint16_t i = 0; i < length; ++i)
    {
        const auto address = static_cast<uint16_t>(at + i);
        bool written = false;
        for (int attempt = 0; attempt < KN_FRU_TRIES && !written; ++attempt)
        {
            written = eeprom_write_byte(&eeprom, address, data[i]) >= 0;
        }
        ok = ok && written;
    }
    eeprom_close(&eeprom);
    return ok ? 0 : -1;
}

int writeEepromFile(const fru_device& device, uint32_t at, uint16_t length,
                    const uint8_t* data)
{
    char path[256];
    if (!eepromFile(device, path, sizeof(path)))
    {
        return -1;
    }
    kn::Descriptor fd(::open(path, O_RDWR | O_CLOEXEC));
    if (!fd.isOpen())
    {
        return -1;
    }
    bool ok = false;
    for (int attempt = 0; attempt < KN_FRU_TRIES && !ok; ++attempt)
    {
        ok = pwriteAll(fd.get(), data, length, at);
        if (!ok)
        {
            usleep(KN_FRU_RETRY_PAUSE_US);
        }
    }
    ok = fd.close() && ok;
    return ok ? 0 : -1;
}

// The descriptor of a FRU device id in the main segment.
bool deviceOf(int id, fru_device& device)
{
    if (id < 0 || id > KN_FRU_DEVICE_MAX)
    {
        return false;
    }
    const auto* base = static_cast<const uint8_t*>(init_shm());
    if (base == nullptr)
    {
        return false;
    }
    std::memcpy(&device,
                base + KN_SHM_FRU_DEVICE_OFFSET +
                    static_cast<size_t>(KN_SHM_FRU_DEVICE_SIZE) * id,
                sizeof(device));
    return true;
}

bool transfers(const fru_device& device)
{
    return device.route == KN_FRU_ROUTE_I2C ||
           device.route == KN_FRU_ROUTE_FILE;
}

uint32_t imageLength()
{
    return std::min<uint32_t>(bmc_fru_len, sizeof(bmc_fru_date));
}

// Whether an image of length bytes fits the device from its offset: the
// chip's word addresses, or the kernel's EEPROM file as far as its size is
// known. Nothing is written of an image that would not fit whole.
bool fitsFromOffset(const fru_device& device, uint32_t length)
{
    const uint32_t offset = imageOffset(device);
    if (device.route == KN_FRU_ROUTE_I2C)
    {
        return !passesLastAddress(device, offset, length);
    }
    char path[256];
    struct stat st
    {};
    if (device.route == KN_FRU_ROUTE_FILE &&
        eepromFile(device, path, sizeof(path)) && ::stat(path, &st) == 0 &&
        S_ISREG(st.st_mode))
    {
        return offset + length <= static_cast<uint64_t>(st.st_size);
    }
    return true;
}

} // namespace

int read_fru_data(const fru_device* device, uint16_t offset, int length,
                  uint8_t* buffer)
{
    if (device == nullptr || length < 0 || (buffer == nullptr && length > 0) ||
        device->access == KN_FRU_NO_ACCESS)
    {
        return -1;
    }
    const uint32_t at = imageOffset(*device) + offset;
    switch (device->route)
    {
        case KN_FRU_ROUTE_I2C:
            return readI2c(*device, at, length, buffer);
        case KN_FRU_ROUTE_FILE:
            return readEepromFile(*device, at, length, buffer);
        default:
            return 0;
    }
}

int write_fru_data(const fru_device* device, uint16_t offset, uint16_t length,
                   const uint8_t* data)
{
    if (device == nullptr || (data == nullptr && length > 0) ||
        device->access == KN_FRU_NO_ACCESS)
    {
        return -1;
    }
    const uint32_t at = imageOffset(*device) + offset;
    switch (device->route)
    {
        case KN_FRU_ROUTE_I2C:
            return writeI2c(*device, at, length, data);
        case KN_FRU_ROUTE_FILE:
            return writeEepromFile(*device, at, length, data);
        default:
            return 0;
    }
}

int get_fru_bin(fru_device device, uint8_t* buffer)
{
    if (buffer == nullptr)
    {
        return -1;
    }
    const uint32_t size = imageSize(device);
    for (uint32_t offset = 0; offset < size; offset += KN_FRU_PIECE_SIZE)
    {
        const auto length =
            std::min<uint32_t>(KN_FRU_PIECE_SIZE, size - offset);
        int result = read_fru_data(&device, static_cast<uint16_t>(offset),
                                   static_cast<int>(length), buffer + offset);
        usleep(KN_FRU_PIECE_PAUSE_US);
        if (failed(result))
        {
            return -1;
        }
    }
    return 0;
}

int write_to_fru(int id)
{
    fru_device device{};
    if (!deviceOf(id, device))
    {
        return -1;
    }
    deviceid = static_cast<uint32_t>(id);
    const uint32_t length = imageLength();
    // An image longer than the device's could not be read back whole, and
    // one that passes the chip's end would wrap onto its start.
    if (transfers(device) &&
        (length > imageSize(device) || !fitsFromOffset(device, length)))
    {
        return -1;
    }
    for (uint32_t offset = 0; offset < length; offset += KN_FRU_PIECE_SIZE)
    {
        const auto piece =
            std::min<uint32_t>(KN_FRU_PIECE_SIZE, length - offset);
        if (write_fru_data(&device, static_cast<uint16_t>(offset),
                           static_cast<uint16_t>(piece),
                           bmc_fru_date + offset) != 0)
        {
            return -1;
        }
        if (piece == KN_FRU_PIECE_SIZE)
        {
            usleep(KN_FRU_PIECE_PAUSE_US);
        }
    }
    return 0;
}

int write_fru_ini(void)
{
    fru_init();
    if (fru_read_ini() != 0)
    {
        return -EBADF;
    }
    if (get_fru_date() != 0)
    {
        return KN_FRU_INI_ENCODE_FAILED;
    }
    return write_to_fru(static_cast<int>(deviceid));
}

int create_fru_bin(void)
{
    fru_init();
    if (fru_read_ini() != 0)
    {
        return KN_FRU_BIN_INI_FAILED;
    }
    if (get_fru_date() != 0)
    {
        return KN_FRU_BIN_ENCODE_FAILED;
    }
    return write_to_bin();
}

int fru_modify_key(int id, const char* title, const char* key,
                   const char* value)
{
    if (init_shm() == nullptr)
    {
        return -1;
    }
    if (title == nullptr || key == nullptr || value == nullptr)
    {
        return KN_FRU_MISSING_ARGUMENT;
    }
    fru_device device{};
    if (!deviceOf(id, device))
    {
        return -1;
    }
    const uint16_t size = imageSize(device);
    fru_init();
    uint8_t image[KN_FRU_IMAGE_MAX] = {};
    if (size > sizeof(image) || get_fru_bin(device, image) != 0)
    {
        kestrelon_log(" %s error.\n", "fru_modify_key");
        return KN_FRU_READ_FAILED;
    }
    if (int code = parse_bin_date(image, size); code != 0)
    {
        kestrelon_log(" get fru .bin error:%d.\n", code);
        return KN_FRU_READ_FAILED;
    }
    // The internal-use and multirecord areas go back as they came.
    auto internalUse = kn::fru::internalUseArea(image, size);
    auto multirecord = kn::fru::multirecordArea(image, size);
    if (!internalUse || !multirecord)
    {
        kestrelon_log(" get fru .bin error:%d.\n", KN_FRU_BAD_HEADER);
        return KN_FRU_READ_FAILED;
    }
    int row = fru_get_param_id(title, key);
    if (row < 0)
    {
        kestrelon_log(" input error.\n");
        return row;
    }
    modify_section(value, row);
    if (get_fru_date() != 0)
    {
        kestrelon_log("get_fru_date error");
        return KN_FRU_ENCODE_FAILED;
    }
    if (!kn::fru::assembleWithKept(
            {std::move(*internalUse), std::move(*multirecord)}))
    {
        return -1; // does not fit, as write_to_fru refuses it
    }
    return write_to_fru(id);
}

int write_to_bin(void)
{
    kn::Descriptor fd(::open(KN_FRU_BIN_PATH,
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.isOpen())
    {
        return -1;
    }
    bool ok = kn::writeAll(fd.get(), bmc_fru_date, imageLength());
    ok = fd.close() && ok;
    if (!ok)
    {
        std::printf("write bin file error2.");
        std::fflush(stdout);
        return -ENOMEM;
    }
    return 0;
}

int write_fru_cmd(const char* command)
{
    if (command == nullptr)
    {
        return -1;
    }
    for (int attempt = 0; attempt < KN_FRU_COMMAND_TRIES; ++attempt)
    {
        int status = std::system(command);
        if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        {
            return 0;
        }
    }
    return -1;
}

int backup_fru_bin(const uint8_t* bytes, int count)
{
    if (count < 0 || (bytes == nullptr && count > 0))
    {
        return -1;
    }
    FILE* file = std::fopen(KN_FRU_BACKUP_PATH, "wbe");
    if (file == nullptr)
    {
        std::printf("%s: open file fru.bat fail \n", "backup_fru_bin");
        std::fflush(stdout);
        return 1;
    }
    const auto size = static_cast<size_t>(count);
    bool ok = size == 0 || std::fwrite(bytes, 1, size, file) == size;
    ok = std::fclose(file) == 0 && ok;
    return ok ? 0 : -1;
}

int WriteFile(const char* path, const uint8_t* bytes, int offset, int count)
{
    const auto size = static_cast<size_t>(count & 0xFFFF);
    if (path == nullptr || (bytes == nullptr && size > 0))
    {
        return -1;
    }
    FILE* file = std::fopen(path, "wb+e");
    if (file == nullptr)
    {
        std::printf("%s: open %s file fail\n", "WriteFile", path);
        std::fflush(stdout);
        return 1;
    }
    bool ok = std::fseek(file, offset & 0xFFFF, SEEK_SET) == 0 &&
              (size == 0 || std::fwrite(bytes, 1, size, file) == size);
    ok = std::fclose(file) == 0 && ok;
    return ok ? 0 : -1;
}
