#include "output.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <streambuf>
#include <vector>

namespace arrayscout
{

namespace
{

std::string vformat(const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0)
    {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

/** What /dev/null does with a write, without one. Holds no state, so the
 *  scans of both threads may write to it at once. */
class NullBuffer : public std::streambuf
{
  protected:
    int_type overflow(int_type c) override
    {
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* /*text*/, std::streamsize n) override
    {
        return n;
    }
};

NullBuffer nullBuffer;

bool leadsToNull(int fd)
{
    struct stat st
    {};
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == makedev(1, 3);
}

/** Whether the text for the stream would be dropped unseen. */
bool dropped(const std::ostream& stream)
{
    return stream.rdbuf() == &nullBuffer;
}

} // namespace

void dropNullOutput()
{
    if (leadsToNull(STDOUT_FILENO))
    {
        std::cout.rdbuf(&nullBuffer);
    }
    if (leadsToNull(STDERR_FILENO))
    {
        std::cerr.rdbuf(&nullBuffer);
    }
}

std::string strprintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = vformat(format, args);
    va_end(args);
    return text;
}

void printOut(const char* format, ...)
{
    if (dropped(std::cout))
    {
        return;
    }
    va_list args;
    va_start(args, format);
    std::cout << vformat(format, args);
    va_end(args);
}

void printErr(const char* format, ...)
{
    if (dropped(std::cerr))
    {
        return;
    }
    va_list args;
    va_start(args, format);
    std::cerr << vformat(format, args);
    va_end(args);
}

} // namespace arrayscout
