#include "files/regular_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace files
{

int openRegular(const char* path, int flags, mode_t mode)
{
    const bool truncate = (flags & O_TRUNC) != 0;
    int fd = ::open(path, (flags & ~O_TRUNC) | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0)
    {
        return -1;
    }
    struct stat st
    {};
    int error = 0;
    if (::fstat(fd, &st) != 0)
    {
        error = errno;
    }
    else if (!S_ISREG(st.st_mode))
    {
        error = EINVAL;
    }
    else if (truncate && ::ftruncate(fd, 0) != 0)
    {
        error = errno;
    }
    else
    {
        int fl = ::fcntl(fd, F_GETFL);
        if (fl < 0 || ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0)
        {
            error = errno;
        }
    }
    if (error != 0)
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

} // namespace files
