#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bmcmon
{

/** The highest fan id: the fan masks hold one bit per fan. */
inline constexpr uint32_t maxFanId = 31;

/** The fan ids of the "-f,--fan" option text, in the order given.
 *
 *  The text is split at every comma; each piece is read as strtol reads a
 *  decimal number (leading blanks skipped, reading stops at the first
 *  character that is no digit, a piece without digits is 0). A trailing
 *  comma adds nothing; an empty piece between two commas is fan 0.
 *
 *  Throws std::out_of_range naming the piece when a number lies outside 0
 *  to maxFanId. */
std::vector<uint32_t> parseFanIds(const std::string& text);

} // namespace bmcmon
