#pragma once

// The physical drives behind a controller, published as parallel arrays on
// the controller's object: element i of every PD_ array is the same drive.

#include "property_cache.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace arrayscout
{

/** Lists and reads the drives into `values`: 0, or 2 when the drive list
 *  could not be read (nothing is added then). */
int readDriveProperties(int controllerId, PropertyList& values);

/** Zeroes `n` destination bytes, then copies the source into them in
 *  reverse order. */
void reverseBytes(const uint8_t* source, uint8_t* destination, std::size_t n);

/** Whether the text begins with the prefix (an empty prefix matches). */
bool startsWith(const std::string& text, const std::string& prefix);

/** The manufacturer of a drive model. */
std::string normalizeDriveVendor(const std::string& model);

/** PD_protocols, PD_mediaTypes, PD_powerStates and PD_fwStates texts. */
std::string driveProtocolText(uint8_t interfaceType);
std::string driveMediaText(uint8_t mediaType);
std::string drivePowerText(uint8_t powerState);
std::string driveFirmwareStateText(uint16_t fwState);

/** {whole, tenths} of a link speed code; {-1, 0} for an unknown code. */
std::vector<int32_t> linkSpeedPair(uint8_t code);

/** The model text of a DriveInfo reply: 16 bytes, trailing blanks
 *  removed. */
std::string trimmedModel(const std::string& raw);

} // namespace arrayscout
