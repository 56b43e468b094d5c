#include "output.hpp"

#include <cstdarg>
#include <cstdio>
#include <iostream>
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

} // namespace

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
    va_list args;
    va_start(args, format);
    std::cout << vformat(format, args);
    va_end(args);
}

void printErr(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::cerr << vformat(format, args);
    va_end(args);
}

} // namespace arrayscout
