#include "inventory_line.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

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
    boost::split(fields, line, boost::is_any_of("\t"),
                 boost::token_compress_on);
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
    parsed.fields = split(line);
    if (parsed.fields.size() < field::count)
    {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < field::count; ++i)
    {
        // A D-Bus string ends at its first NUL: the value would be cut.
        if (parsed.fields[i].find('\0') != std::string::npos)
        {
            throw std::invalid_argument("field " + std::to_string(i) +
                                        " holds a NUL byte");
        }
    }
    parsed.bus = parseLocation(parsed.fields[field::bus], "bus");
    parsed.device = parseLocation(parsed.fields[field::device], "device");
    parsed.port = parseHex(parsed.fields[field::port], "port");
    return parsed;
}

} // namespace nicscout
