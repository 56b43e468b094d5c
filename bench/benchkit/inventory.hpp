#pragma once

// The figures of an inventory daemon (one whose main operation is
// AgentSynchronizeData) beside the floor service: start-up to its bus
// name, a bare round trip (Ping against the floor's method), a sync that
// finds nothing changed and one after a change, each beside the floor's
// bare round trip, private memory and its growth, and idle CPU.

#include "measure.hpp"
#include "testkit/process.hpp"

#include <functional>
#include <string>
#include <utility>

namespace benchkit
{

class Floor;
class SyncClient;
class Table;

/** What a daemon's own rows may use, after the common ones. */
struct InventoryRun
{
    Table& table;
    SyncClient& client;
    Floor& floor;
    pid_t pid;
    /** Private memory of the daemon and the floor at start. */
    long startKiB;
    long floorStartKiB;
    /** The daemon's CPU per sync that found nothing changed, in us. */
    double unchangedCpuUs;
};

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
    /** Rows of the daemon's own, measured after the common ones and
     *  printed with them (none when unset). */
    std::function<void(const InventoryRun&)> moreRows = nullptr;
};

/** Runs the daemon and the floor service on the system bus (a private
 *  one) and prints the table. */
void runInventoryBench(const InventoryBench& bench);

} // namespace benchkit
