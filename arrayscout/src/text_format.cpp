#include "text_format.hpp"

#include "output.hpp"

namespace arrayscout
{

std::string formatBlockSize(uint8_t code)
{
    if (code == 0)
    {
        return "512B";
    }
    if (code <= 10)
    {
        return std::to_string(1U << (code - 1)) + "KB";
    }
    if (code <= 20)
    {
        return std::to_string(1U << (code - 11)) + "MB";
    }
    if (code <= 30)
    {
        return std::to_string(1U << (code - 21)) + "GB";
    }
    return "Unknown";
}

std::string formatCapacity(uint64_t bytes, int decimals)
{
    static constexpr const char* units[] = {"Bytes", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int divisions = 0;
    while (value >= 1024 && divisions < 4)
    {
        value /= 1024;
        ++divisions;
    }
    return strprintf("%.*f %s", decimals, value, units[divisions]);
}

} // namespace arrayscout
