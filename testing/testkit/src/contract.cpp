#include "testkit/contract.hpp"

#include "bus_guard.hpp"
#include "introspection.hpp"

#include <systemd/sd-bus.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace testkit
{

namespace
{

const std::set<std::string> standardInterfaces = {
    "org.freedesktop.DBus.Peer",
    "org.freedesktop.DBus.Introspectable",
    "org.freedesktop.DBus.Properties",
};

class Introspector
{
  public:
    explicit Introspector(std::string serviceName) :
        service(std::move(serviceName))
    {
        requireBusAddress("contractDifferences");
        int r = sd_bus_open_system(&bus);
        if (r < 0)
        {
            throw std::runtime_error(std::string("sd_bus_open_system: ") +
                                     std::strerror(-r));
        }
    }
    ~Introspector()
    {
        sd_bus_flush_close_unref(bus);
    }
    Introspector(const Introspector&) = delete;
    Introspector& operator=(const Introspector&) = delete;

    /** Every object under path that serves more than the standard
     *  interfaces, with those interfaces. */
    void walk(const std::string& path,
              std::map<std::string, InterfaceLines>& out)
    {
        IntrospectedNode node = parseIntrospection(introspect(path));
        for (const auto& name : standardInterfaces)
        {
            node.interfaces.erase(name);
        }
        if (!node.interfaces.empty())
        {
            out[path] = node.interfaces;
        }
        for (const auto& child : node.children)
        {
            walk(path == "/" ? "/" + child : path + "/" + child, out);
        }
    }

  private:
    std::string introspect(const std::string& path)
    {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        sd_bus_message* reply = nullptr;
        int r = sd_bus_call_method(bus, service.c_str(), path.c_str(),
                                   "org.freedesktop.DBus.Introspectable",
                                   "Introspect", &error, &reply, "");
        std::string xml;
        if (r >= 0)
        {
            const char* text = nullptr;
            r = sd_bus_message_read(reply, "s", &text);
            if (r >= 0)
            {
                xml = text;
            }
        }
        std::string why =
            error.message != nullptr ? error.message : std::strerror(-r);
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        if (r < 0)
        {
            throw std::runtime_error("Introspect of " + service + " " + path +
                                     ": " + why);
        }
        return xml;
    }

    std::string service;
    sd_bus* bus = nullptr;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
    {
        throw std::runtime_error("cannot read " + path);
    }
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string& keyOf(const std::string& line)
{
    return line;
}

template <typename Value>
const std::string& keyOf(const std::pair<const std::string, Value>& entry)
{
    return entry.first;
}

/** Where the name lies in an entry of the file: the whole of an object's
 *  path, the word after the kind in a member line ("property Name i read",
 *  "method Name in(s) out()"); nothing in an interface's annotation. Only
 *  there does a "{...}" stand for a number: elsewhere braces belong to a
 *  signature. */
std::pair<size_t, size_t> nameSpan(const std::string& entry)
{
    if (entry.starts_with("/"))
    {
        return {0, entry.size()};
    }
    size_t start = entry.find(' ');
    if (entry.starts_with("@") || start == std::string::npos)
    {
        return {0, 0};
    }
    ++start;
    size_t end = entry.find_first_of(" (", start);
    return {start, end == std::string::npos ? entry.size() : end};
}

bool isPattern(const std::string& entry)
{
    auto [start, end] = nameSpan(entry);
    return entry.find('{', start) < end;
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        if (std::strchr(".^$|()[]*+?\\{}", c) != nullptr)
        {
            out += '\\';
        }
        out += c;
    }
    return out;
}

/** The regular expression of a pattern entry: each "{...}" of its name
 *  stands for a number, decimal or hexadecimal. */
std::regex patternOf(const std::string& entry)
{
    auto [start, end] = nameSpan(entry);
    std::string re = escaped(entry.substr(0, start));
    for (size_t i = start; i < end; ++i)
    {
        size_t close = entry.find('}', i);
        if (entry[i] == '{' && close < end)
        {
            re += "[0-9A-Fa-f]+";
            i = close;
        }
        else
        {
            re += escaped(std::string(1, entry[i]));
        }
    }
    return std::regex(re + escaped(entry.substr(end)));
}

/** The file's entry that a served path or line stands under: itself when
 *  the file has it, or else the first pattern that matches; "" for none. */
template <typename Container>
std::string entryOf(const std::string& served, const Container& file)
{
    if (file.contains(served))
    {
        return served;
    }
    for (const auto& entry : file)
    {
        const std::string& name = keyOf(entry);
        if (isPattern(name) && std::regex_match(served, patternOf(name)))
        {
            return name;
        }
    }
    return "";
}

void compareInterface(const std::string& where,
                      const std::set<std::string>& served,
                      const std::set<std::string>& written,
                      std::vector<std::string>& differences)
{
    std::set<std::string> seen;
    for (const auto& line : served)
    {
        std::string entry = entryOf(line, written);
        if (entry.empty())
        {
            differences.push_back(where + ": served, not in the file: " + line);
        }
        seen.insert(entry);
    }
    for (const auto& line : written)
    {
        if (!seen.contains(line))
        {
            differences.push_back(where + ": in the file, not served: " + line);
        }
    }
}

void compareObject(const std::string& path, const InterfaceLines& served,
                   const InterfaceLines& written,
                   std::vector<std::string>& differences)
{
    for (const auto& [name, lines] : served)
    {
        auto it = written.find(name);
        if (it == written.end())
        {
            differences.push_back(path + ": interface " + name +
                                  " served, not in the file");
            continue;
        }
        compareInterface(path + " " + name, lines, it->second, differences);
    }
    for (const auto& [name, lines] : written)
    {
        if (!served.contains(name))
        {
            differences.push_back(path + ": interface " + name +
                                  " in the file, not served");
        }
    }
}

} // namespace

std::vector<std::string> contractDifferences(const std::string& service,
                                             const std::string& xmlFile)
{
    const auto file = parseIntrospection(readFile(xmlFile)).childInterfaces;
    std::map<std::string, InterfaceLines> served;
    Introspector(service).walk("/", served);

    std::vector<std::string> differences;
    std::set<std::string> seen;
    for (const auto& [path, interfaces] : served)
    {
        std::string object = entryOf(path, file);
        if (object.empty())
        {
            differences.push_back(path + ": served, not in the file");
            continue;
        }
        seen.insert(object);
        compareObject(path, interfaces, file.at(object), differences);
    }
    for (const auto& [name, interfaces] : file)
    {
        if (!seen.contains(name))
        {
            differences.push_back(name + ": in the file, not served");
        }
    }
    return differences;
}

} // namespace testkit
