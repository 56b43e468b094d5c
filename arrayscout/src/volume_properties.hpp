#pragma once

// The logical volumes of a controller, published as parallel arrays on the
// controller's object: element i of every LD_ array is the same volume.

#include "property_cache.hpp"

#include <cstdint>
#include <string>

namespace arrayscout
{

/** Lists and reads the volumes of the device's controller into `values`:
 *  0, or 2 when the volume list could not be read (nothing is added
 *  then). */
int readVolumeProperties(int resource, int controller, int drive,
                         int controllerId, PropertyList& values);

/** LD_AccessPolicys text of the low 4 bits of the access policy byte. */
std::string volumeAccessText(uint8_t accessPolicy);

/** LD_WriteCachePolicys text of the disk cache policy. */
std::string volumeDiskCacheText(uint8_t diskCachePolicy);

/** LD_States text. */
std::string volumeStateText(uint8_t state);

/** LD_raidTypes text of a RAID level and its qualifier. */
std::string volumeRaidText(uint8_t level, uint8_t qualifier);

/** LD_CachePolicys text: one line per policy bit. */
std::string volumeCachePolicyText(uint8_t bits);

} // namespace arrayscout
