#include "poller.hpp"

#include "scan.hpp"

#include <boost/asio/post.hpp>

#include <iostream>
#include <memory>

namespace arrayscout
{

namespace
{

/** A publication handed to the loop: whether it has ended. */
struct Handover
{
    std::mutex lock;
    std::condition_variable_any ended;
    bool done = false;
};

} // namespace

Poller::Poller(boost::asio::io_context& io) :
    io(io), thread([this](const std::stop_token& stop) { pollThread(stop); })
{}

Poller::~Poller()
{
    thread.request_stop();
    if (thread.joinable())
    {
        thread.join();
    }
}

void Poller::pollThread(const std::stop_token& stop)
{
    if (!pause(stop, firstDelay))
    {
        return;
    }
    while (true)
    {
        std::cout << "This function is executed every 10 seconds" << std::endl;
        if (!pollScan(stop) || !pause(stop, interval))
        {
            return;
        }
    }
}

bool Poller::pollScan(const std::stop_token& stop)
{
    std::shared_ptr<const ScanReading> reading = readForPoll();
    if (!reading)
    {
        return !stop.stop_requested();
    }
    auto handover = std::make_shared<Handover>();
    boost::asio::post(io, [handover, reading]() {
        publishForPoll(*reading);
        std::lock_guard guard(handover->lock);
        handover->done = true;
        handover->ended.notify_all();
    });
    std::unique_lock guard(handover->lock);
    return handover->ended.wait(guard, stop, [&] { return handover->done; });
}

bool Poller::pause(const std::stop_token& stop, std::chrono::seconds time)
{
    std::unique_lock guard(lock);
    wake.wait_for(guard, stop, time, [] { return false; });
    return !stop.stop_requested();
}

} // namespace arrayscout
