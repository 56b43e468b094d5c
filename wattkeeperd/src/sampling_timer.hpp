#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>

namespace bmcmon
{

/** Runs the sample now and then again `interval` after the end of each
 *  run, on the event loop. A std::exception from the sample ends the
 *  process with status 1 after its text on standard error; a cancelled wait
 *  ends it with status -1. */
class SamplingTimer
{
  public:
    SamplingTimer(boost::asio::io_context& io, int64_t intervalSeconds,
                  std::function<void()> sample);

    SamplingTimer(const SamplingTimer&) = delete;
    SamplingTimer& operator=(const SamplingTimer&) = delete;

    /** One sample now, then arms the timer for the next one. */
    void startSamplingTimer();

  private:
    void sampleOnce();

    boost::asio::steady_timer timer;
    int64_t interval;
    std::function<void()> sample;
};

} // namespace bmcmon
