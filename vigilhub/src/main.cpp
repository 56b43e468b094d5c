#include "constants.hpp"
#include "health.hpp"
#include "journal/journal.hpp"
#include "led.hpp"
#include "sdbus/asio_connection.hpp"
#include "sdbus/object_server.hpp"

#include <syslog.h>

#include <boost/asio/io_context.hpp>

#include <exception>

using namespace openbmc::vigilhub;

int main()
{
    try
    {
        boost::asio::io_context io;
        sdbus::AsioConnection conn(io, sdbus::Bus::defaultSystem());

        conn.bus().requestName(serviceName);

        sdbus::ObjectServer server(conn, true);
        for (const auto& path : {fanPath, powerPath, diskPath})
        {
            auto iface = server.addInterface(path, statusInterface);
            iface->registerProperty<bool>(healthProperty, true,
                                          sdbus::Access::readWrite,
                                          sdbus::flags::emitsChange);
            iface->initialize();
        }

        Health health(io, {"fan", "power", "disk"});
        health.start();

        io.run();
    }
    catch (const std::exception& e)
    {
        journal::messageWithLocation(LOG_WARNING, "../git/src/monitor", 34,
                                     "main", e.what());
        return -1;
    }
    return 0;
}
