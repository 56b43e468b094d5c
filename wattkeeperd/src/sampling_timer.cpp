#include "sampling_timer.hpp"

#include <boost/asio/error.hpp>

#include <cstdlib>
#include <iostream>
#include <utility>

namespace bmcmon
{

SamplingTimer::SamplingTimer(boost::asio::io_context& io,
                             int64_t intervalSeconds,
                             std::function<void()> sampleFn) :
    timer(io),
    interval(intervalSeconds), sample(std::move(sampleFn))
{}

void SamplingTimer::sampleOnce()
{
    try
    {
        sample();
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        std::exit(1);
    }
}

void SamplingTimer::startSamplingTimer()
{
    sampleOnce();
    timer.expires_after(std::chrono::seconds(interval));
    timer.async_wait([this](const boost::system::error_code& ec) {
        if (ec == boost::asio::error::operation_aborted)
        {
            std::exit(-1);
        }
        startSamplingTimer();
    });
}

} // namespace bmcmon
