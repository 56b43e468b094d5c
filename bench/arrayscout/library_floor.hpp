#pragma once

// The floor of an arrayscout scan: the storage-library calls one scan of
// the daemon made, sent again in this process to the same stand-in
// library, and what the stand-in (the library and the I2C interposer)
// allocates for the description it answers from.

#include <cstddef>
#include <string>

namespace arrayscout_bench
{

struct LibraryFloor
{
    std::size_t calls = 0;   // library calls in one scan
    double cpuPerScanUs = 0; // CPU of those calls, once each
    long standInKiB = 0;     // heap the stand-in holds once it answered
};

/** Sends the commands recorded in `record` (STORESIM_RECORD of the
 *  stand-in) rounds times to the stand-in library, and probes the four
 *  RAID buses once through the interposer at `i2c`. STORESIM_CONFIG must
 *  name the description the commands were recorded against. Ends the
 *  program when the record or a library cannot be loaded. */
LibraryFloor measureLibraryFloor(const std::string& record,
                                 const std::string& i2c, int rounds);

} // namespace arrayscout_bench
