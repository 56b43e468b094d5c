// SEL records for the SEL owner, and the SEL text file.
#include "libkn/sel.h"

#include "libkn/misc.h"
#include "libkn/shm.h"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{

constexpr size_t lineEndSize = 2;
// Archives of one second's name: the name, then "-1" to "-99" before the
// ".log".
constexpr int archiveSuffixes = 100;

// The exclusive lock of a SEL file, on "<file>.lock" beside it: writers
// that append, check the size and move the file take turns. Without a lock
// file (a folder that cannot take one) the caller goes on unlocked.
class SelLock
{
  public:
    explicit SelLock(const std::string& path)
    {
        const std::string name = path + ".lock";
        fd.reset(::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!fd.isOpen())
        {
            fd.reset(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
        }
        while (fd.isOpen() && ::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR)
        {}
    }

  private:
    kn::Descriptor fd; // its close releases the lock
};

// The name of the archive for a time, with the n-th numbered suffix.
std::string archiveName(const struct tm& local, int n)
{
    char name[256];
    int length = std::snprintf(
        name, sizeof(name), "%s/sel-%04d%02d%02d%02d%02d%02d",
        KN_SEL_ARCHIVE_FOLDER, local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    if (n > 0 && length > 0 && static_cast<size_t>(length) < sizeof(name))
    {
        std::snprintf(name + length, sizeof(name) - length, "-%d", n);
    }
    return std::string(name) + ".log";
}

bool copyAll(int from, int to)
{
    char chunk[65536];
    for (off_t offset = 0;;)
    {
        ssize_t got = ::pread(from, chunk, sizeof(chunk), offset);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            return got == 0;
        }
        if (!kn::writeAll(to, chunk, static_cast<size_t>(got)))
        {
            return false;
        }
        offset += got;
    }
}

// A copy of the file on the card's file system under a free archive name,
// flushed; then the file removed, when its path still names the file that
// was copied. When the card has no room for it nothing is copied; when the
// copy fails the file stays and no copy is left.
void moveAcross(const char* path, const struct tm& local)
{
    kn::Descriptor in(::open(path, O_RDONLY | O_CLOEXEC));
    struct stat copied
    {};
    if (!in.isOpen())
    {
        return;
    }
    struct statvfs card
    {};
    if (::fstat(in.get(), &copied) != 0 ||
        ::statvfs(KN_SEL_ARCHIVE_FOLDER, &card) != 0)
    {
        return;
    }
    if (static_cast<uint64_t>(card.f_bavail) * card.f_frsize <
        static_cast<uint64_t>(copied.st_size))
    {
        std::printf("%s: no room in [%s] for the file[%s]\n", "check_file_size",
                    KN_SEL_ARCHIVE_FOLDER, path);
        std::fflush(stdout);
        return;
    }
    std::string target;
    kn::Descriptor out;
    for (int n = 0; n < archiveSuffixes && !out.isOpen(); ++n)
    {
        target = archiveName(local, n);
        out.reset(::open(target.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!out.isOpen() && errno != EEXIST)
        {
            break;
        }
    }
    if (!out.isOpen())
    {
        return;
    }
    bool ok = copyAll(in.get(), out.get()) && ::fsync(out.get()) == 0;
    ok = out.close() && ok;
    in.close();
    struct stat now
    {};
    if (!ok)
    {
        ::unlink(target.c_str());
    }
    else if (::stat(path, &now) == 0 && now.st_dev == copied.st_dev &&
             now.st_ino == copied.st_ino)
    {
        ::unlink(path);
    }
}

// The size check and the move; the caller holds the file's lock.
int rotateWhenFull(const char* path, int64_t time)
{
    struct stat st
    {};
    if (::stat(path, &st) != 0 || st.st_size < KN_SEL_FILE_LIMIT)
    {
        return 1;
    }
    const auto when = static_cast<time_t>(time);
    struct tm local
    {};
    localtime_r(&when, &local);
    // An archive of the same name is never replaced: where the file system
    // cannot rename without replacing, a second link does the same.
    bool across = false;
    for (int n = 0; n < archiveSuffixes; ++n)
    {
        const std::string target = archiveName(local, n);
        int moved = ::renameat2(AT_FDCWD, path, AT_FDCWD, target.c_str(),
                                RENAME_NOREPLACE);
        if (moved != 0 && errno == EINVAL)
        {
            moved = ::link(path, target.c_str());
            if (moved == 0)
            {
                ::unlink(path);
            }
        }
        if (moved == 0 || errno != EEXIST)
        {
            across = moved != 0 && errno == EXDEV;
            break;
        }
    }
    if (across)
    {
        moveAcross(path, local);
    }
    return 0;
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

int save_sel_to_file(int record_id, int64_t time, int number, const char* text,
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
    // One writer at a time appends, checks the size and moves the file: no
    // line goes to a file that another writer is moving away.
    SelLock lock(path);
    if (write_file_str(path, line.data(), static_cast<int>(line.size())) < 0)
    {
        return -1;
    }
    rotateWhenFull(path, time);
    return 0;
}

int check_file_size(const char* path, int64_t time)
{
    if (path == nullptr)
    {
        return 1;
    }
    SelLock lock(path);
    return rotateWhenFull(path, time);
}
