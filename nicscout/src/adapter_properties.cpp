#include "adapter_properties.hpp"

#include <cstdint>

namespace nicscout
{

std::string adapterPath(int bus, int device)
{
    return std::string(rootPath) + "/enp" + std::to_string(bus) + "s" +
           std::to_string(device);
}

std::string portCount(int port)
{
    return std::to_string(static_cast<int64_t>(port) + 1);
}

std::string deviceType(int port)
{
    return port <= 0 ? "SingleFunction" : "MultiFunction";
}

bool isPublishableName(const std::string& name)
{
    constexpr std::size_t maxMemberLength = 255;
    if (name.empty() || name.size() > maxMemberLength ||
        (name.front() >= '0' && name.front() <= '9'))
    {
        return false;
    }
    for (char c : name)
    {
        bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                       (c >= '0' && c <= '9') || c == '_';
        if (!allowed)
        {
            return false;
        }
    }
    return true;
}

namespace
{

constexpr const char* replacement = "\xEF\xBF\xBD"; // U+FFFD

/** Length of the well-formed sequence at text[i], 0 when there is none. */
std::size_t sequenceAt(const std::string& text, std::size_t i,
                       uint32_t& codePoint)
{
    auto byte = [&text](std::size_t k) {
        return static_cast<uint8_t>(text[k]);
    };
    uint8_t lead = byte(i);
    std::size_t length = 0;
    uint32_t minimum = 0;
    if (lead < 0x80)
    {
        codePoint = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0)
    {
        length = 2;
        minimum = 0x80;
        codePoint = lead & 0x1F;
    }
    else if ((lead & 0xF0) == 0xE0)
    {
        length = 3;
        minimum = 0x800;
        codePoint = lead & 0x0F;
    }
    else if ((lead & 0xF8) == 0xF0)
    {
        length = 4;
        minimum = 0x10000;
        codePoint = lead & 0x07;
    }
    else
    {
        return 0;
    }
    if (text.size() - i < length)
    {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k)
    {
        if ((byte(i + k) & 0xC0) != 0x80)
        {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF))
    {
        return 0;
    }
    return length;
}

bool isNoncharacter(uint32_t c)
{
    return (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
}

} // namespace

std::string repairUtf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size())
    {
        uint32_t codePoint = 0;
        std::size_t length = sequenceAt(text, i, codePoint);
        if (length == 0)
        {
            out += replacement;
            ++i;
        }
        else if (isNoncharacter(codePoint))
        {
            out += replacement;
            i += length;
        }
        else
        {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

} // namespace nicscout
