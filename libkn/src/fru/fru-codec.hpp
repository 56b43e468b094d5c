// The codec's part in the FRU storage besides the public header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kn::fru
{

// The areas of a device's image that the codec does not decode, carried
// over unchanged when the image is written again.
struct KeptAreas
{
    std::vector<uint8_t> internalUse; // whole 8-byte units
    std::vector<uint8_t> multirecord; // every record, the last one included
};

// The internal-use area runs from its offset to the next area that the
// header names, or to the end of the image.
std::optional<std::vector<uint8_t>> internalUseArea(const uint8_t* image,
                                                    size_t size);

// The multirecord area: records of a five-byte header (type, end-of-list
// flag and format, data length, data checksum, header checksum) and their
// data, up to the record flagged last; each record lies inside the image.
std::optional<std::vector<uint8_t>> multirecordArea(const uint8_t* image,
                                                    size_t size);

// The image of the encoded areas with the kept ones in the format's
// order: header, internal use, chassis, board, product, multirecord; the
// header's offsets and checksum made for them. False when it cannot be
// addressed by one-byte offsets or does not fit the image buffer.
bool assembleWithKept(const KeptAreas& kept);

} // namespace kn::fru
