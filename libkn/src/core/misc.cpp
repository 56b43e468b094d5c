// General helpers: CRC-16, processes, files, paths, strings and times.
#include "libkn/misc.h"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"
#include "core/spawn.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace
{

constexpr uint16_t crcPolynomial = 0x1021;

constexpr std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i)
    {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
        {
            crc = (crc & 0x8000) != 0 ? (crc << 1) ^ crcPolynomial : crc << 1;
        }
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr std::array<uint16_t, 256> crcTable = makeCrcTable();

// Bytes 36 to 39 of a header do not take part in its CRC.
constexpr uint64_t headerCrcSkipFirst = 36;
constexpr uint64_t headerCrcSkipLast = 39;

constexpr const char* defaultBlanks = " \t\n\r";

// Start of an UEFI firmware volume of the system NV data: the zero vector,
// then the file system GUID in its stored byte order.
constexpr std::array<uint8_t, 32> biosMarker = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0x8D, 0x2B, 0xF1, 0xFF, 0x96, 0x76,
    0x8B, 0x4C, 0xA9, 0x85, 0x27, 0x47, 0x07, 0x5B, 0x4F, 0x50};
constexpr off_t biosFirstPlace = 7;
constexpr int biosPlaces = 9;
constexpr off_t mebibyte = 1 << 20;

// A text that a caller may hold and even write its terminator to.
char* emptyText()
{
    thread_local char empty[1];
    empty[0] = '\0';
    return empty;
}

// Runs pidof and returns what it printed (at most a few kilobytes).
bool pidofOutput(const char* name, std::string& output)
{
    return kn::spawnWait({"pidof", name}, &output) != kn::spawnNotStarted;
}

// A file opened for replacing its content, or none after the
// " open %s error." message.
kn::Descriptor openForReplace(const char* path)
{
    kn::Descriptor fd(
        ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.isOpen())
    {
        std::printf(" open %s error.\n", path);
    }
    return fd;
}

bool inSet(char c, const char* set)
{
    return c != '\0' && std::strchr(set, c) != nullptr;
}

} // namespace

uint16_t CalculateCrc16Base(uint16_t crc, uint8_t byte)
{
    return static_cast<uint16_t>(crcTable[(byte ^ (crc >> 8)) & 0xFF] ^
                                 (crc << 8));
}

uint16_t calc_crc16(const uint8_t* buffer, uint32_t length)
{
    uint16_t crc = 0;
    if (buffer == nullptr)
    {
        return crc;
    }
    for (uint32_t i = 0; i < length; ++i)
    {
        crc = CalculateCrc16Base(crc, buffer[i]);
    }
    return crc;
}

uint16_t CalculateHeaderCrc16(uint16_t start, const uint8_t* buffer,
                              uint64_t length)
{
    if (buffer == nullptr || length != KN_HEADER_CRC_SIZE)
    {
        std::printf("Input parameter is invalid !!!");
        return start;
    }
    uint16_t crc = start;
    for (uint64_t i = 0; i < length; ++i)
    {
        if (i < headerCrcSkipFirst || i > headerCrcSkipLast)
        {
            crc = CalculateCrc16Base(crc, buffer[i]);
        }
    }
    return crc;
}

int get_pid_by_name(const char* name)
{
    if (name == nullptr || name[0] == '\0' || name[0] == '-')
    {
        return 0;
    }
    std::string output;
    if (!pidofOutput(name, output))
    {
        std::printf("get obmc-kn-var pid failed!");
        return 0;
    }
    long pid = std::strtol(output.c_str(), nullptr, 10);
    return pid > 0 && pid <= INT32_MAX ? static_cast<int>(pid) : 0;
}

int send_signal_to_process(const char* name, int signal, int value)
{
    int pid = get_pid_by_name(name);
    if (pid <= 0)
    {
        return -1;
    }
    union sigval payload
    {};
    payload.sival_int = value;
    return sigqueue(pid, signal, payload);
}

int app_name_get(int pid, char* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
    {
        return -1;
    }
    unsigned id = pid == -1 ? static_cast<unsigned>(getpid())
                            : static_cast<unsigned>(pid);
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/%u/exe", id);
    char target[257];
    ssize_t length = ::readlink(link, target, sizeof(target) - 1);
    if (length < 0)
    {
        return -1;
    }
    target[length] = '\0';
    kn::copyText(buffer, static_cast<size_t>(size), file_name_get(target));
    return 0;
}

int app_pid_existed(int pid)
{
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/%u", static_cast<unsigned>(pid));
    return kn::pathExists(path) ? 1 : 0;
}

