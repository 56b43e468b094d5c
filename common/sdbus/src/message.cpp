#include "sdbus/message.hpp"

namespace sdbus
{

Message::Message(sd_bus_message* m) : msg(m)
{
    if (msg != nullptr)
    {
        sd_bus_message_ref(msg);
    }
}

Message Message::adopt(sd_bus_message* m)
{
    Message result;
    result.msg = m;
    return result;
}

Message::Message(const Message& other) : Message(other.msg) {}

Message& Message::operator=(const Message& other)
{
    if (this != &other)
    {
        Message copy(other);
        std::swap(msg, copy.msg);
    }
    return *this;
}

Message::Message(Message&& other) noexcept : msg(other.msg)
{
    other.msg = nullptr;
}

Message& Message::operator=(Message&& other) noexcept
{
    std::swap(msg, other.msg);
    return *this;
}

Message::~Message()
{
    if (msg != nullptr)
    {
        sd_bus_message_unref(msg);
    }
}

std::pair<char, std::string> Message::peekType()
{
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(msg, &type, &contents);
    detail::check(r, "sd_bus_message_peek_type");
    if (r == 0)
    {
        return {0, {}};
    }
    return {type, contents != nullptr ? contents : ""};
}

void Message::skip(const std::string& signature)
{
    detail::check(sd_bus_message_skip(msg, signature.c_str()),
                  "sd_bus_message_skip");
}

bool Message::enterContainer(char type, const std::string& contents)
{
    int r = sd_bus_message_enter_container(msg, type, contents.c_str());
    if (r == -ENXIO)
    {
        return false;
    }
    detail::check(r, "sd_bus_message_enter_container");
    return r > 0;
}

void Message::exitContainer()
{
    detail::check(sd_bus_message_exit_container(msg),
                  "sd_bus_message_exit_container");
}

bool Message::atEnd(bool complete)
{
    int r = sd_bus_message_at_end(msg, complete ? 1 : 0);
    detail::check(r, "sd_bus_message_at_end");
    return r > 0;
}

void Message::rewind(bool complete)
{
    detail::check(sd_bus_message_rewind(msg, complete ? 1 : 0),
                  "sd_bus_message_rewind");
}

namespace
{
std::string orEmpty(const char* s)
{
    return s != nullptr ? s : "";
}
} // namespace

std::string Message::signature(bool complete) const
{
    return orEmpty(sd_bus_message_get_signature(msg, complete ? 1 : 0));
}

std::string Message::path() const
{
    return orEmpty(sd_bus_message_get_path(msg));
}

std::string Message::interface() const
{
    return orEmpty(sd_bus_message_get_interface(msg));
}

std::string Message::member() const
{
    return orEmpty(sd_bus_message_get_member(msg));
}

std::string Message::sender() const
{
    return orEmpty(sd_bus_message_get_sender(msg));
}

bool Message::isMethodError() const
{
    return sd_bus_message_is_method_error(msg, nullptr) > 0;
}

const sd_bus_error* Message::error() const
{
    return sd_bus_message_get_error(msg);
}

Message Message::newMethodReturn() const
{
    sd_bus_message* reply = nullptr;
    detail::check(sd_bus_message_new_method_return(msg, &reply),
                  "sd_bus_message_new_method_return");
    return adopt(reply);
}

} // namespace sdbus
