#include "testkit/sdbus_json.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace testkit
{

namespace
{

using nlohmann::json;

void check(int r, const std::string& what)
{
    if (r < 0)
    {
        throw std::system_error(-r, std::generic_category(), what);
    }
}

[[noreturn]] void mismatch(const std::string& sig, const json& value)
{
    throw std::invalid_argument("JSON " + value.dump() +
                                " does not fit D-Bus type \"" + sig + "\"");
}

// Index just past the complete type that starts at pos.
size_t typeEnd(const std::string& sig, size_t pos)
{
    if (pos >= sig.size())
    {
        throw std::invalid_argument("incomplete D-Bus signature \"" + sig +
                                    "\"");
    }
    switch (sig[pos])
    {
        case 'a':
            return typeEnd(sig, pos + 1);
        case '(':
        case '{':
        {
            const char close = sig[pos] == '(' ? ')' : '}';
            size_t at = pos + 1;
            while (at < sig.size() && sig[at] != close)
            {
                at = typeEnd(sig, at);
            }
            if (at >= sig.size() || at == pos + 1)
            {
                throw std::invalid_argument("bad D-Bus signature \"" + sig +
                                            "\"");
            }
            return at + 1;
        }
        default:
            if (std::string("ybnqiuxtdsoghv").find(sig[pos]) ==
                std::string::npos)
            {
                throw std::invalid_argument("bad D-Bus signature \"" + sig +
                                            "\"");
            }
            return pos + 1;
    }
}

std::vector<std::string> splitTypes(const std::string& sig)
{
    std::vector<std::string> types;
    for (size_t pos = 0; pos < sig.size();)
    {
        size_t end = typeEnd(sig, pos);
        types.push_back(sig.substr(pos, end - pos));
        pos = end;
    }
    return types;
}

template <typename T>
void appendInteger(sd_bus_message* m, char type, const std::string& sig,
                   const json& value)
{
    T v{};
    if (value.is_number_unsigned())
    {
        auto u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<T>::max()))
        {
            mismatch(sig, value);
        }
        v = static_cast<T>(u);
    }
    else if (value.is_number_integer())
    {
        auto i = value.get<int64_t>();
        if constexpr (std::is_unsigned_v<T>)
        {
            if (i < 0 ||
                static_cast<uint64_t>(i) > std::numeric_limits<T>::max())
            {
                mismatch(sig, value);
            }
        }
        else
        {
            if (i < std::numeric_limits<T>::min() ||
                i > std::numeric_limits<T>::max())
            {
                mismatch(sig, value);
            }
        }
        v = static_cast<T>(i);
    }
    else
    {
        mismatch(sig, value);
    }
    check(sd_bus_message_append_basic(m, type, &v), "append " + sig);
}

void appendOne(sd_bus_message* m, const std::string& sig, const json& value);

// A dict key arrives as a JSON object key (text) or as a JSON value.
json keyValue(char type, const std::string& text)
{
    if (std::string("sog").find(type) != std::string::npos)
    {
        return text;
    }
    try
    {
        return json::parse(text);
    }
    catch (const json::exception&)
    {
        throw std::invalid_argument("dict key \"" + text +
                                    "\" does not fit D-Bus type \"" +
                                    std::string(1, type) + "\"");
    }
}

void appendArray(sd_bus_message* m, const std::string& sig, const json& value)
{
    const std::string elem = sig.substr(1);
    check(sd_bus_message_open_container(m, 'a', elem.c_str()), "open " + sig);
    if (elem.front() == '{')
    {
        const std::string entry = elem.substr(1, elem.size() - 2);
        const std::string key = entry.substr(0, 1);
        const std::string val = entry.substr(1);
        if (splitTypes(entry).size() != 2 ||
            std::string("ybnqiuxtdsogh").find(key) == std::string::npos)
        {
            throw std::invalid_argument("bad dict key type in \"" + sig + "\"");
        }
        auto add = [&](const json& k, const json& v) {
            check(sd_bus_message_open_container(m, 'e', entry.c_str()),
                  "open " + sig);
            appendOne(m, key, k);
            appendOne(m, val, v);
            check(sd_bus_message_close_container(m), "close " + sig);
        };
        if (value.is_object())
        {
            for (const auto& [k, v] : value.items())
            {
                add(keyValue(key.front(), k), v);
            }
        }
        else if (value.is_array())
        {
            for (const auto& pair : value)
            {
                if (!pair.is_array() || pair.size() != 2)
                {
                    mismatch(sig, value);
                }
                add(pair[0], pair[1]);
            }
        }
        else
        {
            mismatch(sig, value);
        }
    }
    else if (elem == "y" && value.is_string())
    {
        for (unsigned char c : value.get<std::string>())
        {
            check(sd_bus_message_append_basic(m, 'y', &c), "append ay");
        }
    }
    else
    {
        if (!value.is_array())
        {
            mismatch(sig, value);
        }
        for (const auto& item : value)
        {
            appendOne(m, elem, item);
        }
    }
    check(sd_bus_message_close_container(m), "close " + sig);
}

