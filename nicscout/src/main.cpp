// The network adapter inventory daemon: publishes the adapters listed in
// /var/lib/smbios/network and refreshes them on AgentSynchronizeData.

#include "adapter_properties.hpp"
#include "network_adapters.hpp"
#include "sdbus/asio_connection.hpp"
#include "sdbus/error.hpp"
#include "sdbus/event_loop.hpp"
#include "sdbus/object_server.hpp"

#include <boost/asio/io_context.hpp>

#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

namespace
{

/** Answers the caller with InvalidArgs naming the bad line. */
[[noreturn]] void refuseBadLine(const std::exception& e)
{
    std::cerr << e.what() << std::endl;
    throw sdbus::MethodError("org.freedesktop.DBus.Error.InvalidArgs",
                             e.what());
}

/** The handler of AgentSynchronizeData: one refresh pass. */
bool synchronizeData(nicscout::NetworkAdapters& adapters)
{
    try
    {
        return adapters.updateNetworkAdapters();
    }
    catch (const std::invalid_argument& e)
    {
        refuseBadLine(e);
    }
    catch (const std::out_of_range& e)
    {
        refuseBadLine(e);
    }
}

/** The pass at start-up, where nobody can be answered. */
void firstPass(nicscout::NetworkAdapters& adapters)
{
    try
    {
        adapters.updateNetworkAdapters();
    }
    catch (const std::exception& e)
    {
        // The lines before the bad one stay published; the next
        // AgentSynchronizeData reads the file again.
        std::cerr << e.what() << std::endl;
    }
}

/** Brings the daemon up and serves until the loop ends; the exit status
 *  of the daemon. */
int runDaemon()
{
    boost::asio::io_context io;
    std::optional<sdbus::AsioConnection> conn;
    std::optional<sdbus::ObjectServer> server;
    std::optional<nicscout::NetworkAdapters> adapters;
    try
    {
        conn.emplace(io, sdbus::Bus::defaultSystem());
        server.emplace(*conn);
        adapters.emplace(conn->bus());
        conn->bus().requestName(nicscout::serviceName);

        auto root =
            server->addInterface(nicscout::rootPath, nicscout::interfaceName);
        root->registerMethod("AgentSynchronizeData", [&adapters]() -> bool {
            return synchronizeData(*adapters);
        });
        // The adapters below it share its path's fallback vtables.
        root->initializeAsFallback();
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return 1;
    }

    firstPass(*adapters);
    // A bus connection lost or broken leaves nothing to serve.
    return sdbus::runEventLoop(io, 1);
}

} // namespace

int main()
{
    try
    {
        return runDaemon();
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return 1;
    }
}
