#pragma once

#include "sdbus/types.hpp"

#include <systemd/sd-bus.h>

#include <string>
#include <tuple>
#include <utility>

namespace sdbus
{

/** An owning reference to an sd-bus message. */
class Message
{
  public:
    Message() = default;
    /** Takes a new reference on m (m may be null). */
    explicit Message(sd_bus_message* m);
    /** Adopts the caller's reference on m. */
    static Message adopt(sd_bus_message* m);

    Message(const Message& other);
    Message& operator=(const Message& other);
    Message(Message&& other) noexcept;
    Message& operator=(Message&& other) noexcept;
    ~Message();

    sd_bus_message* get() const
    {
        return msg;
    }
    explicit operator bool() const
    {
        return msg != nullptr;
    }

    template <typename... Args>
    Message& append(const Args&... args)
    {
        (appendOne(args), ...);
        return *this;
    }

    template <typename... Args>
    void read(Args&... args)
    {
        (Traits<std::decay_t<Args>>::read(msg, args), ...);
    }

    template <typename... Ts>
    auto unpack()
    {
        if constexpr (sizeof...(Ts) == 1)
        {
            std::tuple_element_t<0, std::tuple<Ts...>> v{};
            read(v);
            return v;
        }
        else
        {
            std::tuple<Ts...> t{};
            std::apply([this](auto&... e) { read(e...); }, t);
            return t;
        }
    }

    /** The type of the next field and, for containers, its contents
     *  signature. Type 0 at the end of the current container. */
    std::pair<char, std::string> peekType();
    void skip(const std::string& signature);
    /** False when the container to enter is not next. */
    bool enterContainer(char type, const std::string& contents);
    void exitContainer();
    bool atEnd(bool complete = false);
    void rewind(bool complete = true);

    std::string signature(bool complete = true) const;
    std::string path() const;
    std::string interface() const;
    std::string member() const;
    std::string sender() const;
    bool isMethodError() const;
    /** The error of an error reply (null otherwise). */
    const sd_bus_error* error() const;

    /** An empty method return for this method call. */
    Message newMethodReturn() const;

  private:
    template <typename T>
    void appendOne(const T& v)
    {
        if constexpr (std::is_convertible_v<const T&, const char*>)
        {
            Traits<std::string>::append(msg, std::string(v));
        }
        else
        {
            Traits<std::decay_t<T>>::append(msg, v);
        }
    }

    sd_bus_message* msg = nullptr;
};

} // namespace sdbus
