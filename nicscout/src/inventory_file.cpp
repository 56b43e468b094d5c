#include "inventory_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>

namespace nicscout
{

namespace
{

std::invalid_argument tooLong()
{
    return std::invalid_argument("line longer than " +
                                 std::to_string(InventoryFile::maxLineLength) +
                                 " bytes");
}

std::invalid_argument tooLarge()
{
    return std::invalid_argument("file longer than " +
                                 std::to_string(InventoryFile::maxFileSize) +
                                 " bytes: the rest is not read");
}

} // namespace

InventoryFile::InventoryFile(const std::string& path) :
    InventoryFile(path, ownBuffer)
{}

InventoryFile::InventoryFile(const std::string& path, std::string& b) :
    buffer(b)
{
    buffer.clear();
    // A device is not even opened. What is opened is checked again, in
    // case the path changed meanwhile, and opened without blocking: a FIFO
    // would otherwise wait for a writer. A regular file reads the same
    // either way.
    struct stat st
    {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    {
        return;
    }
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
    {
        return;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        ::close(fd);
        fd = -1;
    }
}

InventoryFile::~InventoryFile()
{
    if (fd >= 0)
    {
        ::close(fd);
    }
}

bool InventoryFile::readLine(std::string& line)
{
    if (fd < 0)
    {
        return false;
    }
    // Bytes of this line already searched for its line feed.
    std::size_t scanned = 0;
    while (true)
    {
        std::size_t end = buffer.find('\n', start + scanned);
        if (end == std::string::npos && !atEnd)
        {
            scanned = buffer.size() - start;
            if (scanned > maxLineLength)
            {
                throw tooLong();
            }
            if (!fill() && readError)
            {
                return false;
            }
            continue;
        }
        if (end == std::string::npos)
        {
            // The last line, without a line feed, or nothing after one.
            end = buffer.size();
            if (end == start)
            {
                return false;
            }
        }
        if (end - start > maxLineLength)
        {
            throw tooLong();
        }
        // The file goes on past the bound: a line whose line feed lies
        // beyond it was cut there and is refused, as is all that follows.
        if (readBytes > maxFileSize &&
            readBytes - (buffer.size() - end) >= maxFileSize)
        {
            throw tooLarge();
        }
        line.assign(buffer, start, end - start);
        start = end == buffer.size() ? end : end + 1;
        return true;
    }
}

bool InventoryFile::fill()
{
    // Keep only the line being read, so the buffer stays near one line.
    buffer.erase(0, start);
    start = 0;

    // One byte past the bound is read, to tell a file of exactly that size
    // from a longer one.
    char chunk[16 * 1024];
    const std::size_t room = maxFileSize + 1 - readBytes;
    if (room == 0)
    {
        atEnd = true;
        return false;
    }
    while (true)
    {
        ssize_t n = ::read(fd, chunk, std::min(sizeof(chunk), room));
        if (n > 0)
        {
            buffer.append(chunk, static_cast<std::size_t>(n));
            readBytes += static_cast<std::size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        atEnd = true;
        readError = n < 0;
        return false;
    }
}

} // namespace nicscout
