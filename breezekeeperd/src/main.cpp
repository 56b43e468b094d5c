// The fan monitoring daemon: watches the tachometers of the fans named on
// the command line, confirms their failures and returns, keeps the fan
// health flag of the health service, and drives the fan-control service.

#include "bmcmon/dbus_helper.hpp"
#include "fan_controller.hpp"
#include "fan_ids.hpp"
#include "sdbus/asio_connection.hpp"
#include "sdbus/bus.hpp"
#include "journal/journal.hpp"

#include <syslog.h>

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

// Journal locations operators filter on.
constexpr int startedLine = 109;
constexpr int noFanLine = 129;

constexpr std::chrono::seconds monitorPeriod{3};

/** The process's connections, fan controller and monitor timer, in the
 *  order they are made (and the reverse of the order they go). */
struct Daemon
{
    boost::asio::io_context io;
    // The default connection and a spare one are kept open for the life of
    // the process; every reader follows its object on the third.
    sdbus::AsioConnection defaultConnection{io, sdbus::Bus::defaultSystem()};
    sdbus::AsioConnection spareConnection{io, sdbus::Bus::newSystem()};
    sdbus::AsioConnection readerConnection{io, sdbus::Bus::newSystem()};
    bmcmon::FanController controller{readerConnection.bus(),
                                     bmcmon::newSystemHelper()};
    std::optional<boost::asio::steady_timer> monitorTimer;
    int status = 0;

    /** One monitor pass. */
    void monitorOnce()
    {
        controller.evaluateFanMode();
    }

    /** Runs a pass now and the next one a period after it ends. A pass
     *  that throws ends the daemon with status 1. */
    void startMonitorTimer()
    {
        if (!monitorTimer)
        {
            monitorTimer.emplace(io);
        }
        try
        {
            monitorOnce();
        }
        catch (const std::exception& e)
        {
            std::cerr << e.what() << std::endl;
            end(1);
            return;
        }
        monitorTimer->expires_after(monitorPeriod);
        monitorTimer->async_wait([this](const boost::system::error_code& ec) {
            if (ec == boost::asio::error::operation_aborted)
            {
                end(255);
                return;
            }
            startMonitorTimer();
        });
    }

    void end(int exitStatus)
    {
        status = exitStatus;
        io.stop();
    }
};

} // namespace

int main(int argc, char** argv)
{
    try
    {
        bmcmon::initDbusHelper();
        Daemon daemon;

        journal::messageWithLocation(LOG_INFO, __FILE__, startedLine,
                                            "main", "breezekeeper started");

        std::string fanOption;
        CLI::App app{"OpenBMC Fan Control Daemon"};
        app.add_option("-f,--fan", fanOption, "Fan ID List to be monitor");
        try
        {
            app.parse(argc, argv);
        }
        catch (const CLI::ParseError& e)
        {
            return app.exit(e);
        }

        std::vector<uint32_t> fanIds;
        try
        {
            fanIds = bmcmon::parseFanIds(fanOption);
        }
        catch (const std::out_of_range& e)
        {
            std::cerr << e.what() << std::endl;
            journal::messageWithLocation(LOG_ERR, __FILE__, __LINE__,
                                                "main", e.what());
            return -1;
        }
        if (fanIds.empty())
        {
            journal::messageWithLocation(LOG_INFO, __FILE__, noFanLine,
                                                "main",
                                                "FAN ID is NOT specified");
            return -1;
        }

        daemon.controller.initFanController();
        daemon.controller.assignFanIds(fanIds);
        daemon.startMonitorTimer();
        daemon.io.run();
        return daemon.status;
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return 1;
    }
}
