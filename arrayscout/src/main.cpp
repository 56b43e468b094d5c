// The RAID inventory daemon: finds the RAID controllers through the storage
// library, publishes controllers, drives and volumes on D-Bus, keeps them
// current, reports drives that come and go, and offers the drive and volume
// management methods.

#include "drive_events.hpp"
#include "inventory_files.hpp"
#include "management.hpp"
#include "output.hpp"
#include "poller.hpp"
#include "property_cache.hpp"
#include "scan.hpp"
#include "sdbus/asio_connection.hpp"
#include "sdbus/event_loop.hpp"
#include "sdbus/object_server.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace
{

using namespace arrayscout;

void announce(bool registered, const char* method)
{
    std::cerr << method
              << (registered ? " method registered!\n"
                             : " method not registered!\n");
}

// The method handlers of the root object; the first argument of each is
// not used.

int32_t locatePdMethod(int32_t, int32_t ctrl, int32_t pd, int32_t duration)
{
    return locatePd(ctrl, pd, duration);
}

int32_t stopLocatePdMethod(int32_t, int32_t ctrl, int32_t pd)
{
    return stopLocatePd(ctrl, pd);
}

int32_t deleteVolumesMethod(int32_t, int32_t ctrl, int32_t target, int32_t seq,
                            int32_t force)
{
    return deleteVolumes(ctrl, target, seq, force);
}

int32_t setPdStateMethod(int32_t, int32_t ctrl, int32_t pd, int32_t seq,
                         int32_t state)
{
    return setPdState(ctrl, pd, seq, state);
}

int32_t addLdMethod(int32_t, int32_t ctrl, const std::string& name,
                    const std::vector<int32_t>& ids, int32_t stripe,
                    int32_t init, int32_t diskCache, int32_t access,
                    int32_t cache, int32_t level)
{
    return addLogicalDrive(ctrl, name, ids, stripe, init, diskCache, access,
                           cache, level);
}

/** The six methods of the root object, each announced on standard error
 *  once registered. */
void registerRootMethods(sdbus::DbusInterface& root)
{
    if (root.registerMethod("AgentSynchronizeData", synchronizeMethod))
    {
        std::cerr << "AgentSynchronizeData method registered!\n";
    }
    announce(root.registerMethod("LocatePD", locatePdMethod), "LocatePD");
    announce(root.registerMethod("StopLocatePD", stopLocatePdMethod),
             "StopLocatePD");
    announce(root.registerMethod("DeleteVolumes", deleteVolumesMethod),
             "DeleteVolumes");
    announce(root.registerMethod("SetPDState", setPdStateMethod), "SetPDState");
    announce(root.registerMethod("AddLD", addLdMethod), "AddLD");
}

/** Brings the daemon up and serves until the loop ends; the exit status
 *  of the daemon. */
int runDaemon()
{
    boost::asio::io_context io;
    std::optional<sdbus::AsioConnection> conn;
    std::optional<sdbus::ObjectServer> server;
    std::unique_ptr<sdbus::NameOwnerWatch> healthService;
    try
    {
        conn.emplace(io, sdbus::Bus::defaultSystem());
        server.emplace(*conn);
        objectServer = &*server;
        conn->bus().requestName(serviceName);
        healthService = followHealthService(conn->bus());

        std::cerr << "begin read raid info!!!!!!!!!!!!!!!!!!!!!!\n";
        auto root = server->addInterface(rootPath, deviceInterface);
        registerRootMethods(*root);
        root->initialize();

        removeStaleTempFiles(raidInventoryFile);
        removeStaleTempFiles(diskInventoryFile);
        guardedScan();
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return 1;
    }

    // Stopped and joined before the loop and the connection it scans on go.
    Poller poller(io);

    return sdbus::runEventLoop(io, 1);
}

} // namespace

int main()
{
    // Every message goes to these two streams; nobody reads them while the
    // daemon runs.
    std::freopen("/dev/null", "w", stderr);
    std::freopen("/dev/null", "w", stdout);
    dropNullOutput();

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
