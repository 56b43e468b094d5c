#include "library_floor.hpp"

#include "benchkit.hpp"
#include "storelib.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace arrayscout_bench
{

namespace
{

struct Recorded
{
    StorageCommand command{};
    std::vector<char> input;
    std::vector<char> area;
};

std::vector<Recorded> readRecord(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in),
                            std::istreambuf_iterator<char>()};
    constexpr std::size_t head = offsetof(StorageCommand, data);
    std::vector<Recorded> commands;
    for (std::size_t at = 0; at + head <= bytes.size();)
    {
        Recorded& r = commands.emplace_back();
        std::memcpy(&r.command, bytes.data() + at, head);
        at += head;
        if (at + r.command.dataSize > bytes.size())
        {
            std::cerr << path << " ends inside a command\n";
            std::exit(1);
        }
        r.input.assign(bytes.data() + at,
                       bytes.data() + at + r.command.dataSize);
        r.area = r.input;
        at += r.command.dataSize;
    }
    return commands;
}

void* load(const std::string& library)
{
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
    {
        std::cerr << "cannot load " << library << ": " << ::dlerror() << "\n";
        std::exit(1);
    }
    return handle;
}

template <typename F>
F symbol(void* handle, const char* name)
{
    void* p = ::dlsym(handle, name);
    if (p == nullptr)
    {
        std::cerr << "no " << name << ": " << ::dlerror() << "\n";
        std::exit(1);
    }
    return reinterpret_cast<F>(p);
}

/** The four probes of a scan, through the interposer's own functions. */
void probeBuses(void* interposer)
{
    auto open = symbol<int (*)(const char*, int, ...)>(interposer, "open");
    auto ioctl = symbol<int (*)(int, unsigned long, ...)>(interposer, "ioctl");
    auto write =
        symbol<ssize_t (*)(int, const void*, size_t)>(interposer, "write");
    auto close = symbol<int (*)(int)>(interposer, "close");
    for (int bus = 14; bus < 18; ++bus)
    {
        const std::string path = "/dev/i2c-" + std::to_string(bus);
        int fd = open(path.c_str(), O_RDWR);
        if (fd >= 0)
        {
            ioctl(fd, I2C_SLAVE, 0x01);
            write(fd, "", 0);
            close(fd);
        }
    }
}

} // namespace

LibraryFloor measureLibraryFloor(const std::string& record,
                                 const std::string& i2c, int rounds)
{
    std::vector<Recorded> commands = readRecord(record);
    LibraryFloor floor{.calls = commands.size()};
    auto send = [&commands](int (*process)(StorageCommand*)) {
        for (Recorded& r : commands)
        {
            // The daemon fills its data area before each call too.
            std::memcpy(r.area.data(), r.input.data(), r.input.size());
            StorageCommand cmd = r.command;
            cmd.data = r.area.empty() ? nullptr : r.area.data();
            process(&cmd);
        }
    };

    const std::size_t heapBefore = ::mallinfo2().uordblks;
    void* library = load("libstorelib.so.07");
    auto process =
        symbol<int (*)(StorageCommand*)>(library, "ProcessLibCommand");
    void* interposer = load(i2c);
    probeBuses(interposer);
    send(process);
    floor.standInKiB =
        static_cast<long>((::mallinfo2().uordblks - heapBefore) / 1024);

    const double cpu0 = benchkit::processCpuSeconds(::getpid());
    for (int i = 0; i < rounds; ++i)
    {
        send(process);
    }
    floor.cpuPerScanUs =
        (benchkit::processCpuSeconds(::getpid()) - cpu0) * 1e6 / rounds;
    // Both stay loaded: the stand-in's state ends with the process.
    return floor;
}

} // namespace arrayscout_bench
