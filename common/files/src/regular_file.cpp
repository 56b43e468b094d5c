#include "files/regular_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace files
{

namespace
{

/** 0 when `fd` is a regular file made ready for use (truncated when asked,
 *  blocking again), else the errno of what failed. */
int makeReady(int fd, bool truncate)
{
    struct stat st
    {};
    if (::fstat(fd, &st) != 0)
    {
        return errno;
    }
    if (!S_ISREG(st.st_mode))
    {
        return EINVAL;
    }
    if (truncate && ::ftruncate(fd, 0) != 0)
    {
        return errno;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
    {
        return errno;
    }
    return 0;
}

} // namespace

int openRegular(const char* path, int flags, mode_t mode)
{
    int fd = ::open(path, (flags & ~O_TRUNC) | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
    {
        return -1;
    }
    if (int error = makeReady(fd, (flags & O_TRUNC) != 0); error != 0)
    {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

bool readRegular(const char* path, std::string& out, int flags)
{
    int fd = openRegular(path, O_RDONLY | flags);
    if (fd < 0)
    {
        return false;
    }
    std::string content;
    char buffer[4096];
    bool ok = true;
    while (true)
    {
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0)
        {
            ok = false;
            break;
        }
        if (n == 0)
        {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    int error = errno;
    ::close(fd);
    if (!ok)
    {
        errno = error;
        return false;
    }
    out = std::move(content);
    return true;
}

bool writeAll(int fd, const std::string& data)
{
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0)
    {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace files
