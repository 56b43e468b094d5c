#include "sync_client.hpp"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <utility>

namespace benchkit
{

SyncClient::SyncClient(std::string service, std::string root,
                       std::string interface) :
    service(std::move(service)),
    root(std::move(root)), interface(std::move(interface)),
    client(sdbus::Bus::newSystem()),
    match(client,
          "type='signal',sender='" + this->service +
              "',interface='org.freedesktop.DBus.Properties',"
              "member='PropertiesChanged'",
          [this](sdbus::Message&) { ++signals; })
{}

void SyncClient::drain()
{
    while (client.process() > 0)
    {}
}

void SyncClient::ping()
{
    client.callMethod(service, root, "org.freedesktop.DBus.Peer", "Ping");
    drain();
}

void SyncClient::sync()
{
    signals = 0;
    auto reply =
        client.callMethod(service, root, interface, "AgentSynchronizeData");
    drain();
    if (!reply.unpack<bool>())
    {
        std::cerr << "AgentSynchronizeData answered false\n";
        std::exit(1);
    }
    mostSignals = std::max(mostSignals, signals);
}

std::size_t SyncClient::signalsPerCall()
{
    return std::exchange(mostSignals, 0);
}

} // namespace benchkit
