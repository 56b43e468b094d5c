#include "sdbus/bus.hpp"

#include <algorithm>
#include <iostream>
#include <utility>

namespace sdbus
{

namespace detail
{
thread_local void (*afterCallHook)() = nullptr;
} // namespace detail

namespace
{
thread_local std::exception_ptr deferred;
} // namespace

void deferException(std::exception_ptr e)
{
    if (!deferred)
    {
        deferred = std::move(e);
        return;
    }
    // Only the first one leaves the event loop; the others are not lost
    // without a word.
    try
    {
        std::rethrow_exception(std::move(e));
    }
    catch (const std::exception& later)
    {
        std::cerr << "sdbus: dropped a later exception of a bus callback: "
                  << later.what() << "\n";
    }
    catch (...)
    {
        std::cerr << "sdbus: dropped a later exception of a bus callback\n";
    }
}

void rethrowDeferred()
{
    if (deferred)
    {
        std::exception_ptr e = std::exchange(deferred, nullptr);
        std::rethrow_exception(e);
    }
}

namespace
{

// sd-bus finishes the bus's authentication and Hello lazily, on first use;
// the bus daemon drops a connection still unauthenticated after its auth
// timeout (30 s by default). A connection opened now and first used later
// must therefore be brought up at once.
void finishLogin(Bus& bus)
{
    const char* name = nullptr;
    detail::check(sd_bus_get_unique_name(bus.get(), &name),
                  "sd_bus_get_unique_name");
}

} // namespace

Bus Bus::newSystem()
{
    sd_bus* b = nullptr;
    detail::check(sd_bus_open_system(&b), "sd_bus_open_system");
    Bus bus(b, true, false);
    finishLogin(bus);
    return bus;
}

Bus Bus::defaultSystem()
{
    sd_bus* b = nullptr;
    detail::check(sd_bus_default_system(&b), "sd_bus_default_system");
    Bus bus(b, true, true);
    finishLogin(bus);
    return bus;
}

Bus::Bus(sd_bus* b, bool adopt, bool isShared) : bus(b), shared(isShared)
{
    if (!adopt && bus != nullptr)
    {
        sd_bus_ref(bus);
    }
}

Bus::Bus(Bus&& other) noexcept :
    bus(std::exchange(other.bus, nullptr)), shared(other.shared)
{}

Bus& Bus::operator=(Bus&& other) noexcept
{
    if (this != &other)
    {
        release();
        bus = std::exchange(other.bus, nullptr);
        shared = other.shared;
    }
    return *this;
}

Bus::~Bus()
{
    release();
}

void Bus::release()
{
    if (bus == nullptr)
    {
        return;
    }
    if (shared)
    {
        sd_bus_unref(bus);
    }
    else
    {
        sd_bus_flush_close_unref(bus);
    }
    bus = nullptr;
}

Message Bus::newMethodCall(const std::string& service, const std::string& path,
                           const std::string& interface,
                           const std::string& member)
{
    sd_bus_message* m = nullptr;
    detail::check(
        sd_bus_message_new_method_call(bus, &m, service.c_str(), path.c_str(),
                                       interface.c_str(), member.c_str()),
        "sd_bus_message_new_method_call");
    return Message::adopt(m);
}

Message Bus::newSignal(const std::string& path, const std::string& interface,
                       const std::string& member)
{
    sd_bus_message* m = nullptr;
    detail::check(sd_bus_message_new_signal(bus, &m, path.c_str(),
                                            interface.c_str(), member.c_str()),
                  "sd_bus_message_new_signal");
    return Message::adopt(m);
}

Message Bus::call(Message& m, uint64_t timeoutUsec)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call(bus, m.get(), timeoutUsec, &error, &reply);
    if (detail::afterCallHook != nullptr)
    {
        detail::afterCallHook();
    }
    if (r < 0)
    {
        SdBusError e(sd_bus_error_is_set(&error) ? &error : nullptr,
                     "sd_bus_call");
        if (!sd_bus_error_is_set(&error))
        {
            e = SdBusError(-r, "sd_bus_call");
        }
        sd_bus_error_free(&error);
        throw e;
    }
    sd_bus_error_free(&error);
    return Message::adopt(reply);
}

Message Bus::call(Message& m, std::chrono::microseconds timeout)
{
    // sd-bus reads a timeout of 0 as its default: the shortest it can wait
    // is one microsecond.
    return call(m,
                static_cast<uint64_t>(std::max<int64_t>(timeout.count(), 1)));
}

void Bus::send(Message& m)
{
    detail::check(sd_bus_send(bus, m.get(), nullptr), "sd_bus_send");
}

void Bus::requestName(const std::string& name)
{
    detail::check(sd_bus_request_name(bus, name.c_str(), 0),
                  "sd_bus_request_name");
}

std::string Bus::uniqueName() const
{
    const char* n = nullptr;
    detail::check(sd_bus_get_unique_name(bus, &n), "sd_bus_get_unique_name");
    return n != nullptr ? n : "";
}

int Bus::process()
{
    int r = sd_bus_process(bus, nullptr);
    detail::check(r, "sd_bus_process");
    return r;
}

std::size_t Bus::dropPending(std::size_t limit)
{
    std::size_t done = 0;
    while (done < limit && sd_bus_process(bus, nullptr) > 0)
    {
        ++done;
    }
    return done;
}

void Bus::flush()
{
    detail::check(sd_bus_flush(bus), "sd_bus_flush");
}

} // namespace sdbus
