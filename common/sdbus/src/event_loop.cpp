#include "sdbus/event_loop.hpp"

#include <exception>
#include <iostream>

namespace sdbus
{

int runEventLoop(boost::asio::io_context& io, int failureStatus)
{
    try
    {
        io.run();
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return failureStatus;
    }
    return 0;
}

} // namespace sdbus