int GetCurrentPath(char* buffer, const char* name)
{
    if (buffer == nullptr)
    {
        return -1;
    }
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/cmdline", getpid());
    kn::Descriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
    {
        return 0;
    }
    char command[257];
    ssize_t got = 0;
    do
    {
        got = ::read(fd.get(), command, sizeof(command) - 1);
    } while (got < 0 && errno == EINTR);
    fd.close();
    if (got <= 0)
    {
        return 0;
    }
    command[got] = '\0';

    // The command path is the first NUL-terminated argument; keep its
    // directory with the final '/'.
    std::string_view directory;
    if (const char* slash = std::strrchr(command, '/'))
    {
        directory =
            std::string_view(command, static_cast<size_t>(slash - command) + 1);
    }
    std::string result(directory);
    result += name != nullptr ? name : "";
    kn::copyText(buffer, KN_CURRENT_PATH_SIZE, result);
    return 0;
}

int read_file_value_error(const char* path, int* value)
{
    if (path == nullptr || value == nullptr)
    {
        return -1;
    }
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
    {
        return -1;
    }
    char line[256];
    bool read = std::fgets(line, sizeof(line), file) != nullptr;
    std::fclose(file);
    if (!read)
    {
        return -1;
    }
    *value = std::atoi(line);
    return 0;
}

int read_file_value(const char* path)
{
    if (path == nullptr)
    {
        return -1;
    }
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
    {
        return -1;
    }
    char line[256];
    bool read = std::fgets(line, sizeof(line), file) != nullptr;
    // A file that opens but cannot be read (a folder, a device attribute
    // that answers with an error) has no value; an empty one reads as 0.
    bool failed = !read && std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
    {
        return -1;
    }
    return read ? std::atoi(line) : 0;
}

int write_file_value(const char* path, int value)
{
    if (path == nullptr)
    {
        return -1;
    }
    char text[16];
    int length = std::snprintf(text, sizeof(text), "%d", value);
    return kn::writeFileBytes(path, O_TRUNC, text,
                              static_cast<size_t>(length)) < 0
               ? -1
               : 0;
}

int write_bin_value(const char* path, const void* buffer, int size)
{
    if (path == nullptr || buffer == nullptr || size <= 0)
    {
        return -1;
    }
    kn::Descriptor fd = openForReplace(path);
    if (!fd.isOpen())
    {
        return -1;
    }
    bool ok = kn::writeAll(fd.get(), buffer, static_cast<size_t>(size));
    ok = fd.close() && ok;
    return ok ? 0 : -1;
}

int writeFile(const char* path, const char* text)
{
    return write_file_str_truncate(path, text) < 0 ? -1 : 0;
}

int write_file_str_truncate(const char* path, const char* text)
{
    if (path == nullptr || text == nullptr)
    {
        return -1;
    }
    int written = kn::writeFileBytes(path, O_TRUNC, text, std::strlen(text));
    return written < 0 ? -1 : written;
}

int write_file_str(const char* path, const void* buffer, int size)
{
    if (path == nullptr || buffer == nullptr || size <= 0)
    {
        return -1;
    }
    int written =
        kn::writeFileBytes(path, O_APPEND, buffer, static_cast<size_t>(size));
    return written < 0 ? -1 : written;
}

int read_file_str(const char* path, char* buffer, int size)
{
    if (path == nullptr || buffer == nullptr || size <= 0)
    {
        return -1;
    }
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
    {
        std::printf(" open %s error.\n", path);
        return -1;
    }
    bool failed = false;
    if (std::fgets(buffer, size, file) == nullptr)
    {
        buffer[0] = '\0';
        failed = std::ferror(file) != 0;
    }
    std::fclose(file);
    return failed ? -1 : 0;
}

