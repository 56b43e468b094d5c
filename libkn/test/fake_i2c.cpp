#include "fake_i2c.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace kntest
{

namespace
{

constexpr unsigned long flushRequest = 0x1261;
constexpr int maxDescriptor = 4096;
constexpr uint32_t maxMessages = 42;
constexpr size_t maxMessageLength = 8192;

// Descriptors that the fake serves, checked without a lock on every read
// and write of the process.
std::array<std::atomic<bool>, maxDescriptor> served{};

bool isServed(int fd)
{
    return fd >= 0 && fd < maxDescriptor &&
           served[static_cast<size_t>(fd)].load(std::memory_order_acquire);
}

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

bool FakeSwitch::write(const std::vector<uint8_t>& bytes)
{
    if (!bytes.empty())
    {
        control = bytes.back();
    }
    return true;
}

bool FakeSwitch::read(std::vector<uint8_t>& bytes)
{
    std::fill(bytes.begin(), bytes.end(), control);
    return true;
}

FakeEeprom::FakeEeprom(int addressBytes, size_t size) :
    memory(size, 0xFF), addressBytes(addressBytes)
{}

bool FakeEeprom::write(const std::vector<uint8_t>& bytes)
{
    if (refuseWrites)
    {
        return false;
    }
    size_t i = 0;
    if (bytes.size() >= static_cast<size_t>(addressBytes))
    {
        size_t address = 0;
        for (; i < static_cast<size_t>(addressBytes); ++i)
        {
            address = address << 8 | bytes[i];
        }
        pointer = address % memory.size();
    }
    for (; i < bytes.size(); ++i)
    {
        memory[pointer] = bytes[i];
        pointer = (pointer + 1) % memory.size();
    }
    return true;
}

bool FakeEeprom::read(std::vector<uint8_t>& bytes)
{
    for (auto& byte : bytes)
    {
        byte = memory[pointer];
        pointer = (pointer + 1) % memory.size();
    }
    return true;
}

bool FakeCpld::write(const std::vector<uint8_t>& bytes)
{
    if (bytes.empty())
    {
        return true;
    }
    offset = bytes[0];
    for (size_t i = 1; i < bytes.size(); ++i)
    {
        registers[static_cast<uint8_t>(offset + i - 1)] = bytes[i];
    }
    return true;
}

bool FakeCpld::read(std::vector<uint8_t>& bytes)
{
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        bytes[i] = registers[static_cast<uint8_t>(offset + i)];
    }
    return true;
}

FakeI2c& FakeI2c::world()
{
    static FakeI2c instance;
    return instance;
}

void FakeI2c::reset()
{
    std::lock_guard guard(lock);
    buses.clear();
    log.clear();
    slept.clear();
    sleepAction = nullptr;
}

void FakeI2c::addBus(int bus, unsigned long functions)
{
    std::lock_guard guard(lock);
    buses[bus].functions = functions;
}

void FakeI2c::attach(int bus, uint8_t address,
                     std::shared_ptr<I2cDevice> device)
{
    std::lock_guard guard(lock);
    buses[bus].devices[address] = std::move(device);
}

void FakeI2c::attachBehind(int bus, uint8_t switchAddress, int channelBit,
                           uint8_t address, std::shared_ptr<I2cDevice> device)
{
    std::lock_guard guard(lock);
    buses[bus].behind.emplace(
        address, Behind{switchAddress, channelBit, std::move(device)});
}

void FakeI2c::setBusy(int bus, uint8_t address)
{
    std::lock_guard guard(lock);
    buses[bus].busy.push_back(address);
}

std::vector<I2cMessage> FakeI2c::messages()
{
    std::lock_guard guard(lock);
    return log;
}

void FakeI2c::clearMessages()
{
    std::lock_guard guard(lock);
    log.clear();
}

std::vector<uint64_t> FakeI2c::pauses()
{
    std::lock_guard guard(lock);
    return slept;
}

void FakeI2c::onSleep(std::function<void(size_t)> action)
{
    std::lock_guard guard(lock);
    sleepAction = std::move(action);
}

int FakeI2c::openDescriptors()
{
    std::lock_guard guard(lock);
    return static_cast<int>(descriptors.size());
}

bool FakeI2c::serves(int fd) const
{
    return isServed(fd);
}

int FakeI2c::open(const char* path, int /*flags*/, int realFd)
{
    std::lock_guard guard(lock);
    int bus = -1;
    char end = 0;
    if (std::sscanf(path, "/dev/i2c-%d%c", &bus, &end) != 1 ||
        buses.count(bus) == 0)
    {
        return -1;
    }
    if (realFd < 0 || realFd >= maxDescriptor)
    {
        return -1;
    }
    descriptors[realFd] = Descriptor{bus};
    served[static_cast<size_t>(realFd)].store(true, std::memory_order_release);
    return realFd;
}

I2cDevice* FakeI2c::find(Bus& bus, uint8_t address)
{
    if (auto it = bus.devices.find(address); it != bus.devices.end())
    {
        return it->second.get();
    }
    auto [first, last] = bus.behind.equal_range(address);
    for (auto it = first; it != last; ++it)
    {
        auto sw = bus.devices.find(it->second.switchAddress);
        auto* fakeSwitch = sw != bus.devices.end()
                               ? dynamic_cast<FakeSwitch*>(sw->second.get())
                               : nullptr;
        if (fakeSwitch != nullptr &&
            (fakeSwitch->control & (1U << it->second.channelBit)) != 0)
        {
            return it->second.device.get();
        }
    }
    return nullptr;
}

bool FakeI2c::message(int busNumber, uint8_t address, bool read,
                      std::vector<uint8_t>& bytes)
{
    Bus& bus = buses[busNumber];
    I2cDevice* device = find(bus, address);
    bool acknowledged = device != nullptr &&
                        (read ? device->read(bytes) : device->write(bytes));
    log.push_back(I2cMessage{busNumber, address, read, bytes, acknowledged});
    return acknowledged;
}

int FakeI2c::ioctl(int fd, unsigned long request, unsigned long argument)
{
    std::lock_guard guard(lock);
    Descriptor& descriptor = descriptors.at(fd);
    Bus& bus = buses[descriptor.bus];
    switch (request)
    {
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE:
            if (argument > 0x7F)
            {
                errno = EINVAL;
                return -1;
            }
            if (request == I2C_SLAVE &&
                std::count(bus.busy.begin(), bus.busy.end(), argument) > 0)
            {
                errno = EBUSY;
                return -1;
            }
            descriptor.address = static_cast<int>(argument);
            return 0;
        case I2C_TENBIT:
            if (argument != 0)
            {
                errno = EINVAL;
                return -1;
            }
            return 0;
        case I2C_FUNCS:
            *reinterpret_cast<unsigned long*>(argument) = bus.functions;
            return 0;
        case I2C_RDWR:
        {
            auto* data = reinterpret_cast<i2c_rdwr_ioctl_data*>(argument);
            if (data->nmsgs > maxMessages)
            {
                errno = EINVAL;
                return -1;
            }
            for (uint32_t i = 0; i < data->nmsgs; ++i)
            {
                if (data->msgs[i].len > maxMessageLength ||
                    (data->msgs[i].buf == nullptr && data->msgs[i].len > 0))
                {
                    errno = EINVAL;
                    return -1;
                }
            }
            for (uint32_t i = 0; i < data->nmsgs; ++i)
            {
                i2c_msg& m = data->msgs[i];
                bool read = (m.flags & I2C_M_RD) != 0;
                std::vector<uint8_t> bytes(m.len);
                if (!read && m.len > 0)
                {
                    std::memcpy(bytes.data(), m.buf, m.len);
                }
                if (!message(descriptor.bus, static_cast<uint8_t>(m.addr), read,
                             bytes))
                {
                    errno = ENXIO;
                    return -1;
                }
                if (read && m.len > 0)
                {
                    std::memcpy(m.buf, bytes.data(), m.len);
                }
            }
            return static_cast<int>(data->nmsgs);
        }
        case I2C_SMBUS:
        {
            auto* data = reinterpret_cast<i2c_smbus_ioctl_data*>(argument);
            auto address = static_cast<uint8_t>(descriptor.address);
            bool reading = data->read_write == I2C_SMBUS_READ;
            std::vector<uint8_t> out;
            size_t in = 0;
            switch (data->size)
            {
                case I2C_SMBUS_QUICK:
                    break;
                case I2C_SMBUS_BYTE:
                    if (reading)
                    {
                        in = 1;
                    }
                    else
                    {
                        out = {data->command};
                    }
                    break;
                case I2C_SMBUS_BYTE_DATA:
                    out = {data->command};
                    if (reading)
                    {
                        in = 1;
                    }
                    else
                    {
                        out.push_back(data->data->byte);
                    }
                    break;
                case I2C_SMBUS_WORD_DATA:
                    out = {data->command};
                    if (reading)
                    {
                        in = 2;
                    }
                    else
                    {
                        out.push_back(
                            static_cast<uint8_t>(data->data->word & 0xFF));
                        out.push_back(
                            static_cast<uint8_t>(data->data->word >> 8));
                    }
                    break;
                default:
                    errno = EOPNOTSUPP;
                    return -1;
            }
            if ((!out.empty() || in == 0) &&
                !message(descriptor.bus, address, false, out))
            {
                errno = ENXIO;
                return -1;
            }
            if (in > 0)
            {
                std::vector<uint8_t> bytes(in);
                if (!message(descriptor.bus, address, true, bytes))
                {
                    errno = ENXIO;
                    return -1;
                }
                if (in == 1)
                {
                    data->data->byte = bytes[0];
                }
                else
                {
                    data->data->word =
                        static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
                }
            }
            return 0;
        }
        case flushRequest:
        default:
            errno = ENOTTY;
            return -1;
    }
}

long FakeI2c::read(int fd, void* buffer, size_t length)
{
    std::lock_guard guard(lock);
    Descriptor& descriptor = descriptors.at(fd);
    std::vector<uint8_t> bytes(length);
    if (descriptor.address < 0 ||
        !message(descriptor.bus, static_cast<uint8_t>(descriptor.address), true,
                 bytes))
    {
        errno = ENXIO;
        return -1;
    }
    std::memcpy(buffer, bytes.data(), length);
    return static_cast<long>(length);
}

long FakeI2c::write(int fd, const void* buffer, size_t length)
{
    std::lock_guard guard(lock);
    Descriptor& descriptor = descriptors.at(fd);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    std::vector<uint8_t> out(bytes, bytes + length);
    if (descriptor.address < 0 ||
        !message(descriptor.bus, static_cast<uint8_t>(descriptor.address),
                 false, out))
    {
        errno = ENXIO;
        return -1;
    }
    return static_cast<long>(length);
}

void FakeI2c::close(int fd)
{
    std::lock_guard guard(lock);
    served[static_cast<size_t>(fd)].store(false, std::memory_order_release);
    descriptors.erase(fd);
}

void FakeI2c::pause(uint64_t microseconds)
{
    std::function<void(size_t)> action;
    size_t count = 0;
    {
        std::lock_guard guard(lock);
        slept.push_back(microseconds);
        count = slept.size();
        action = sleepAction;
    }
    if (action)
    {
        action(count);
    }
}

} // namespace kntest

