#pragma once

#include <boost/asio/io_context.hpp>

namespace sdbus
{

/** Runs a daemon's event loop until it returns, then 0. A std::exception
 *  that leaves the loop (a bus connection lost or broken, a callback that
 *  failed) ends it instead: its text and a newline on standard error, and
 *  the daemon's `failureStatus`. */
int runEventLoop(boost::asio::io_context& io, int failureStatus);

} // namespace sdbus
