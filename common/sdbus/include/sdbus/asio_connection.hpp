#pragma once

#include "sdbus/bus.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>

namespace sdbus
{

/** A bus connection driven by an asio event loop.
 *
 *  The connection's file descriptor is watched by asio (and never closed by
 *  it). Each time it wakes up, once at start, and after every synchronous
 *  call made on this thread, the connection is processed until sd-bus has
 *  nothing left: a synchronous call can leave messages queued inside
 *  sd-bus while the descriptor no longer looks readable.
 *
 *  An exception deferred by a callback (see Match) is rethrown from the
 *  handler and so leaves io_context::run(). */
class AsioConnection
{
  public:
    AsioConnection(boost::asio::io_context& io, Bus bus);
    AsioConnection(const AsioConnection&) = delete;
    AsioConnection& operator=(const AsioConnection&) = delete;
    ~AsioConnection();

    Bus& bus()
    {
        return conn;
    }
    sd_bus* get() const
    {
        return conn.get();
    }
    boost::asio::io_context& context()
    {
        return io;
    }

    /** Processes every queued message now, then rearms the watches. */
    void processAll();
    /** Schedules processAll() on the event loop, once. */
    void schedule();

  private:
    void rearm();

    boost::asio::io_context& io;
    Bus conn;
    boost::asio::posix::stream_descriptor descriptor;
    boost::asio::steady_timer timer;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
    bool readArmed = false;
    bool writeArmed = false;
    bool scheduled = false;
    uint64_t timerDue = UINT64_MAX;
};

} // namespace sdbus