void appendOne(sd_bus_message* m, const std::string& sig, const json& value)
{
    switch (sig.front())
    {
        case 'y':
            return appendInteger<uint8_t>(m, 'y', sig, value);
        case 'n':
            return appendInteger<int16_t>(m, 'n', sig, value);
        case 'q':
            return appendInteger<uint16_t>(m, 'q', sig, value);
        case 'i':
            return appendInteger<int32_t>(m, 'i', sig, value);
        case 'u':
            return appendInteger<uint32_t>(m, 'u', sig, value);
        case 'x':
            return appendInteger<int64_t>(m, 'x', sig, value);
        case 't':
            return appendInteger<uint64_t>(m, 't', sig, value);
        case 'b':
        {
            if (!value.is_boolean())
            {
                mismatch(sig, value);
            }
            int b = value.get<bool>() ? 1 : 0;
            return check(sd_bus_message_append_basic(m, 'b', &b), "append b");
        }
        case 'd':
        {
            if (!value.is_number())
            {
                mismatch(sig, value);
            }
            double d = value.get<double>();
            return check(sd_bus_message_append_basic(m, 'd', &d), "append d");
        }
        case 's':
        case 'o':
        case 'g':
        {
            if (!value.is_string())
            {
                mismatch(sig, value);
            }
            const auto& text = value.get_ref<const std::string&>();
            return check(
                sd_bus_message_append_basic(m, sig.front(), text.c_str()),
                "append " + sig);
        }
        case 'v':
        {
            if (!value.is_array() || value.size() != 2 || !value[0].is_string())
            {
                mismatch(sig, value);
            }
            const auto& inner = value[0].get_ref<const std::string&>();
            if (splitTypes(inner).size() != 1)
            {
                throw std::invalid_argument("variant needs one complete "
                                            "type, not \"" +
                                            inner + "\"");
            }
            check(sd_bus_message_open_container(m, 'v', inner.c_str()),
                  "open variant " + inner);
            appendOne(m, inner, value[1]);
            return check(sd_bus_message_close_container(m), "close variant");
        }
        case 'a':
            return appendArray(m, sig, value);
        case '(':
        {
            const std::string inner = sig.substr(1, sig.size() - 2);
            const auto members = splitTypes(inner);
            if (!value.is_array() || value.size() != members.size())
            {
                mismatch(sig, value);
            }
            check(sd_bus_message_open_container(m, 'r', inner.c_str()),
                  "open " + sig);
            for (size_t i = 0; i < members.size(); ++i)
            {
                appendOne(m, members[i], value[i]);
            }
            return check(sd_bus_message_close_container(m), "close " + sig);
        }
        default:
            throw std::invalid_argument("D-Bus type \"" + sig +
                                        "\" is not supported");
    }
}

} // namespace

void appendJson(sd_bus_message* message, const std::string& signature,
                const nlohmann::json& value)
{
    const auto types = splitTypes(signature);
    if (types.size() == 1)
    {
        appendOne(message, types.front(), value);
        return;
    }
    if (types.empty() && (value.is_null() || value.empty()))
    {
        return;
    }
    if (!value.is_array() || value.size() != types.size())
    {
        mismatch(signature, value);
    }
    for (size_t i = 0; i < types.size(); ++i)
    {
        appendOne(message, types[i], value[i]);
    }
}

} // namespace testkit
