#pragma once

// What every benchmark measures of a daemon and of the floor service beside
// it: start-up, private memory, CPU per operation and at rest, and the
// round trips of both taken in alternating batches.

#include "benchkit.hpp"
#include "table.hpp"
#include "testkit/process.hpp"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

namespace benchkit
{

/** Whether BENCH_QUICK is set: few operations, a smoke run. */
bool quick();

/** full, or quickly in a quick run. */
int count(int full, int quickly);

/** Private memory of a process in kB: Anonymous of smaps_rollup (-1 when
 *  unreadable). */
long privateKiB(pid_t pid);

/** Starts a process and returns the milliseconds from exec until it owns
 *  name on the system bus, seen through NameOwnerChanged. The process is
 *  handed over in keep when given, terminated otherwise. Ends the program
 *  when the name is not owned within 30 s. */
double timeToName(const testkit::Process::Options& options,
                  const std::string& name,
                  std::unique_ptr<testkit::Process>* keep = nullptr);

/** The same to the first appearance of needle in the process's stderr. */
double timeToOutput(const testkit::Process::Options& options,
                    const std::string& needle,
                    std::unique_ptr<testkit::Process>* keep = nullptr);

/** One side of an interleaved run: the process that serves the operations
 *  and one operation (its index given). */
struct Side
{
    pid_t pid;
    std::function<void(int)> operation;
    /** Run before each operation, untimed (e.g. changing what it reads). */
    std::function<void(int)> prepare = nullptr;
    /** Run after each batch of this side, untimed (e.g. waiting for the
     *  work an operation started to end). */
    std::function<void()> afterBatch = nullptr;
};

/** What an interleaved run measured of one side. */
struct Result
{
    Samples us;            // round trip of each operation
    double cpuPerOpUs = 0; // the serving process's CPU per operation
    long kibBefore = 0;    // private memory before the timed operations
    long kibAfter = 0;     // and after them
};

/** Runs ops operations of each side in alternating batches of batch, after
 *  warmUp untimed ones of each. */
std::pair<Result, Result> interleave(int ops, int batch, int warmUp,
                                     const Side& daemon, const Side& floor);

/** Start-up of the daemon (its function returns one start's milliseconds)
 *  and of the floor service, rounds times each in turn. */
std::pair<Samples, Samples> startups(int rounds,
                                     const std::function<double()>& daemon);

/** Percent of one core two processes spent over the same seconds at rest. */
std::pair<double, double> idleCpuPercent(pid_t daemon, pid_t floor,
                                         double seconds);

/** Milliseconds per bare 16-byte write and fdatasync of a file in folder
 *  (median of rounds). */
double bareWriteMs(const std::string& folder, int rounds);

/** The rows of an interleaved run of what (e.g. "Set, unchanged"): round
 *  trip median and p99, CPU per operation. */
void addRun(Table& table, const std::string& what,
            const std::pair<Result, Result>& run);

} // namespace benchkit
