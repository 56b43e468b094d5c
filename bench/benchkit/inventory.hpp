#pragma once

// The figures of an inventory daemon (one whose main operation is
// AgentSynchronizeData) beside the floor service: start-up to its bus
// name, a bare round trip (Ping against the floor's method), a sync that
// finds nothing changed and one after a change, each beside the floor's
// bare round trip, private memory and its growth, and idle CPU.

#include "testkit/process.hpp"

#include <functional>
#include <string>

namespace benchkit
{

struct InventoryBench
{
    std::string component;
    std::string service;
    std::string root;
    std::string interface;
    testkit::Process::Options options;
    /** What a changing sync finds changed, for the row. */
    std::string changed;
    /** Changes the daemon's source before the round-th changing sync. */
    std::function<void(int)> change;
};

/** What a caller may set beside floors of its own. */
struct InventoryFigures
{
    double unchangedCpuUs = 0; // the daemon's CPU per unchanged sync
    long startKiB = 0;         // its private memory at start
    long floorStartKiB = 0;    // the floor service's
};

/** Runs the daemon and the floor service on the system bus (a private
 *  one) and prints the table. */
InventoryFigures runInventoryBench(const InventoryBench& bench);

} // namespace benchkit
