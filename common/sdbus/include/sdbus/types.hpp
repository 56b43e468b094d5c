#pragma once

// D-Bus type mapping: the signature of a C++ type and how a value of it is
// appended to or read from an sd-bus message. Supported: bool, the integer
// widths D-Bus knows, double, std::string, ObjectPath, std::vector,
// std::map, std::unordered_map, std::pair and std::tuple (as structs) and
// std::variant (as a D-Bus variant).

#include "sdbus/error.hpp"

#include <systemd/sd-bus.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace sdbus
{

/** A D-Bus object path ('o'). */
struct ObjectPath
{
    std::string str;

    ObjectPath() = default;
    ObjectPath(std::string s) : str(std::move(s)) {}
    ObjectPath(const char* s) : str(s) {}
    operator const std::string&() const
    {
        return str;
    }
    auto operator<=>(const ObjectPath&) const = default;
};

template <typename T>
struct Traits;

namespace detail
{

inline void check(int r, const char* what)
{
    if (r < 0)
    {
        throw SdBusError(-r, what);
    }
}

/** A read that found the container already at its end. */
inline void checkRead(int r, const char* what)
{
    check(r, what);
    if (r == 0)
    {
        throw SdBusError(ENXIO, what);
    }
}

template <char Type, typename T, typename Wire = T>
struct Basic
{
    static std::string sig()
    {
        return std::string(1, Type);
    }
    static void append(sd_bus_message* m, const T& v)
    {
        Wire w = static_cast<Wire>(v);
        check(sd_bus_message_append_basic(m, Type, &w),
              "sd_bus_message_append_basic");
    }
    static void read(sd_bus_message* m, T& v)
    {
        Wire w{};
        checkRead(sd_bus_message_read_basic(m, Type, &w),
                  "sd_bus_message_read_basic");
        v = static_cast<T>(w);
    }
};

template <char Type, typename T>
struct Text
{
    static std::string sig()
    {
        return std::string(1, Type);
    }
    static void append(sd_bus_message* m, const std::string& v)
    {
        check(sd_bus_message_append_basic(m, Type, v.c_str()),
              "sd_bus_message_append_basic");
    }
    static void read(sd_bus_message* m, T& v)
    {
        const char* p = nullptr;
        checkRead(sd_bus_message_read_basic(m, Type, &p),
                  "sd_bus_message_read_basic");
        v = T(std::string(p != nullptr ? p : ""));
    }
};

template <typename... Ts>
std::string sigOf()
{
    return (std::string() + ... + Traits<std::decay_t<Ts>>::sig());
}

template <typename Tuple, std::size_t... I>
void appendTuple(sd_bus_message* m, const Tuple& t, std::index_sequence<I...>)
{
    (Traits<std::decay_t<std::tuple_element_t<I, Tuple>>>::append(
         m, std::get<I>(t)),
     ...);
}

template <typename Tuple, std::size_t... I>
void readTuple(sd_bus_message* m, Tuple& t, std::index_sequence<I...>)
{
    (Traits<std::decay_t<std::tuple_element_t<I, Tuple>>>::read(m,
                                                                std::get<I>(t)),
     ...);
}

template <typename Map>
struct Dict
{
    using K = typename Map::key_type;
    using V = typename Map::mapped_type;
    static std::string entry()
    {
        return sigOf<K, V>();
    }
    static std::string sig()
    {
        return "a{" + entry() + "}";
    }
    static void append(sd_bus_message* m, const Map& map)
    {
        const std::string e = entry();
        const std::string inner = "{" + e + "}";
        check(sd_bus_message_open_container(m, 'a', inner.c_str()),
              "sd_bus_message_open_container");
        for (const auto& [k, v] : map)
        {
            check(sd_bus_message_open_container(m, 'e', e.c_str()),
                  "sd_bus_message_open_container");
            Traits<K>::append(m, k);
            Traits<V>::append(m, v);
            check(sd_bus_message_close_container(m),
                  "sd_bus_message_close_container");
        }
        check(sd_bus_message_close_container(m),
              "sd_bus_message_close_container");
    }
    static void read(sd_bus_message* m, Map& map)
    {
        const std::string e = entry();
        const std::string inner = "{" + e + "}";
        checkRead(sd_bus_message_enter_container(m, 'a', inner.c_str()),
                  "sd_bus_message_enter_container");
        map.clear();
        while (true)
        {
            int r = sd_bus_message_enter_container(m, 'e', e.c_str());
            check(r, "sd_bus_message_enter_container");
            if (r == 0)
            {
                break;
            }
            K k{};
            V v{};
            Traits<K>::read(m, k);
            Traits<V>::read(m, v);
            check(sd_bus_message_exit_container(m),
                  "sd_bus_message_exit_container");
            map.insert_or_assign(std::move(k), std::move(v));
        }
        check(sd_bus_message_exit_container(m),
              "sd_bus_message_exit_container");
    }
};

} // namespace detail

// clang-format off
template <> struct Traits<bool> : detail::Basic<'b', bool, int> {};
template <> struct Traits<uint8_t> : detail::Basic<'y', uint8_t> {};
template <> struct Traits<int16_t> : detail::Basic<'n', int16_t> {};
template <> struct Traits<uint16_t> : detail::Basic<'q', uint16_t> {};
template <> struct Traits<int32_t> : detail::Basic<'i', int32_t> {};
template <> struct Traits<uint32_t> : detail::Basic<'u', uint32_t> {};
template <> struct Traits<int64_t> : detail::Basic<'x', int64_t> {};
template <> struct Traits<uint64_t> : detail::Basic<'t', uint64_t> {};
template <> struct Traits<double> : detail::Basic<'d', double> {};
template <> struct Traits<std::string> : detail::Text<'s', std::string> {};
template <> struct Traits<ObjectPath> : detail::Text<'o', ObjectPath> {};
// clang-format on

namespace detail
{

/** Whether a vector of T is laid out as D-Bus lays out its array: the
 *  fixed-width numbers other than booleans, copied in one piece. */
template <typename T>
constexpr bool packedArray =
    std::is_same_v<T, uint8_t> || std::is_same_v<T, int16_t> ||
    std::is_same_v<T, uint16_t> || std::is_same_v<T, int32_t> ||
    std::is_same_v<T, uint32_t> || std::is_same_v<T, int64_t> ||
    std::is_same_v<T, uint64_t> || std::is_same_v<T, double>;

} // namespace detail

template <typename T>
struct Traits<std::vector<T>>
{
    static std::string sig()
    {
        return "a" + Traits<T>::sig();
    }
    static void append(sd_bus_message* m, const std::vector<T>& v)
    {
        const std::string inner = Traits<T>::sig();
        if constexpr (detail::packedArray<T>)
        {
            detail::check(sd_bus_message_append_array(m, inner[0], v.data(),
                                                      v.size() * sizeof(T)),
                          "sd_bus_message_append_array");
            return;
        }
        detail::check(sd_bus_message_open_container(m, 'a', inner.c_str()),
                      "sd_bus_message_open_container");
        for (const auto& e : v)
        {
            Traits<T>::append(m, e);
        }
        detail::check(sd_bus_message_close_container(m),
                      "sd_bus_message_close_container");
    }
    static void read(sd_bus_message* m, std::vector<T>& v)
    {
        const std::string inner = Traits<T>::sig();
        if constexpr (detail::packedArray<T>)
        {
            const void* data = nullptr;
            std::size_t size = 0;
            detail::checkRead(
                sd_bus_message_read_array(m, inner[0], &data, &size),
                "sd_bus_message_read_array");
            const auto* first = static_cast<const T*>(data);
            v.assign(first, first + size / sizeof(T));
            return;
        }
        detail::checkRead(sd_bus_message_enter_container(m, 'a', inner.c_str()),
                          "sd_bus_message_enter_container");
        v.clear();
        while (true)
        {
            int r = sd_bus_message_at_end(m, 0);
            detail::check(r, "sd_bus_message_at_end");
            if (r > 0)
            {
                break;
            }
            T e{};
            Traits<T>::read(m, e);
            v.push_back(std::move(e));
        }
        detail::check(sd_bus_message_exit_container(m),
                      "sd_bus_message_exit_container");
    }
};

template <typename K, typename V, typename C, typename A>
struct Traits<std::map<K, V, C, A>> : detail::Dict<std::map<K, V, C, A>>
{};

template <typename K, typename V, typename H, typename E, typename A>
struct Traits<std::unordered_map<K, V, H, E, A>> :
    detail::Dict<std::unordered_map<K, V, H, E, A>>
{};

template <typename... Ts>
struct Traits<std::tuple<Ts...>>
{
    static std::string contents()
    {
        return detail::sigOf<Ts...>();
    }
    static std::string sig()
    {
        return "(" + contents() + ")";
    }
    static void append(sd_bus_message* m, const std::tuple<Ts...>& t)
    {
        const std::string c = contents();
        detail::check(sd_bus_message_open_container(m, 'r', c.c_str()),
                      "sd_bus_message_open_container");
        detail::appendTuple(m, t, std::index_sequence_for<Ts...>{});
        detail::check(sd_bus_message_close_container(m),
                      "sd_bus_message_close_container");
    }
    static void read(sd_bus_message* m, std::tuple<Ts...>& t)
    {
        const std::string c = contents();
        detail::checkRead(sd_bus_message_enter_container(m, 'r', c.c_str()),
                          "sd_bus_message_enter_container");
        detail::readTuple(m, t, std::index_sequence_for<Ts...>{});
        detail::check(sd_bus_message_exit_container(m),
                      "sd_bus_message_exit_container");
    }
};

template <typename A, typename B>
struct Traits<std::pair<A, B>>
{
    static std::string sig()
    {
        return "(" + detail::sigOf<A, B>() + ")";
    }
    static void append(sd_bus_message* m, const std::pair<A, B>& p)
    {
        Traits<std::tuple<A, B>>::append(m,
                                         std::tuple<A, B>(p.first, p.second));
    }
    static void read(sd_bus_message* m, std::pair<A, B>& p)
    {
        std::tuple<A, B> t;
        Traits<std::tuple<A, B>>::read(m, t);
        p = {std::move(std::get<0>(t)), std::move(std::get<1>(t))};
    }
};

/** A D-Bus variant. Reading takes the first alternative whose signature
 *  matches the received one exactly; a value that matches none is skipped
 *  and read as the first alternative's default. */
template <typename... Ts>
struct Traits<std::variant<Ts...>>
{
    using Variant = std::variant<Ts...>;

    static std::string sig()
    {
        return "v";
    }
    static void append(sd_bus_message* m, const Variant& v)
    {
        std::visit(
            [m](const auto& held) {
            using T = std::decay_t<decltype(held)>;
            const std::string s = Traits<T>::sig();
            detail::check(sd_bus_message_open_container(m, 'v', s.c_str()),
                          "sd_bus_message_open_container");
            Traits<T>::append(m, held);
            detail::check(sd_bus_message_close_container(m),
                          "sd_bus_message_close_container");
            },
            v);
    }
    static void read(sd_bus_message* m, Variant& v)
    {
        char type = 0;
        const char* contents = nullptr;
        detail::checkRead(sd_bus_message_peek_type(m, &type, &contents),
                          "sd_bus_message_peek_type");
        if (type != 'v' || contents == nullptr)
        {
            throw SdBusError(ENXIO, "sd_bus_message_peek_type");
        }
        const std::string received(contents);
        if (!tryRead<0>(m, v, received))
        {
            detail::check(sd_bus_message_skip(m, "v"), "sd_bus_message_skip");
            v = Variant{};
        }
    }

  private:
    template <std::size_t I>
    static bool tryRead(sd_bus_message* m, Variant& v,
                        const std::string& received)
    {
        if constexpr (I == sizeof...(Ts))
        {
            return false;
        }
        else
        {
            using T = std::variant_alternative_t<I, Variant>;
            if (Traits<T>::sig() != received)
            {
                return tryRead<I + 1>(m, v, received);
            }
            detail::checkRead(
                sd_bus_message_enter_container(m, 'v', received.c_str()),
                "sd_bus_message_enter_container");
            T value{};
            Traits<T>::read(m, value);
            detail::check(sd_bus_message_exit_container(m),
                          "sd_bus_message_exit_container");
            v = std::move(value);
            return true;
        }
    }
};

/** The D-Bus signature of the concatenation of Ts. */
template <typename... Ts>
std::string signatureOf()
{
    return detail::sigOf<Ts...>();
}

} // namespace sdbus
