// SEL records for the SEL owner, and the SEL text file.
#include "libkn/sel.h"

#include "libkn/misc.h"
#include "libkn/shm.h"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{

constexpr size_t lineEndSize = 2;

// A copy of the file on the other file system, flushed, then the file
// removed; when the copy fails the file stays and no copy is left.
void moveAcross(const char* path, const char* target)
{
    if (copy_file_func(path, target) != 0)
    {
        ::unlink(target);
        return;
    }
    kn::Descriptor fd(::open(target, O_RDONLY | O_CLOEXEC));
    bool flushed = fd.isOpen() && ::fsync(fd.get()) == 0;
    fd.close();
    if (flushed)
    {
        ::unlink(path);
    }
}

} // namespace

int SensorSELWrite(void* base, uint8_t sensor_number, int /*unused*/,
                   uint8_t sensor_type, uint8_t event_type, uint8_t data1,
                   uint8_t data2, uint8_t data3)
{
    const uint8_t record[KN_SEL_RECORD_SIZE] = {
        0x21,       0x00,  0x02,  0xE1, 0xA2,        0xFF,
        0x4E,       0x20,  0x00,  0x04, sensor_type, sensor_number,
        event_type, data1, data2, data3};
    return add_sel_to_shm(base, record, sizeof(record)) == 0 ? 0 : -1;
}

int save_sel_to_file(int record_id, time_t time, int number, const char* text,
                     const char* directory)
{
    if (text == nullptr || directory == nullptr)
    {
        return -1;
    }
    char path[KN_SEL_LINE_SIZE];
    int length =
        std::snprintf(path, sizeof(path), "%s/%s", directory, KN_SEL_FILE_NAME);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(path))
    {
        return -1;
    }
    if (!kn::pathExists(directory))
    {
        ::mkdir(directory, 0755);
    }

    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), "#%d %d ", record_id, number);
    std::string line = prefix;
    size_t room = KN_SEL_LINE_SIZE - 1 - lineEndSize - line.size();
    for (size_t i = 0; text[i] != '\0' && i < room; ++i)
    {
        auto c = static_cast<unsigned char>(text[i]);
        // A line break or another control character in the text would
        // forge or break a line.
        line += (c < 0x20 && c != '\t') || c == 0x7F ? ' ' : text[i];
    }
    line += "\r\n";
    if (write_file_str(path, line.data(), static_cast<int>(line.size())) < 0)
    {
        return -1;
    }
    check_file_size(path, time);
    return 0;
}

int check_file_size(const char* path, time_t time)
{
    struct stat st
    {};
    if (path == nullptr || ::stat(path, &st) != 0 ||
        st.st_size < KN_SEL_FILE_LIMIT)
    {
        return 1;
    }
    struct tm local
    {};
    localtime_r(&time, &local);
    char target[256];
    std::snprintf(target, sizeof(target), "%s/sel-%04d%02d%02d%02d%02d%02d.log",
                  KN_SEL_ARCHIVE_FOLDER, local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (std::rename(path, target) != 0 && errno == EXDEV)
    {
        moveAcross(path, target);
    }
    return 0;
}
