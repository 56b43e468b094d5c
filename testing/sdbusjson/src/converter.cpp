#include "sdbusjson/converter.hpp"

#include "sdbusjson/signature.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace sdbusjson
{

using nlohmann::json;

namespace
{

std::string show(const json& value)
{
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

[[noreturn]] void mismatch(std::string_view sig, const json& value,
                           const std::string& why)
{
    throw std::invalid_argument("value " + show(value) +
                                " does not fit type \"" + std::string(sig) +
                                "\": " + why);
}

void check(int r, const char* what, std::string_view sig)
{
    if (r < 0)
    {
        throw std::system_error(-r, std::generic_category(),
                                std::string(what) + " of type \"" +
                                    std::string(sig) + "\" failed");
    }
}

bool isDict(std::string_view sig)
{
    return sig.size() > 1 && sig[0] == 'a' && sig[1] == '{';
}

/** Key and value types of a dictionary type "a{kv}". */
std::pair<std::string, std::string> dictTypes(std::string_view sig)
{
    return {std::string(sig.substr(2, 1)),
            std::string(sig.substr(3, sig.size() - 4))};
}

/** Member types of a structure type "(...)". */
std::vector<std::string> structTypes(std::string_view sig)
{
    return signature::split(sig.substr(1, sig.size() - 2));
}

template <typename T>
json integer(std::string_view sig, const json& value)
{
    if (!value.is_number_integer())
    {
        mismatch(sig, value, "not an integer");
    }
    constexpr auto max = static_cast<uint64_t>(std::numeric_limits<T>::max());
    if (value.is_number_unsigned())
    {
        auto u = value.get<uint64_t>();
        if (u > max)
        {
            mismatch(sig, value, "out of range");
        }
        if constexpr (std::is_signed_v<T>)
        {
            return json(static_cast<int64_t>(u));
        }
        else
        {
            return json(u);
        }
    }
    auto s = value.get<int64_t>();
    if (s < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        (s > 0 && static_cast<uint64_t>(s) > max))
    {
        mismatch(sig, value, "out of range");
    }
    if constexpr (std::is_signed_v<T>)
    {
        return json(s);
    }
    else
    {
        return json(static_cast<uint64_t>(s));
    }
}

json normalizeKey(std::string_view keySig, const std::string& key)
{
    char c = keySig[0];
    if (c == 's' || c == 'o' || c == 'g')
    {
        return Converter::normalize(keySig, json(key));
    }
    json parsed;
    try
    {
        parsed = json::parse(key);
    }
    catch (const json::exception&)
    {
        mismatch(keySig, json(key), "key is not a value of this type");
    }
    return Converter::normalize(keySig, parsed);
}

template <typename T>
void appendBasic(sd_bus_message* m, std::string_view sig, T value)
{
    check(sd_bus_message_append_basic(m, sig[0], &value), "appending", sig);
}

void appendNormalized(sd_bus_message* m, std::string_view sig,
                      const json& value)
{
    char c = sig[0];
    switch (c)
    {
        case 'y':
            appendBasic(m, sig, value.get<uint8_t>());
            return;
        case 'b':
            appendBasic(m, sig, static_cast<int>(value.get<bool>()));
            return;
        case 'n':
            appendBasic(m, sig, value.get<int16_t>());
            return;
        case 'q':
            appendBasic(m, sig, value.get<uint16_t>());
            return;
        case 'i':
            appendBasic(m, sig, value.get<int32_t>());
            return;
        case 'u':
            appendBasic(m, sig, value.get<uint32_t>());
            return;
        case 'x':
            appendBasic(m, sig, value.get<int64_t>());
            return;
        case 't':
            appendBasic(m, sig, value.get<uint64_t>());
            return;
        case 'd':
            appendBasic(m, sig, value.get<double>());
            return;
        case 's':
        case 'o':
        case 'g':
        {
            const auto& text = value.get_ref<const std::string&>();
            check(sd_bus_message_append_basic(m, c, text.c_str()), "appending",
                  sig);
            return;
        }
        case 'v':
        {
            const auto& inner = value[0].get_ref<const std::string&>();
            check(sd_bus_message_open_container(m, 'v', inner.c_str()),
                  "opening", sig);
            appendNormalized(m, inner, value[1]);
            check(sd_bus_message_close_container(m), "closing", sig);
            return;
        }
        case 'a':
        {
            std::string element(sig.substr(1));
            check(sd_bus_message_open_container(m, 'a', element.c_str()),
                  "opening", sig);
            if (isDict(sig))
            {
                auto [keySig, valueSig] = dictTypes(sig);
                std::string entry = keySig + valueSig;
                for (const auto& pair : value)
                {
                    check(sd_bus_message_open_container(m, 'e', entry.c_str()),
                          "opening", sig);
                    appendNormalized(m, keySig, pair[0]);
                    appendNormalized(m, valueSig, pair[1]);
                    check(sd_bus_message_close_container(m), "closing", sig);
                }
            }
            else
            {
                for (const auto& item : value)
                {
                    appendNormalized(m, element, item);
                }
            }
            check(sd_bus_message_close_container(m), "closing", sig);
            return;
        }
        case '(':
        {
            std::string inner(sig.substr(1, sig.size() - 2));
            check(sd_bus_message_open_container(m, 'r', inner.c_str()),
                  "opening", sig);
            auto types = structTypes(sig);
            for (size_t i = 0; i < types.size(); ++i)
            {
                appendNormalized(m, types[i], value[i]);
            }
            check(sd_bus_message_close_container(m), "closing", sig);
            return;
        }
        default:
            throw std::invalid_argument("cannot append type \"" +
                                        std::string(sig) + "\"");
    }
}

template <typename T>
json readBasic(sd_bus_message* m, std::string_view sig)
{
    T value{};
    int r = sd_bus_message_read_basic(m, sig[0], &value);
    check(r, "reading", sig);
    if (r == 0)
    {
        throw std::runtime_error("reading of type \"" + std::string(sig) +
                                 "\" failed: no more data");
    }
    return json(value);
}

void enter(sd_bus_message* m, char type, const std::string& contents,
           std::string_view sig)
{
    int r = sd_bus_message_enter_container(m, type, contents.c_str());
    check(r, "entering", sig);
    if (r == 0)
    {
        throw std::runtime_error("entering of type \"" + std::string(sig) +
                                 "\" failed: no more data");
    }
}

void leave(sd_bus_message* m, std::string_view sig)
{
    check(sd_bus_message_exit_container(m), "leaving", sig);
}

std::string quote(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        switch (c)
        {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20 || c == 0x7f)
                {
                    static const char hex[] = "0123456789abcdef";
                    out += "\\x";
                    out += hex[c >> 4];
                    out += hex[c & 0xf];
                }
                else
                {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

std::string renderDouble(double d)
{
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof(buf), d);
    if (ec != std::errc())
    {
        return "nan";
    }
    return std::string(buf, end);
}

} // namespace

json Converter::normalize(std::string_view sig, const json& value)
{
    if (!signature::isSingleType(sig))
    {
        throw std::invalid_argument("\"" + std::string(sig) +
                                    "\" is not one complete D-Bus type");
    }
    char c = sig[0];
    switch (c)
    {
        case 'y':
            return integer<uint8_t>(sig, value);
        case 'n':
            return integer<int16_t>(sig, value);
        case 'q':
            return integer<uint16_t>(sig, value);
        case 'i':
            return integer<int32_t>(sig, value);
        case 'u':
            return integer<uint32_t>(sig, value);
        case 'x':
            return integer<int64_t>(sig, value);
        case 't':
            return integer<uint64_t>(sig, value);
        case 'b':
            if (!value.is_boolean())
            {
                mismatch(sig, value, "not a boolean");
            }
            return value;
        case 'd':
            if (!value.is_number())
            {
                mismatch(sig, value, "not a number");
            }
            return json(value.get<double>());
        case 's':
        case 'o':
        case 'g':
        {
            if (!value.is_string())
            {
                mismatch(sig, value, "not a string");
            }
            const auto& text = value.get_ref<const std::string&>();
            if (text.find('\0') != std::string::npos)
            {
                mismatch(sig, value, "holds a NUL character");
            }
            if (c == 'o' && sd_bus_object_path_is_valid(text.c_str()) <= 0)
            {
                mismatch(sig, value, "not a valid object path");
            }
            if (c == 'g' && !signature::isValid(text))
            {
                mismatch(sig, value, "not a valid signature");
            }
            return value;
        }
        case 'h':
            mismatch(sig, value, "file descriptors are not supported");
        case 'v':
        {
            if (!value.is_array() || value.size() != 2 || !value[0].is_string())
            {
                mismatch(sig, value, "a variant is [signature, value]");
            }
            const auto& inner = value[0].get_ref<const std::string&>();
            return json::array({inner, normalize(inner, value[1])});
        }
        case 'a':
        {
            json out = json::array();
            if (isDict(sig))
            {
                auto [keySig, valueSig] = dictTypes(sig);
                if (value.is_object())
                {
                    for (const auto& [key, item] : value.items())
                    {
                        out.push_back(json::array({normalizeKey(keySig, key),
                                                   normalize(valueSig, item)}));
                    }
                    return out;
                }
                if (!value.is_array())
                {
                    mismatch(sig, value,
                             "a dictionary is an object or a list of pairs");
                }
                for (const auto& pair : value)
                {
                    if (!pair.is_array() || pair.size() != 2)
                    {
                        mismatch(sig, pair, "not a [key, value] pair");
                    }
                    out.push_back(json::array({normalize(keySig, pair[0]),
                                               normalize(valueSig, pair[1])}));
                }
                return out;
            }
            auto element = sig.substr(1);
            if (element == "y" && value.is_string())
            {
                for (unsigned char byte : value.get_ref<const std::string&>())
                {
                    out.push_back(byte);
                }
                return out;
            }
            if (!value.is_array())
            {
                mismatch(sig, value, "not an array");
            }
            for (const auto& item : value)
            {
                out.push_back(normalize(element, item));
            }
            return out;
        }
        case '(':
        {
            auto types = structTypes(sig);
            if (!value.is_array() || value.size() != types.size())
            {
                mismatch(sig, value,
                         "a structure is an array of " +
                             std::to_string(types.size()) + " members");
            }
            json out = json::array();
            for (size_t i = 0; i < types.size(); ++i)
            {
                out.push_back(normalize(types[i], value[i]));
            }
            return out;
        }
        default:
            mismatch(sig, value, "unknown type");
    }
}

json Converter::normalizeArgs(std::string_view sig, const json& args)
{
    auto types = signature::split(sig);
    if (!args.is_array() || args.size() != types.size())
    {
        throw std::invalid_argument(
            "arguments " + show(args) + " do not fit signature \"" +
            std::string(sig) + "\": expected an array of " +
            std::to_string(types.size()) + " values");
    }
    json out = json::array();
    for (size_t i = 0; i < types.size(); ++i)
    {
        out.push_back(normalize(types[i], args[i]));
    }
    return out;
}

void Converter::append(sd_bus_message* m, std::string_view sig,
                       const json& value)
{
    appendNormalized(m, sig, normalize(sig, value));
}

void Converter::appendArgs(sd_bus_message* m, std::string_view sig,
                           const json& args)
{
    auto normalized = normalizeArgs(sig, args);
    auto types = signature::split(sig);
    for (size_t i = 0; i < types.size(); ++i)
    {
        appendNormalized(m, types[i], normalized[i]);
    }
}

json Converter::read(sd_bus_message* m, std::string_view sig)
{
    switch (sig[0])
    {
        case 'y':
            return readBasic<uint8_t>(m, sig);
        case 'b':
            return json(readBasic<int>(m, sig).get<int>() != 0);
        case 'n':
            return readBasic<int16_t>(m, sig);
        case 'q':
            return readBasic<uint16_t>(m, sig);
        case 'i':
            return readBasic<int32_t>(m, sig);
        case 'u':
            return readBasic<uint32_t>(m, sig);
        case 'x':
            return readBasic<int64_t>(m, sig);
        case 't':
            return readBasic<uint64_t>(m, sig);
        case 'd':
            return readBasic<double>(m, sig);
        case 'h':
            return readBasic<int>(m, sig);
        case 's':
        case 'o':
        case 'g':
        {
            const char* text = nullptr;
            int r = sd_bus_message_read_basic(m, sig[0], &text);
            check(r, "reading", sig);
            if (r == 0 || text == nullptr)
            {
                throw std::runtime_error("reading of type \"" +
                                         std::string(sig) +
                                         "\" failed: no more data");
            }
            return json(text);
        }
        case 'v':
        {
            const char* contents = nullptr;
            char type = 0;
            int r = sd_bus_message_peek_type(m, &type, &contents);
            check(r, "peeking", sig);
            if (r == 0 || type != 'v' || contents == nullptr)
            {
                throw std::runtime_error("no variant to read");
            }
            std::string inner(contents);
            enter(m, 'v', inner, sig);
            json value = read(m, inner);
            leave(m, sig);
            return json::array({inner, value});
        }
        case 'a':
        {
            std::string element(sig.substr(1));
            enter(m, 'a', element, sig);
            json out = json::array();
            bool dict = isDict(sig);
            auto [keySig, valueSig] =
                dict ? dictTypes(sig) : std::pair<std::string, std::string>();
            std::string entry = keySig + valueSig;
            for (;;)
            {
                int r = sd_bus_message_at_end(m, 0);
                check(r, "reading", sig);
                if (r > 0)
                {
                    break;
                }
                if (dict)
                {
                    enter(m, 'e', entry, sig);
                    json key = read(m, keySig);
                    json value = read(m, valueSig);
                    leave(m, sig);
                    out.push_back(json::array({key, value}));
                }
                else
                {
                    out.push_back(read(m, element));
                }
            }
            leave(m, sig);
            return out;
        }
        case '(':
        {
            enter(m, 'r', std::string(sig.substr(1, sig.size() - 2)), sig);
            json out = json::array();
            for (const auto& type : structTypes(sig))
            {
                out.push_back(read(m, type));
            }
            leave(m, sig);
            return out;
        }
        default:
            throw std::runtime_error("cannot read type \"" + std::string(sig) +
                                     "\"");
    }
}

json Converter::readBody(sd_bus_message* m)
{
    check(sd_bus_message_rewind(m, 1), "rewinding", "");
    const char* sig = sd_bus_message_get_signature(m, 1);
    json out = json::array();
    for (const auto& type : signature::split(sig ? sig : ""))
    {
        out.push_back(read(m, type));
    }
    return out;
}

std::string Converter::render(std::string_view sig, const json& value)
{
    switch (sig[0])
    {
        case 'b':
            return value.get<bool>() ? "true" : "false";
        case 'd':
            return renderDouble(value.get<double>());
        case 's':
        case 'o':
        case 'g':
            return quote(value.get<std::string>());
        case 'v':
        {
            const auto& inner = value[0].get_ref<const std::string&>();
            return inner + " " + render(inner, value[1]);
        }
        case 'a':
        {
            std::string out = std::to_string(value.size());
            if (isDict(sig))
            {
                auto [keySig, valueSig] = dictTypes(sig);
                for (const auto& pair : value)
                {
                    out += " " + render(keySig, pair[0]) + " " +
                           render(valueSig, pair[1]);
                }
            }
            else
            {
                auto element = sig.substr(1);
                for (const auto& item : value)
                {
                    out += " " + render(element, item);
                }
            }
            return out;
        }
        case '(':
        {
            std::string out;
            auto types = structTypes(sig);
            for (size_t i = 0; i < types.size(); ++i)
            {
                out += (i ? " " : "") + render(types[i], value[i]);
            }
            return out;
        }
        default:
            return show(value);
    }
}

std::string Converter::renderArgs(std::string_view sig, const json& args)
{
    std::string out;
    auto types = signature::split(sig);
    for (size_t i = 0; i < types.size() && i < args.size(); ++i)
    {
        out += (i ? " " : "") + types[i] + " " + render(types[i], args[i]);
    }
    return out;
}

json Converter::defaultValue(std::string_view sig)
{
    switch (sig[0])
    {
        case 'b':
            return false;
        case 'd':
            return 0.0;
        case 's':
        case 'g':
            return "";
        case 'o':
            return "/";
        case 'v':
            return json::array({"s", ""});
        case 'a':
            return json::array();
        case '(':
        {
            json out = json::array();
            for (const auto& type : structTypes(sig))
            {
                out.push_back(defaultValue(type));
            }
            return out;
        }
        case 'h':
            throw std::invalid_argument("file descriptors are not supported");
        default:
            return 0;
    }
}

void appendJson(sd_bus_message* m, std::string_view sig, const json& value)
{
    auto types = signature::split(sig);
    if (types.size() == 1)
    {
        Converter::append(m, sig, value);
    }
    else if (!types.empty() || !(value.is_null() || value.empty()))
    {
        Converter::appendArgs(m, sig, value);
    }
}

} // namespace sdbusjson
