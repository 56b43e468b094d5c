#include "sdbus/asio_connection.hpp"

#include <poll.h>

#include <boost/asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <vector>

namespace sdbus
{

namespace
{

thread_local std::vector<AsioConnection*> connections;

void scheduleAll()
{
    for (AsioConnection* c : connections)
    {
        c->schedule();
    }
}

int fdOf(const Bus& bus)
{
    int fd = sd_bus_get_fd(bus.get());
    detail::check(fd, "sd_bus_get_fd");
    return fd;
}

} // namespace

AsioConnection::AsioConnection(boost::asio::io_context& ioc, Bus b) :
    io(ioc), conn(std::move(b)), descriptor(ioc, fdOf(conn)), timer(ioc)
{
    connections.push_back(this);
    detail::afterCallHook = scheduleAll;
    schedule();
}

AsioConnection::~AsioConnection()
{
    *alive = false;
    connections.erase(std::remove(connections.begin(), connections.end(), this),
                      connections.end());
    if (connections.empty())
    {
        detail::afterCallHook = nullptr;
    }
    boost::system::error_code ec;
    descriptor.cancel(ec);
    descriptor.release();
    // A destructor must not throw. A timer left armed is harmless: its
    // handler sees `alive` false and does nothing.
    try
    {
        timer.cancel();
    }
    catch (const boost::system::system_error& e)
    {
        std::cerr << "sdbus: the connection's timer was not cancelled: "
                  << e.what() << "\n";
    }
}

void AsioConnection::schedule()
{
    if (scheduled)
    {
        return;
    }
    scheduled = true;
    std::weak_ptr<bool> token = alive;
    boost::asio::post(io, [this, token]() {
        if (token.expired())
        {
            return;
        }
        scheduled = false;
        processAll();
    });
}

void AsioConnection::processAll()
{
    try
    {
        while (true)
        {
            int r = sd_bus_process(conn.get(), nullptr);
            if (r < 0)
            {
                throw SdBusError(-r, "sd_bus_process");
            }
            rethrowDeferred();
            if (r == 0)
            {
                break;
            }
        }
    }
    catch (...)
    {
        rearm();
        throw;
    }
    rearm();
}

void AsioConnection::rearm()
{
    std::weak_ptr<bool> token = alive;
    if (!readArmed)
    {
        readArmed = true;
        descriptor.async_wait(
            boost::asio::posix::stream_descriptor::wait_read,
            [this, token](const boost::system::error_code& ec) {
            if (token.expired())
            {
                return;
            }
            readArmed = false;
            if (!ec)
            {
                processAll();
            }
            });
    }

    int events = sd_bus_get_events(conn.get());
    if (events > 0 && (events & POLLOUT) != 0 && !writeArmed)
    {
        writeArmed = true;
        descriptor.async_wait(
            boost::asio::posix::stream_descriptor::wait_write,
            [this, token](const boost::system::error_code& ec) {
            if (token.expired())
            {
                return;
            }
            writeArmed = false;
            if (!ec)
            {
                processAll();
            }
            });
    }

    uint64_t usec = UINT64_MAX;
    if (sd_bus_get_timeout(conn.get(), &usec) < 0)
    {
        usec = UINT64_MAX;
    }
    if (usec != timerDue)
    {
        timerDue = usec;
        timer.cancel();
        if (usec != UINT64_MAX)
        {
            timer.expires_at(std::chrono::steady_clock::time_point(
                std::chrono::microseconds(usec)));
            timer.async_wait(
                [this, token](const boost::system::error_code& ec) {
                if (token.expired() || ec)
                {
                    return;
                }
                timerDue = UINT64_MAX;
                processAll();
            });
        }
    }
}

} // namespace sdbus
