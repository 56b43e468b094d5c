#include "inventory_line.hpp"

#include <stdexcept>
#include <string>

namespace nicscout
{

int parseHex(const std::string& text, const std::string& what)
{
    try
    {
        return std::stoi(text, nullptr, 16);
    }
    catch (const std::invalid_argument&)
    {
        throw std::invalid_argument(what + " field \"" + text +
                                    "\" is not a hexadecimal number");
    }
    catch (const std::out_of_range&)
    {
        throw std::out_of_range(what + " field \"" + text +
                                "\" is out of range");
    }
}

std::vector<std::string> InventoryLine::split(const std::string& line)
{
    std::vector<std::string> fields;
    splitInto(line, fields);
    return fields;
}

namespace
{

int parseLocation(const std::string& text, const std::string& what)
{
    int value = parseHex(text, what);
    if (value < 0)
    {
        // A negative number cannot be part of an object path.
        throw std::invalid_argument(what + " field \"" + text +
                                    "\" is negative");
    }
    return value;
}

} // namespace

std::optional<InventoryLine> InventoryLine::parse(const std::string& line)
{
    InventoryLine parsed;
    if (!parsed.read(line))
    {
        return std::nullopt;
    }
    return parsed;
}

void InventoryLine::splitInto(std::string_view line,
                              std::vector<std::string>& fields)
{
    // Into the strings already there: no allocation once they are long
    // enough.
    std::size_t count = 0;
    std::size_t pos = 0;
    while (true)
    {
        std::size_t end = line.find('\t', pos);
        std::string_view text =
            line.substr(pos, end == std::string_view::npos ? end : end - pos);
        if (count == fields.size())
        {
            fields.emplace_back(text);
        }
        else
        {
            fields[count].assign(text);
        }
        ++count;
        if (end == std::string_view::npos)
        {
            break;
        }
        pos = line.find_first_not_of('\t', end + 1);
        if (pos == std::string_view::npos)
        {
            pos = line.size();
        }
    }
    fields.resize(count);
}

bool InventoryLine::read(std::string_view line)
{
    splitInto(line, fields);
    if (fields.size() < field::count)
    {
        return false;
    }
    for (std::size_t i = 0; i < field::count; ++i)
    {
        // A D-Bus string ends at its first NUL: the value would be cut.
        if (fields[i].find('\0') != std::string::npos)
        {
            throw std::invalid_argument("field " + std::to_string(i) +
                                        " holds a NUL byte");
        }
    }
    bus = parseLocation(fields[field::bus], "bus");
    device = parseLocation(fields[field::device], "device");
    port = parseHex(fields[field::port], "port");
    return true;
}

} // namespace nicscout
