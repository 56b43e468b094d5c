#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>

namespace bmcmon
{

/** Runs the monitor pass now and then again 3 s after the end of each
 *  pass, on the event loop, so passes never overlap. A std::exception from
 *  a pass ends the daemon with status 1 after its text on standard error; a
 *  cancelled wait ends it with status 255. `end` is handed that status. */
class MonitorTimer
{
  public:
    MonitorTimer(boost::asio::io_context& io, std::function<void()> pass,
                 std::function<void(int)> end);

    MonitorTimer(const MonitorTimer&) = delete;
    MonitorTimer& operator=(const MonitorTimer&) = delete;

    /** One pass now, then arms the timer for the next one. */
    void startMonitorTimer();

  private:
    boost::asio::steady_timer timer;
    std::function<void()> pass;
    std::function<void(int)> end;
};

} // namespace bmcmon
