#pragma once

// The client side of the inventory daemons' benchmarks: calls their
// AgentSynchronizeData and counts the PropertiesChanged signals it brings.

#include "benchkit.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"

#include <cstddef>
#include <string>

namespace benchkit
{

class SyncClient
{
  public:
    /** A connection of its own to the system bus, following the signals of
     *  service; the calls go to the root object's interface. */
    SyncClient(std::string service, std::string root, std::string interface);

    /** Pings the root object (answered once the daemon's start-up is done)
     *  and drops the signals seen so far. */
    void ping();

    /** One AgentSynchronizeData and the signals it brought; ends the
     *  program when it answers false. */
    void sync();

    /** The most PropertiesChanged signals that one sync brought since the
     *  last call of this. */
    std::size_t signalsPerCall();

  private:
    void drain();

    std::string service;
    std::string root;
    std::string interface;
    sdbus::Bus client;
    std::size_t signals = 0;
    std::size_t mostSignals = 0;
    sdbus::Match match;
};

} // namespace benchkit