int read_all_file(const char* path, char* buffer, int size)
{
    if (path == nullptr || buffer == nullptr || size <= 0)
    {
        return -1;
    }
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
    {
        return -1;
    }
    size_t capacity = static_cast<size_t>(size) - 1;
    const size_t start = strnlen(buffer, capacity);
    size_t length = start;
    while (length < capacity)
    {
        size_t got = std::fread(buffer + length, 1, capacity - length, file);
        if (got == 0)
        {
            break;
        }
        length += got;
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
    {
        // Nothing of a file that could not be read: the caller's text
        // stays as it was.
        buffer[start] = '\0';
        return -1;
    }
    if (length > 0 && buffer[length - 1] == '\n')
    {
        --length;
    }
    buffer[length] = '\0';
    return 0;
}

int copy_file_func(const char* source, const char* destination)
{
    if (source == nullptr || destination == nullptr)
    {
        return -1;
    }
    kn::Descriptor in(::open(source, O_RDONLY | O_CLOEXEC));
    if (!in.isOpen())
    {
        std::printf("%s: can't open file[%s] \n", "copy_file_func", source);
        return 128;
    }
    // Opened without emptying it: the destination may be the source itself,
    // under its own name or through a link.
    kn::Descriptor out(
        ::open(destination, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (!out.isOpen())
    {
        std::printf("%s: can't open file[%s] \n", "copy_file_func",
                    destination);
        return 128;
    }
    struct stat from
    {};
    struct stat to
    {};
    bool ok = ::fstat(in.get(), &from) == 0 && ::fstat(out.get(), &to) == 0;
    if (ok && from.st_dev == to.st_dev && from.st_ino == to.st_ino)
    {
        return 0; // already a copy of itself
    }
    ok = ok && ::ftruncate(out.get(), 0) == 0;
    char chunk[65536];
    while (ok)
    {
        ssize_t got = ::read(in.get(), chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            ok = got == 0;
            break;
        }
        if (!kn::writeAll(out.get(), chunk, static_cast<size_t>(got)))
        {
            ok = false;
            break;
        }
    }
    in.close();
    ok = out.close() && ok;
    return ok ? 0 : -1;
}

int64_t get_file_size(const char* path)
{
    struct stat st
    {};
    if (path == nullptr || ::stat(path, &st) != 0)
    {
        return 0;
    }
    return static_cast<int64_t>(st.st_size);
}

int get_file_name(const char* directory, const char* text, char* output)
{
    if (directory == nullptr || text == nullptr || output == nullptr)
    {
        return -1;
    }
    DIR* dir = ::opendir(directory);
    if (dir == nullptr)
    {
        return -1;
    }
    int result = 1;
    while (const dirent* entry = ::readdir(dir))
    {
        std::string_view name = entry->d_name;
        if (name == "." || name == ".." ||
            std::strstr(entry->d_name, text) == nullptr)
        {
            continue;
        }
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN)
        {
            struct stat st
            {};
            isDirectory = ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == 0 &&
                          S_ISDIR(st.st_mode);
        }
        if (isDirectory)
        {
            kn::copyText(output, KN_FILE_NAME_SIZE, name);
            result = 0;
            break;
        }
    }
    ::closedir(dir);
    return result;
}

int path_create(const char* path)
{
    if (path == nullptr)
    {
        return -1;
    }
    if (kn::pathExists(path))
    {
        return 0;
    }
    return ::mkdir(path, 0777);
}

int file_existed(const char* path)
{
    return kn::pathExists(path) ? 1 : 0;
}

char* file_path_get(const char* path, char* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
    {
        return emptyText();
    }
    kn::copyText(buffer, static_cast<size_t>(size),
                 path != nullptr ? path : "");
    char* slash = std::strrchr(buffer, '/');
    return slash != nullptr ? slash + 1 : buffer;
}

char* file_name_get(const char* path)
{
    if (path == nullptr)
    {
        return emptyText();
    }
    const char* slash = std::strrchr(path, '/');
    return const_cast<char*>(slash != nullptr ? slash + 1 : path);
}

int bios_is_legal(const char* path)
{
    if (path == nullptr)
    {
        return 1;
    }
    kn::Descriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
    {
        return 1;
    }
    int result = 1;
    for (int i = 0; i < biosPlaces && result != 0; ++i)
    {
        std::array<uint8_t, biosMarker.size()> bytes{};
        ssize_t got = 0;
        do
        {
            got = ::pread(fd.get(), bytes.data(), bytes.size(),
                          (biosFirstPlace + i) * mebibyte);
        } while (got < 0 && errno == EINTR);
        if (got == static_cast<ssize_t>(bytes.size()) && bytes == biosMarker)
        {
            result = 0;
        }
    }
    return result;
}

char* strrev(char* text)
{
    if (text == nullptr)
    {
        return nullptr;
    }
    size_t length = std::strlen(text);
    for (size_t i = 0; i < length / 2; ++i)
    {
        char c = text[i];
        text[i] = text[length - 1 - i];
        text[length - 1 - i] = c;
    }
    return text;
}

int delete_string_blank(char* text)
{
    if (text == nullptr)
    {
        return -1;
    }
    size_t length = std::strlen(text);
    size_t first = 0;
    while (first < length && text[first] == ' ')
    {
        ++first;
    }
    if (first == length)
    {
        return 0;
    }
    size_t end = length;
    while (text[end - 1] == ' ')
    {
        --end;
    }
    std::memmove(text, text + first, end - first);
    text[end - first] = '\0';
    return 0;
}

char* rtspace(char* text)
{
    if (text == nullptr)
    {
        return nullptr;
    }
    size_t end = std::strlen(text);
    while (end > 0 && text[end - 1] == ' ')
    {
        --end;
    }
    text[end] = '\0';
    while (*text == ' ')
    {
        ++text;
    }
    return text;
}

char* skip_leading_chars(char* text, const char* set)
{
    if (text == nullptr)
    {
        return nullptr;
    }
    return text + std::strspn(text, set != nullptr ? set : defaultBlanks);
}

char* delete_trailing_chars(char* text, const char* set)
{
    if (text == nullptr)
    {
        return nullptr;
    }
    const char* blanks = set != nullptr ? set : defaultBlanks;
    size_t end = std::strlen(text);
    while (end > 0 && inSet(text[end - 1], blanks))
    {
        --end;
    }
    text[end] = '\0';
    return text;
}

char* string_strip(char* text)
{
    return delete_trailing_chars(skip_leading_chars(text, nullptr), nullptr);
}

int is_empty(const char* text)
{
    return text == nullptr || text[0] == '\0' ? 1 : 0;
}

int string_to_int(const kn_code_string* table, int count, const char* text)
{
    if (table == nullptr || text == nullptr)
    {
        return -1;
    }
    for (int i = 0; i < count; ++i)
    {
        if (table[i].text != nullptr && std::strcmp(table[i].text, text) == 0)
        {
            return table[i].code;
        }
    }
    return -1;
}

const char* int_to_string(const kn_code_string* table, int count, int code)
{
    if (table == nullptr)
    {
        return "";
    }
    for (int i = 0; i < count; ++i)
    {
        if (table[i].code == code)
        {
            return table[i].text != nullptr ? table[i].text : "";
        }
    }
    return "";
}

int32_t* bubble_sort(int32_t* values, int count)
{
    if (values == nullptr)
    {
        return values;
    }
    for (int pass = 1; pass < count; ++pass)
    {
        bool swapped = false;
        for (int i = 0; i < count - pass; ++i)
        {
            if (values[i] > values[i + 1])
            {
                int32_t value = values[i];
                values[i] = values[i + 1];
                values[i + 1] = value;
                swapped = true;
            }
        }
        if (!swapped)
        {
            break;
        }
    }
    return values;
}

int get_raid_hdd_manufacturer(const char* model, char* output)
{
    if (model == nullptr || output == nullptr)
    {
        return -1;
    }
    const char* vendor = nullptr;
    if (std::strstr(model, "INTEL") != nullptr)
    {
        vendor = "Intel";
    }
    else if (std::strstr(model, "SAMSUNG") != nullptr)
    {
        vendor = "Samsung";
    }
    else if (strncasecmp(model, "ST", 2) == 0)
    {
        vendor = "Seagate";
    }
    if (vendor == nullptr)
    {
        return -1;
    }
    kn::copyText(output, KN_HDD_VENDOR_SIZE, vendor);
    return 0;
}

int get_timestamp_string(char* buffer)
{
    if (buffer == nullptr)
    {
        return -1;
    }
    time_t now = std::time(nullptr);
    char text[64] = "";
    if (ctime_r(&now, text) == nullptr)
    {
        text[0] = '\0';
    }
    text[std::strcspn(text, "\n")] = '\0';
    kn::copyText(buffer, KN_TIMESTAMP_SIZE, text);
    return 0;
}

char* time_string_get(char* buffer, int size)
{
    if (buffer == nullptr || size <= 0)
    {
        return emptyText();
    }
    time_t now = std::time(nullptr);
    struct tm local
    {};
    if (localtime_r(&now, &local) == nullptr)
    {
        buffer[0] = '\0';
        return buffer;
    }
    std::snprintf(buffer, static_cast<size_t>(size),
                  "%04u-%02u-%02u %02u:%02u:%02u",
                  static_cast<unsigned>(local.tm_year + 1900),
                  static_cast<unsigned>(local.tm_mon + 1),
                  static_cast<unsigned>(local.tm_mday),
                  static_cast<unsigned>(local.tm_hour),
                  static_cast<unsigned>(local.tm_min),
                  static_cast<unsigned>(local.tm_sec));
    return buffer;
}

void split(std::vector<std::string>& pieces, const std::string& text,
           char separator)
{
    pieces.clear();
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == separator)
        {
            pieces.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (!text.empty())
    {
        // The rest after the last separator, or the empty piece that a
        // final separator ends.
        pieces.push_back(text.substr(start));
    }
}
