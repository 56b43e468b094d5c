#include "sync_client.hpp"

#include <algorithm>
#include <cstdio>
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

Samples SyncClient::timeSyncs(int rounds,
                              const std::function<void(int)>& prepare)
{
    Samples ms;
    mostSignals = 0;
    for (int round = 0; round < rounds; ++round)
    {
        if (prepare)
        {
            prepare(round);
        }
        signals = 0;
        auto start = Clock::now();
        auto reply =
            client.callMethod(service, root, interface, "AgentSynchronizeData");
        ms.add(since<std::milli>(start));
        drain();
        if (!reply.unpack<bool>())
        {
            std::cerr << "AgentSynchronizeData answered false\n";
            std::exit(1);
        }
        mostSignals = std::max(mostSignals, signals);
    }
    return ms;
}

std::size_t SyncClient::signalsPerCall() const
{
    return mostSignals;
}

void printSyncs(int width, const std::string& what, const Samples& ms,
                std::size_t signalsPerCall)
{
    std::printf("%-*s %s  (%zu calls, %zu PropertiesChanged each)\n", width,
                what.c_str(), ms.summary("ms").c_str(), ms.size(),
                signalsPerCall);
}

} // namespace benchkit
