// Named locks (POSIX semaphores), whole-file locks and NVR records.
#include "libkn/lock.h"

#include "libkn/log.h"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace
{

constexpr mode_t lockMode = 0644;
constexpr mode_t nvrMode = 0777;

// Whole-file lock of the type, waiting when command is F_SETLKW.
int wholeFileLock(int fd, int command, int type)
{
    int result = -1;
    do
    {
        result = fcntl_lock_util(fd, command, type, 0, SEEK_SET, 0);
    } while (result < 0 && errno == EINTR);
    return result;
}

// Writes length bytes at offset; false on failure.
bool writeAt(int fd, const uint8_t* bytes, int64_t offset, int64_t length)
{
    int64_t done = 0;
    while (done < length)
    {
        ssize_t written =
            ::pwrite(fd, bytes + done, static_cast<size_t>(length - done),
                     static_cast<off_t>(offset + done));
        if (written < 0 && errno == EINTR)
        {
            continue;
        }
        if (written <= 0)
        {
            return false;
        }
        done += written;
    }
    return true;
}

// Reads up to length bytes at offset; the count, or -1.
int64_t readAt(int fd, uint8_t* bytes, int64_t offset, int64_t length)
{
    int64_t done = 0;
    while (done < length)
    {
        ssize_t got =
            ::pread(fd, bytes + done, static_cast<size_t>(length - done),
                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return -1;
        }
        if (got == 0)
        {
            break;
        }
        done += got;
    }
    return done;
}

} // namespace

int init_lock(const char* name)
{
    sem_t* lock =
        name != nullptr ? sem_open(name, O_CREAT, lockMode, 1) : SEM_FAILED;
    if (lock == SEM_FAILED)
    {
        plog("init lock failed!\n");
        return -1;
    }
    sem_close(lock);
    return 0;
}

int get_lock(const char* name, sem_t** handle, int /*unused1*/, int /*unused2*/)
{
    sem_t* lock = name != nullptr && handle != nullptr ? sem_open(name, O_RDWR)
                                                       : SEM_FAILED;
    if (lock == SEM_FAILED)
    {
        plog("get_lock failed!\n");
        return -1;
    }
    while (sem_wait(lock) != 0)
    {
        if (errno != EINTR)
        {
            plog("sem_wait failed!\n");
            sem_close(lock);
            return -1;
        }
    }
    *handle = lock;
    return 0;
}

int release_lock(sem_t* handle)
{
    if (handle == nullptr)
    {
        return -1;
    }
    sem_post(handle);
    return sem_close(handle);
}

int fcntl_lock_util(int fd, int command, int type, int64_t start,
                    int16_t whence, int64_t length)
{
    struct flock lock
    {};
    lock.l_type = static_cast<short>(type);
    lock.l_whence = whence;
    lock.l_start = static_cast<off_t>(start);
    lock.l_len = static_cast<off_t>(length);
    lock.l_pid = 0;
    return ::fcntl(fd, command, &lock);
}

int file_lock_write(int fd)
{
    return wholeFileLock(fd, F_SETLKW, F_WRLCK);
}

int file_lock_read(int fd)
{
    return wholeFileLock(fd, F_SETLKW, F_RDLCK);
}

int file_unlock(int fd)
{
    return wholeFileLock(fd, F_SETLK, F_UNLCK);
}

int ReadWriteNVR(const char* path, void* buffer, int32_t offset, int32_t length,
                 uint8_t mode)
{
    if (path == nullptr || offset < 0 || length < 0 ||
        (buffer == nullptr && length > 0))
    {
        return -1;
    }
    bool writing = mode == KN_NVR_WRITE;
    bool readOnly = false;
    kn::Descriptor file;
    if (mode == KN_NVR_READ)
    {
        file.reset(::open(path, O_RDONLY | O_CLOEXEC));
        readOnly = file.isOpen();
    }
    if (!file.isOpen())
    {
        file.reset(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, nvrMode));
    }
    if (!file.isOpen())
    {
        return -1;
    }
    const int fd = file.get();
    if ((readOnly ? file_lock_read(fd) : file_lock_write(fd)) < 0)
    {
        return -1;
    }

    auto* bytes = static_cast<uint8_t*>(buffer);
    int64_t result = -1;
    if (writing)
    {
        result = writeAt(fd, bytes, offset, length) ? length : -1;
    }
    else
    {
        result = readAt(fd, bytes, offset, length);
    }

    file_unlock(fd);
    if (!file.close() && writing)
    {
        result = -1;
    }
    return static_cast<int>(result);
}

int API_ReadNVR(const char* path, int32_t offset, int32_t length, void* buffer)
{
    return ReadWriteNVR(path, buffer, offset, length, KN_NVR_READ);
}

int API_WriteNVR(const char* path, int32_t offset, int32_t length,
                 const void* buffer)
{
    // The buffer is only read in write mode.
    return ReadWriteNVR(path, const_cast<void*>(buffer), offset, length,
                        KN_NVR_WRITE);
}
