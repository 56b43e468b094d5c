// Logging: plain, time-stamped and typed log lines, and the typed logs'
// archive on the SD card.
#include "libkn/log.h"

#include "libkn/misc.h"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

char log_path[KN_LOG_TYPE_COUNT][KN_LOG_PATH_SIZE] = {
    "/run/BMCInfo/Development/Log/bmc/log_error",
    "/run/BMCInfo/Development/Log/bmc/log_warn",
    "/run/BMCInfo/Development/Log/bmc/log_info",
    "/run/BMCInfo/Development/Log/bmc/log_debug",
    "/var/BMCInfo/Development/Log/bmc/sel_extra",
    "/var/BMCInfo/Development/Log/bmc/log_action",
};

char nv_log_path[KN_LOG_TYPE_COUNT][KN_LOG_PATH_SIZE] = {
    "/media/card/BMCInfo/Development/Log/bmc/log_error",
    "/media/card/BMCInfo/Development/Log/bmc/log_warn",
    "/media/card/BMCInfo/Development/Log/bmc/log_info",
    "/media/card/BMCInfo/Development/Log/bmc/log_debug",
    "/media/card/BMCInfo/Development/Log/bmc/sel_extra",
    "/media/card/BMCInfo/Development/Log/bmc/log_action",
};

namespace
{

constexpr const char* plainLogFile = "/tmp/log-bmc";
constexpr const char* logFile = "/tmp/log";
constexpr const char* debugSwitchFile = "/tmp/debug.log";
constexpr const char* cardMountPoint = "/media/card";
constexpr const char* logTag = "libkn";
constexpr int backtraceDepth = 500;

const char* orEmpty(const char* text)
{
    return text != nullptr ? text : "";
}

// The caller's message, cut at KN_LOG_MESSAGE_SIZE characters.
std::string formatMessage(const char* format, va_list args)
{
    if (format == nullptr)
    {
        return {};
    }
    char message[KN_LOG_MESSAGE_SIZE];
    int length = std::vsnprintf(message, sizeof(message), format, args);
    if (length < 0)
    {
        return {};
    }
    return message;
}

// Local time as "yy-mm-dd HH:MM:SS", or the seconds since the epoch when
// the time cannot be broken down.
std::string logTime()
{
    time_t now = std::time(nullptr);
    struct tm local
    {};
    char text[20] = "";
    if (localtime_r(&now, &local) != nullptr)
    {
        std::strftime(text, sizeof(text), "%y-%m-%d %H:%M:%S", &local);
    }
    if (text[0] == '\0')
    {
        std::snprintf(text, sizeof(text), "%lld", static_cast<long long>(now));
    }
    return text;
}

// Appends one whole line with a single write; failures are dropped.
void appendLine(const char* path, const std::string& line)
{
    kn::writeFileBytes(path, O_APPEND, line.data(), line.size());
}

bool validLogType(int type)
{
    return type >= 0 && type < KN_LOG_TYPE_COUNT;
}

} // namespace

void plog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = formatMessage(format, args);
    va_end(args);
    appendLine(plainLogFile, message);
}

void kestrelonLog(const char* format, va_list args)
{
    std::string message = formatMessage(format, args);
    std::string line = "[" + std::to_string(getpid()) + "] " + logTime() + " " +
                       message + "\n";
    appendLine(logFile, line);
}

void kestrelon_log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    kestrelonLog(format, args);
    va_end(args);
}

void _kn_logv(KNSystemLogSeverity /*severity*/, const char* format,
              va_list args)
{
    std::string message = formatMessage(format, args);
    std::string line = std::string(logTag) + "[" + std::to_string(getpid()) +
                       "][" + logTime() + "]: " + message;
    appendLine(logFile, line);
}

void _kn_warn(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    _kn_logv(KN_SYSTEM_LOG_WARNING, format, args);
    va_end(args);
}

void _kn_warn_message(const char* format, const char* a, const char* b,
                      const char* file, int line)
{
    _kn_warn(format, file_name_get(file), line, orEmpty(a), orEmpty(b));
}

void _kn_warn_return_if_fail(const char* function, const char* expression,
                             const char* file, int line)
{
    _kn_warn("[%s(%d)] %s expression \"%s\" failed.\n", file_name_get(file),
             line, orEmpty(function), orEmpty(expression));
}

void _kn_print_backtrace(void)
{
    void* frames[backtraceDepth];
    int count = backtrace(frames, backtraceDepth);
    char** symbols = backtrace_symbols(frames, count);
    if (symbols == nullptr)
    {
        return;
    }
    for (int i = 0; i < count; ++i)
    {
        kestrelon_log("  %s\n", symbols[i]);
    }
    std::free(symbols);
}

void _kn_abort(void)
{
    _kn_print_backtrace();
    std::exit(1);
}

unsigned _kn_real_assert(unsigned condition, const char* expression,
                         const char* file, int line, const char* function)
{
    if (condition == 0)
    {
        _kn_warn("assertion failed \"%s\" file \"%s\" line %d function %s",
                 orEmpty(expression), orEmpty(file), line, orEmpty(function));
        _kn_abort();
    }
    return condition;
}

