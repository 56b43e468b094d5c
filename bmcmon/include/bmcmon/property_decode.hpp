#pragma once

// Decoding of D-Bus property values (variants and a{sv} maps) into the
// variants of this layer.
//
// A received value goes to the first alternative whose D-Bus type is the
// same. A number of any integer type (y, n, q, i, u, x, t) goes to the
// int64_t alternative when the variant has one, so a tachometer published
// as 'i' 3000 reads as 3000; a 't' too large for it goes to the double
// alternative, if any. Any other value is skipped and read as the default
// of the first alternative.

#include "sdbus/error.hpp"
#include "sdbus/message.hpp"
#include "sdbus/types.hpp"

#include <cerrno>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <type_traits>
#include <variant>

namespace bmcmon
{

namespace detail
{

template <typename T, typename V>
struct HasAlternative;

template <typename T, typename... Ts>
struct HasAlternative<T, std::variant<Ts...>> :
    std::disjunction<std::is_same<T, Ts>...>
{};

template <typename T>
int64_t readAsInt64(sdbus::Message& m)
{
    T v{};
    m.read(v);
    return static_cast<int64_t>(v);
}

template <typename V, std::size_t I = 0>
bool readExact(sdbus::Message& m, const std::string& contents, V& out)
{
    if constexpr (I == std::variant_size_v<V>)
    {
        return false;
    }
    else
    {
        using T = std::variant_alternative_t<I, V>;
        if (sdbus::Traits<T>::sig() != contents)
        {
            return readExact<V, I + 1>(m, contents, out);
        }
        T v{};
        m.read(v);
        out = std::move(v);
        return true;
    }
}

/** Reads an integer of D-Bus type `type` into the int64_t (or, when it does
 *  not fit, the double) alternative. False when `type` is no integer. */
template <typename V>
bool readInteger(sdbus::Message& m, char type, V& out)
{
    switch (type)
    {
        case 'y':
            out = readAsInt64<uint8_t>(m);
            return true;
        case 'n':
            out = readAsInt64<int16_t>(m);
            return true;
        case 'q':
            out = readAsInt64<uint16_t>(m);
            return true;
        case 'i':
            out = readAsInt64<int32_t>(m);
            return true;
        case 'u':
            out = readAsInt64<uint32_t>(m);
            return true;
        case 'x':
            out = readAsInt64<int64_t>(m);
            return true;
        case 't':
        {
            uint64_t v = 0;
            m.read(v);
            if (v <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            {
                out = static_cast<int64_t>(v);
            }
            else if constexpr (HasAlternative<double, V>::value)
            {
                out = static_cast<double>(v);
            }
            else
            {
                out = V{};
            }
            return true;
        }
        default:
            return false;
    }
}

} // namespace detail

/** Reads the variant ('v') that comes next in m into V. Throws
 *  sdbus::SdBusError when the next field is not a variant. */
template <typename V>
V readVariant(sdbus::Message& m)
{
    auto [type, contents] = m.peekType();
    if (type != 'v')
    {
        throw sdbus::SdBusError(EBADMSG, "Property value is not a variant");
    }
    if (!m.enterContainer('v', contents))
    {
        throw sdbus::SdBusError(EBADMSG, "Property value is not a variant");
    }
    V out{};
    bool done = detail::readExact(m, contents, out);
    if constexpr (detail::HasAlternative<int64_t, V>::value)
    {
        if (!done && contents.size() == 1)
        {
            done = detail::readInteger(m, contents[0], out);
        }
    }
    if (!done)
    {
        m.skip(contents);
        out = V{};
    }
    m.exitContainer();
    return out;
}

/** Walks the a{sv} that comes next in m: for each entry, calls
 *  f(name, contents) with m at the entry's variant, whose contents
 *  signature is `contents`; f reads or skips that variant. Throws
 *  sdbus::SdBusError when the next field is not an a{sv}. */
template <typename F>
void forEachProperty(sdbus::Message& m, F&& f)
{
    if (!m.enterContainer('a', "{sv}"))
    {
        throw sdbus::SdBusError(EBADMSG, "Property map is not an a{sv}");
    }
    while (m.enterContainer('e', "sv"))
    {
        std::string name;
        m.read(name);
        auto [type, contents] = m.peekType();
        if (type != 'v')
        {
            throw sdbus::SdBusError(EBADMSG, "Property value is not a variant");
        }
        f(name, contents);
        m.exitContainer();
    }
    m.exitContainer();
}

/** Reads the a{sv} that comes next in m. Throws sdbus::SdBusError when the
 *  next field is not an a{sv}. A name that comes twice keeps its last
 *  value. */
template <typename V>
std::map<std::string, V> readVariantMap(sdbus::Message& m)
{
    std::map<std::string, V> result;
    forEachProperty(m,
                    [&m, &result](const std::string& name, const std::string&) {
        result.insert_or_assign(name, readVariant<V>(m));
    });
    return result;
}

} // namespace bmcmon
