#pragma once

#include "sdbus/message.hpp"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace sdbus
{

/** An owning handle on an sd-bus connection.
 *
 *  A connection is used by one thread only: the thread that opened it. */
class Bus
{
  public:
    /** A new private connection to the system bus, logged in. */
    static Bus newSystem();
    /** This thread's default system-bus connection, shared by every Bus
     *  made by this call on the thread. */
    static Bus defaultSystem();

    /** Wraps b; with adopt the caller's reference is taken over. A shared
     *  connection is only unreferenced on destruction, never closed. */
    Bus(sd_bus* b, bool adopt, bool shared);

    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    Bus(Bus&& other) noexcept;
    Bus& operator=(Bus&& other) noexcept;
    ~Bus();

    sd_bus* get() const
    {
        return bus;
    }

    Message newMethodCall(const std::string& service, const std::string& path,
                          const std::string& interface,
                          const std::string& member);
    Message newSignal(const std::string& path, const std::string& interface,
                      const std::string& member);

    /** Calls synchronously and returns the reply. A failed call or an error
     *  reply throws SdBusError with the prefix "sd_bus_call". A timeout of
     *  0 uses the connection's default. */
    Message call(Message& m, uint64_t timeoutUsec = 0);
    /** As above, failed when no reply came within `timeout`: SdBusError
     *  "sd_bus_call" with the name org.freedesktop.DBus.Error.Timeout. */
    Message call(Message& m, std::chrono::microseconds timeout);

    template <typename... Args>
    Message callMethod(const std::string& service, const std::string& path,
                       const std::string& interface, const std::string& member,
                       const Args&... args)
    {
        Message m = newMethodCall(service, path, interface, member);
        m.append(args...);
        return call(m);
    }

    void send(Message& m);

    /** Requests a well-known name with no flags: no replacement, no
     *  queueing. Throws SdBusError "sd_bus_request_name" when refused. */
    void requestName(const std::string& name);

    std::string uniqueName() const;

    /** Processes one pending message; see sd_bus_process. */
    int process();
    /** Processes, with no handler of its own, what the connection holds or
     *  can read without waiting, at most `limit` messages: on a connection
     *  read only inside calls, what a call read ahead besides its reply is
     *  so dropped instead of kept. The number of messages processed. */
    std::size_t dropPending(std::size_t limit);
    void flush();

  private:
    void release();

    sd_bus* bus = nullptr;
    bool shared = false;
};

/** Stores an exception raised inside a bus callback, where it must not
 *  unwind through sd-bus. The event loop of this thread rethrows it. While
 *  one is stored, a later one is dropped with a line on standard error
 *  saying what it was. */
void deferException(std::exception_ptr e);
/** Rethrows and clears the exception deferred on this thread, if any. */
void rethrowDeferred();

namespace detail
{
/** Called after every synchronous call made on this thread. */
extern thread_local void (*afterCallHook)();
} // namespace detail

} // namespace sdbus
