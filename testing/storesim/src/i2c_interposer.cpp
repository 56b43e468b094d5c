// Simulated I2C bus devices /dev/i2c-N, for a process that has this library
// preloaded (or linked before the C library). The buses are those of the
// description of sim_config.hpp: a bus listed there opens (on /dev/null),
// accepts the I2C_SLAVE request, and accepts a write when its card answers
// ("card", default true); a bus not listed does not exist. Every other
// path and descriptor goes to the C library unchanged.

// The C library's own names are defined here, not their 64-bit aliases.
#undef _FILE_OFFSET_BITS

#include "sim_config.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace
{

struct Buses
{
    std::recursive_mutex lock;
    storesim::SimConfig config;
    std::map<int, bool> open; // descriptor -> whether its card answers
};

Buses& buses()
{
    static Buses b;
    return b;
}

template <typename F>
F real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

/** The bus number of "/dev/i2c-N", or -1. */
int busNumber(const char* path)
{
    constexpr const char prefix[] = "/dev/i2c-";
    if (path == nullptr || std::strncmp(path, prefix, sizeof(prefix) - 1) != 0)
    {
        return -1;
    }
    const char* digits = path + sizeof(prefix) - 1;
    if (*digits == '\0')
    {
        return -1;
    }
    char* end = nullptr;
    long n = std::strtol(digits, &end, 10);
    return (*end == '\0' && n >= 0) ? static_cast<int>(n) : -1;
}

/** Opens a simulated bus: a descriptor, or -1 with errno. */
int openBus(int bus)
{
    Buses& b = buses();
    std::lock_guard guard(b.lock);
    b.config.refresh();
    const auto& root = b.config.json();
    auto list = root.find("buses");
    if (list != root.end() && list->is_array())
    {
        for (const auto& entry : *list)
        {
            if (entry.value("bus", -1) != bus)
            {
                continue;
            }
            using OpenFn = int (*)(const char*, int, ...);
            static OpenFn realOpen = real<OpenFn>("open");
            int fd = realOpen("/dev/null", O_RDWR | O_CLOEXEC);
            if (fd >= 0)
            {
                b.open[fd] = entry.value("card", true);
            }
            return fd;
        }
    }
    errno = ENOENT;
    return -1;
}

int openCommon(const char* path, int flags, mode_t mode, const char* next)
{
    int bus = busNumber(path);
    if (bus >= 0)
    {
        return openBus(bus);
    }
    using OpenFn = int (*)(const char*, int, ...);
    return real<OpenFn>(next)(path, flags, mode);
}

mode_t modeArg(int flags, va_list args)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
    {
        return static_cast<mode_t>(va_arg(args, int));
    }
    return 0;
}

/** Keeps the simulation to the process it was preloaded into: the
 *  programs it starts (the shell, busctl) get the plain C library. */
__attribute__((constructor)) void leaveChildrenAlone()
{
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr)
    {
        return;
    }
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&leaveChildrenAlone), &self) == 0 ||
        self.dli_fname == nullptr)
    {
        return;
    }
    std::string own = self.dli_fname;
    std::string kept;
    std::string list = preload;
    std::size_t start = 0;
    while (start <= list.size())
    {
        std::size_t end = list.find_first_of(" :", start);
        if (end == std::string::npos)
        {
            end = list.size();
        }
        std::string entry = list.substr(start, end - start);
        bool mine = !entry.empty() &&
                    (entry == own || (entry.find('/') == std::string::npos &&
                                      own.ends_with("/" + entry)));
        if (!entry.empty() && !mine)
        {
            kept += (kept.empty() ? "" : ":") + entry;
        }
        start = end + 1;
    }
    if (kept.empty())
    {
        ::unsetenv("LD_PRELOAD");
    }
    else
    {
        ::setenv("LD_PRELOAD", kept.c_str(), 1);
    }
}

} // namespace

extern "C"
{
__attribute__((visibility("default"))) int open(const char* path, int flags,
                                                ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArg(flags, args);
    va_end(args);
    return openCommon(path, flags, mode, "open");
}

__attribute__((visibility("default"))) int open64(const char* path, int flags,
                                                  ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = modeArg(flags, args);
    va_end(args);
    return openCommon(path, flags, mode, "open64");
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags)
{
    return openCommon(path, flags, 0, "open");
}

__attribute__((visibility("default"))) int __open64_2(const char* path,
                                                      int flags)
{
    return openCommon(path, flags, 0, "open64");
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                 ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    {
        Buses& b = buses();
        std::lock_guard guard(b.lock);
        if (b.open.contains(fd))
        {
            if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE)
            {
                return 0;
            }
            errno = ENOTTY;
            return -1;
        }
    }
    using IoctlFn = int (*)(int, unsigned long, ...);
    static IoctlFn realIoctl = real<IoctlFn>("ioctl");
    return realIoctl(fd, request, arg);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void* buf,
                                                     size_t count)
{
    {
        Buses& b = buses();
        std::lock_guard guard(b.lock);
        auto it = b.open.find(fd);
        if (it != b.open.end())
        {
            if (!it->second)
            {
                errno = ENXIO;
                return -1;
            }
            return static_cast<ssize_t>(count);
        }
    }
    using WriteFn = ssize_t (*)(int, const void*, size_t);
    static WriteFn realWrite = real<WriteFn>("write");
    return realWrite(fd, buf, count);
}

__attribute__((visibility("default"))) int close(int fd)
{
    {
        Buses& b = buses();
        std::lock_guard guard(b.lock);
        b.open.erase(fd);
    }
    using CloseFn = int (*)(int);
    static CloseFn realClose = real<CloseFn>("close");
    return realClose(fd);
}

} // extern "C"
