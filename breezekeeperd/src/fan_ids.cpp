#include "fan_ids.hpp"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace bmcmon
{

std::vector<uint32_t> parseFanIds(const std::string& text)
{
    std::vector<uint32_t> ids;
    std::istringstream pieces(text);
    std::string piece;
    while (std::getline(pieces, piece, ','))
    {
        long id = std::strtol(piece.c_str(), nullptr, 10);
        if (id < 0 || id > static_cast<long>(maxFanId))
        {
            throw std::out_of_range("Fan ID out of range (0 to " +
                                    std::to_string(maxFanId) + "): " + piece);
        }
        ids.push_back(static_cast<uint32_t>(id));
    }
    return ids;
}

} // namespace bmcmon