using kntest::FakeI2c;

namespace
{

using Open = int (*)(const char*, int, ...);

int openPath(Open real, const char* path, int flags, mode_t mode)
{
    bool device = std::strncmp(path, "/dev/i2c-", 9) == 0;
    if (!device)
    {
        return real != nullptr ? real(path, flags, mode)
                               : static_cast<int>(::syscall(
                                     SYS_openat, AT_FDCWD, path, flags, mode));
    }
    // A descriptor of the fake world: a real one on /dev/null, so that
    // everything but the I2C requests behaves as usual.
    int fd = real != nullptr
                 ? real("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0)
                 : -1;
    if (fd < 0)
    {
        return -1;
    }
    if (FakeI2c::world().open(path, flags, fd) < 0)
    {
        using Close = int (*)(int);
        static Close realClose = kntest::next<Close>("close");
        realClose(fd);
        errno = ENOENT;
        return -1;
    }
    return fd;
}

mode_t modeArgument(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
}

} // namespace

// Both names of open: the headers may turn calls of one into the other.
extern "C" int fakeOpen(const char* path, int flags, ...) __asm__("open");
extern "C" int fakeOpen64(const char* path, int flags, ...) __asm__("open64");

extern "C" int fakeOpen(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    static Open real = kntest::next<Open>("open");
    return openPath(real, path, flags, mode);
}

extern "C" int fakeOpen64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArgument(flags, args);
    va_end(args);
    static Open real = kntest::next<Open>("open64");
    return openPath(real, path, flags, mode);
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    unsigned long argument = va_arg(args, unsigned long);
    va_end(args);
    if (kntest::isServed(fd))
    {
        return FakeI2c::world().ioctl(fd, request, argument);
    }
    using Ioctl = int (*)(int, unsigned long, ...);
    static Ioctl real = kntest::next<Ioctl>("ioctl");
    return real(fd, request, argument);
}

