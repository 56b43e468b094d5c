// The fan monitoring daemon: watches the tachometers of the fans named on
// the command line, confirms their failures and returns, keeps the fan
// health flag of the health service, and drives the fan-control service.

#include "bmcmon/dbus_helper.hpp"
#include "fan_controller.hpp"
#include "fan_ids.hpp"
#include "journal/journal.hpp"
#include "monitor_timer.hpp"
#include "sdbus/asio_connection.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/error.hpp"
#include "sdbus/event_loop.hpp"

#include <syslog.h>

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>

#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

// Journal locations operators filter on.
constexpr int startedLine = 109;
constexpr int noFanLine = 129;

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
    bmcmon::DbusHelper& processHelper = bmcmon::initDbusHelper();
    bmcmon::FanController controller{readerConnection.bus(),
                                     bmcmon::newSystemHelper()};
    bmcmon::MonitorTimer monitorTimer{
        io, [this] { controller.evaluateFanMode(); },
        [this](int exitStatus) { end(exitStatus); }};
    int status = 0;

    void end(int exitStatus)
    {
        status = exitStatus;
        io.stop();
    }
};

/** The fan ids of the command line, or nothing with the status to end
 *  with: help asked for (0), a command-line error (CLI11's status), no fan
 *  id or one out of range (255). Needs no bus. */
std::optional<std::vector<uint32_t>> parseOptions(int argc, char** argv,
                                                  int& status)
{
    std::string fanOption;
    CLI::App app{"OpenBMC Fan Control Daemon"};
    app.add_option("-f,--fan", fanOption, "Fan ID List to be monitor");
    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& e)
    {
        status = app.exit(e);
        return std::nullopt;
    }

    std::vector<uint32_t> fanIds;
    try
    {
        fanIds = bmcmon::parseFanIds(fanOption);
    }
    catch (const std::out_of_range& e)
    {
        std::cerr << e.what() << std::endl;
        journal::messageWithLocation(LOG_ERR, __FILE__, __LINE__, "main",
                                     e.what());
        status = 255;
        return std::nullopt;
    }
    if (fanIds.empty())
    {
        journal::messageWithLocation(LOG_INFO, __FILE__, noFanLine, "main",
                                     "FAN ID is NOT specified");
        status = 255;
        return std::nullopt;
    }
    return fanIds;
}

/** Brings the daemon up and runs it until it ends: 255 when the bus cannot
 *  be reached at start-up, 1 when the fans cannot be monitored or a pass
 *  fails. */
int runDaemon(const std::vector<uint32_t>& fanIds)
{
    std::unique_ptr<Daemon> daemon;
    try
    {
        daemon = std::make_unique<Daemon>();
        daemon->controller.initFanController();
        daemon->controller.assignFanIds(fanIds);
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << e.what() << std::endl;
        return 255;
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return 1;
    }

    daemon->monitorTimer.startMonitorTimer();
    if (sdbus::runEventLoop(daemon->io, 1) != 0)
    {
        return 1;
    }
    return daemon->status;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        journal::messageWithLocation(LOG_INFO, __FILE__, startedLine, "main",
                                     "breezekeeper started");
        int status = 0;
        auto fanIds = parseOptions(argc, argv, status);
        if (!fanIds)
        {
            return status;
        }
        return runDaemon(*fanIds);
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return 1;
    }
}
