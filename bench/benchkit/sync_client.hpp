#pragma once

// The client side of the inventory daemons' benchmarks: times their
// AgentSynchronizeData and counts the PropertiesChanged signals it brings.

#include "benchkit.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"

#include <cstddef>
#include <functional>
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

    /** Times rounds calls of AgentSynchronizeData, each after
     *  prepare(round); ends the program when one answers false. */
    Samples timeSyncs(int rounds,
                      const std::function<void(int)>& prepare = nullptr);

    /** The most PropertiesChanged signals that one of those calls
     *  brought. */
    std::size_t signalsPerCall() const;

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

/** One line: what, the figures in ms, the calls and their signals. */
void printSyncs(int width, const std::string& what, const Samples& ms,
                std::size_t signalsPerCall);

} // namespace benchkit
