#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kn
{

bool writeAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return false;
        }
        if (written == 0)
        {
            errno = EIO;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool closeFd(int fd)
{
    return ::close(fd) == 0 || errno == EINTR;
}

int writeFileBytes(const char* path, int flags, const void* data, size_t size)
{
    int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666);
    if (fd < 0)
    {
        return -2;
    }
    bool ok = writeAll(fd, data, size);
    ok = closeFd(fd) && ok;
    return ok ? static_cast<int>(size) : -1;
}

size_t copyText(char* buffer, size_t size, std::string_view text)
{
    size_t length = text.size() < size - 1 ? text.size() : size - 1;
    if (length > 0)
    {
        std::memcpy(buffer, text.data(), length);
    }
    buffer[length] = '\0';
    return length;
}

bool pathExists(const char* path)
{
    struct stat st
    {};
    return path != nullptr && ::stat(path, &st) == 0;
}

} // namespace kn