extern "C" ssize_t read(int fd, void* buffer, size_t length)
{
    if (kntest::isServed(fd))
    {
        return FakeI2c::world().read(fd, buffer, length);
    }
    using Read = ssize_t (*)(int, void*, size_t);
    static Read real = kntest::next<Read>("read");
    return real != nullptr ? real(fd, buffer, length)
                           : ::syscall(SYS_read, fd, buffer, length);
}

extern "C" ssize_t write(int fd, const void* buffer, size_t length)
{
    if (kntest::isServed(fd))
    {
        return FakeI2c::world().write(fd, buffer, length);
    }
    using Write = ssize_t (*)(int, const void*, size_t);
    static Write real = kntest::next<Write>("write");
    return real != nullptr ? real(fd, buffer, length)
                           : ::syscall(SYS_write, fd, buffer, length);
}

extern "C" int close(int fd)
{
    if (kntest::isServed(fd))
    {
        FakeI2c::world().close(fd);
    }
    using Close = int (*)(int);
    static Close real = kntest::next<Close>("close");
    return real != nullptr ? real(fd)
                           : static_cast<int>(::syscall(SYS_close, fd));
}

extern "C" int usleep(useconds_t microseconds)
{
    FakeI2c::world().pause(microseconds);
    return 0;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
    FakeI2c::world().pause(uint64_t{seconds} * 1000000);
    return 0;
}
