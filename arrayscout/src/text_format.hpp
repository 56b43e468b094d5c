#pragma once

// The size texts that controller, drive and volume properties share.

#include <cstdint>
#include <string>

namespace arrayscout
{

/** Stripe size text of a size code: 512B, 1KB..512KB, 1MB..512MB,
 *  1GB..512GB; "Unknown" above 30. */
std::string formatBlockSize(uint8_t code);

/** The byte count in Bytes, KB, MB, GB or TB (at most four divisions by
 *  1024) with the given number of decimals, e.g. "1.50 KB". */
std::string formatCapacity(uint64_t bytes, int decimals);

} // namespace arrayscout