void _kn_real_assert_not_reached(const char* function, const char* file,
                                 int line)
{
    _kn_warn("File \"%s\" line %d should not have been reached: %s",
             orEmpty(file), line, orEmpty(function));
    _kn_abort();
}

namespace
{

// Name of the archive of a full working log: the type's archive row and
// the local time, fields as the broken-down time holds them.
std::string archiveName(int type)
{
    std::string row = kn::rowText(nv_log_path[type]);
    time_t now = std::time(nullptr);
    struct tm local
    {};
    char name[256];
    if (localtime_r(&now, &local) != nullptr)
    {
        std::snprintf(name, sizeof(name), "%s_%d-%d-%d_%d-%d-%d", row.c_str(),
                      local.tm_year, local.tm_mon, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec);
    }
    else
    {
        std::snprintf(name, sizeof(name), "%s_unknow", row.c_str());
    }
    return name;
}

// Creates the folder and the folders above it that are missing.
void makeFolders(const std::string& folder)
{
    for (size_t at = folder.find('/', 1); at != std::string::npos;
         at = folder.find('/', at + 1))
    {
        ::mkdir(folder.substr(0, at).c_str(), 0777);
    }
    ::mkdir(folder.c_str(), 0777);
}

// Appends the whole working log at fd to the archive at path, written
// through to storage. A copy that fails is cut off again, so the archive
// never ends in a piece of a log.
bool appendToArchive(int fd, const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
    {
        makeFolders(path.substr(0, slash));
    }
    kn::Descriptor out(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (!out.isOpen())
    {
        return false;
    }
    struct stat before
    {};
    bool ok = ::fstat(out.get(), &before) == 0;
    char chunk[65536];
    for (off_t offset = 0; ok;)
    {
        ssize_t got = ::pread(fd, chunk, sizeof(chunk), offset);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            ok = got == 0;
            break;
        }
        ok = kn::writeAll(out.get(), chunk, static_cast<size_t>(got));
        offset += got;
    }
    ok = ok && ::fsync(out.get()) == 0;
    if (!ok)
    {
        ::ftruncate(out.get(), before.st_size);
    }
    return out.close() && ok;
}

// Archives the working log at fd when it reached the limit; the caller
// holds its lock. 1 when it is to be emptied, 0 when below the limit.
int archiveWhenFull(int type, int fd, const char* path)
{
    struct stat st
    {};
    if (::fstat(fd, &st) != 0 || st.st_size < KN_LOG_ARCHIVE_LIMIT)
    {
        return 0;
    }
    std::string archive = archiveName(type);
    if (!kn::pathExists(cardMountPoint))
    {
        std::printf(
            "%s: SD do not present,but the file[%s] length out of space\n",
            "save_log_to_nv_storage", path);
    }
    else if (!appendToArchive(fd, archive))
    {
        std::printf("%s: archive [%s] of the file[%s] failed\n",
                    "save_log_to_nv_storage", archive.c_str(), path);
    }
    return 1;
}

// Takes the lock of a log file, waiting for it.
bool lockLog(int fd)
{
    int result = 0;
    do
    {
        result = ::flock(fd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

void reportUnopened(const char* path)
{
    std::printf("%s: open file [%s] fail \n", "save_log_to_nv_storage", path);
}

} // namespace

int log_call(int type, const char* format, ...)
{
    if (!validLogType(type))
    {
        return std::printf("%s: invalid log type[%d] \n", "log_call", type);
    }
    if (type == KN_LOG_DEBUG && !kn::pathExists(debugSwitchFile))
    {
        return -1;
    }

    va_list args;
    va_start(args, format);
    std::string message = formatMessage(format, args);
    va_end(args);

    char stamp[KN_TIMESTAMP_SIZE];
    get_timestamp_string(stamp);
    std::string line = std::string(stamp) + "-" + message + "\n";

    // The lock is held from the size check through the archive copy, the
    // emptying and this line: another writer neither archives the same log
    // again nor loses a line to the emptying.
    std::string path = kn::rowText(log_path[type]);
    constexpr int flags = O_RDWR | O_APPEND | O_CLOEXEC;
    kn::Descriptor fd(::open(path.c_str(), flags));
    if (!fd.isOpen())
    {
        reportUnopened(path.c_str());
        fd.reset(::open(path.c_str(), flags | O_CREAT, 0666));
    }
    if (!fd.isOpen())
    {
        return 0;
    }
    if (lockLog(fd.get()) && archiveWhenFull(type, fd.get(), path.c_str()) == 1)
    {
        ::ftruncate(fd.get(), 0);
    }
    kn::writeAll(fd.get(), line.data(), line.size());
    return 0;
}

int save_log_to_nv_storage(int type, const char* path)
{
    if (!validLogType(type) || path == nullptr)
    {
        return -1;
    }
    kn::Descriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
    {
        reportUnopened(path);
        return -1;
    }
    // Under the lock that log_call takes: no rotation of it meanwhile.
    return lockLog(fd.get()) ? archiveWhenFull(type, fd.get(), path) : 0;
}
