#include "monitor_timer.hpp"

#include <boost/asio/error.hpp>

#include <chrono>
#include <exception>
#include <iostream>
#include <utility>

namespace bmcmon
{

namespace
{

constexpr std::chrono::seconds monitorPeriod{3};

} // namespace

MonitorTimer::MonitorTimer(boost::asio::io_context& io,
                           std::function<void()> passFn,
                           std::function<void(int)> endFn) :
    timer(io),
    pass(std::move(passFn)), end(std::move(endFn))
{}

void MonitorTimer::startMonitorTimer()
{
    try
    {
        pass();
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        end(1);
        return;
    }
    timer.expires_after(monitorPeriod);
    timer.async_wait([this](const boost::system::error_code& ec) {
        if (ec == boost::asio::error::operation_aborted)
        {
            end(255);
            return;
        }
        startMonitorTimer();
    });
}

} // namespace bmcmon
