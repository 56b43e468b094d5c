#pragma once

// The polling thread: 30 s after start-up, and then 10 s after each scan
// ended, it scans. It reads the cards itself, library calls included, and
// hands only the publication to the event loop, which keeps answering
// meanwhile. It is stopped and joined when the poller is destroyed, before
// the loop it posts to.

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>

namespace arrayscout
{

class Poller
{
  public:
    static constexpr std::chrono::seconds firstDelay{30};
    static constexpr std::chrono::seconds interval{10};

    /** Starts the polling thread on the loop. */
    explicit Poller(boost::asio::io_context& io);

    /** Stops the thread (a scan it waits for is given up) and joins it. */
    ~Poller();

    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

  private:
    /** The body of the polling thread. */
    void pollThread(const std::stop_token& stop);

    /** One scan: reads here, has the loop publish and waits until it has;
     *  false when the poller is stopped first. */
    bool pollScan(const std::stop_token& stop);

    /** Waits the time, resuming after spurious wake-ups; false when the
     *  poller is stopped first. */
    bool pause(const std::stop_token& stop, std::chrono::seconds time);

    boost::asio::io_context& io;
    std::mutex lock;
    std::condition_variable_any wake;
    std::jthread thread;
};

} // namespace arrayscout
