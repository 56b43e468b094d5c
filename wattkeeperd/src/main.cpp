// wattkeeperd: samples the server's total power, keeps its statistics and a
// 31-day history, reports when it reaches the alarm threshold, and serves it
// all on D-Bus.

#include "bmcmon/dbus_helper.hpp"
#include "global_manager.hpp"
#include "journal/journal.hpp"
#include "sampling_timer.hpp"
#include "sdbus/asio_connection.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/event_loop.hpp"

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace
{

struct Options
{
    int64_t interval = 1;
    std::string configDir = "/var/lib/wattkeeper";
};

/** Reads the command line into `options`. Returns the status main ends
 *  with when the daemon is not to run (help, a bad option, a bad interval),
 *  after the parser's text or the interval message; nothing otherwise. */
std::optional<int> parseOptions(int argc, char** argv, Options& options)
{
    CLI::App app{"OpenBMC Fan Control Daemon"};
    std::string intervalText = "1";
    app.add_option("-i,--interval", intervalText,
                   "Sampling interval, default 1s");
    app.add_option("-c,--config", options.configDir,
                   "Config path. Default: /var/lib/wattkeeper");
    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& e)
    {
        return app.exit(e);
    }

    // Parsing stops at the first character that is not a digit; the range
    // is checked before the value is narrowed.
    long long interval = std::strtoll(intervalText.c_str(), nullptr, 10);
    if (interval < 1 || interval > 60)
    {
        std::cerr << "Sample interval should be in (0, 60)" << std::endl;
        return -1;
    }
    options.interval = interval;
    return std::nullopt;
}

/** Connects, publishes the object, starts sampling and runs the loop;
 *  returns main's status. A bus that cannot be reached is reported like any
 *  other start-up failure. */
int serve(const Options& options)
{
    std::unique_ptr<boost::asio::io_context> io;
    std::shared_ptr<sdbus::AsioConnection> serviceConnection;
    std::unique_ptr<sdbus::AsioConnection> sensorConnection;
    std::unique_ptr<bmcmon::GlobalManager> manager;
    std::unique_ptr<bmcmon::SamplingTimer> timer;
    try
    {
        bmcmon::initDbusHelper();
        io = std::make_unique<boost::asio::io_context>();
        serviceConnection = std::make_shared<sdbus::AsioConnection>(
            *io, sdbus::Bus::defaultSystem());
        sensorConnection = std::make_unique<sdbus::AsioConnection>(
            *io, sdbus::Bus::newSystem());
        manager = std::make_unique<bmcmon::GlobalManager>(
            *sensorConnection, serviceConnection,
            bmcmon::globalDbusHelper.get());

        if (!manager->init(static_cast<int>(options.interval),
                           options.configDir))
        {
            std::cerr << "Failed of initing global manager service"
                      << std::endl;
            return -1;
        }

        timer = std::make_unique<bmcmon::SamplingTimer>(
            *io, options.interval, [&manager] { manager->sample(); });
        timer->startSamplingTimer();
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return -1;
    }

    return sdbus::runEventLoop(*io, 1);
}

} // namespace

int main(int argc, char** argv)
{
    journal::messageWithLocation(6, __FILE__, __LINE__, __func__,
                                 "wattkeeper started");

    // The options are settled before the bus is reached: help and a bad
    // option need no bus.
    try
    {
        Options options;
        if (auto status = parseOptions(argc, argv, options))
        {
            return *status;
        }
        return serve(options);
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return -1;
    }
}
