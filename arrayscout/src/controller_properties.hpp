#pragma once

// One controller's refresh: the controller, its battery backup unit, its
// drives and its volumes, published on the controller's object.

#include "byte_buffer.hpp"
#include "property_cache.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace arrayscout
{

/** Reads controller `controllerId`, to be published as (resource,
 *  controller, drive), from the library into `values`, in publishing order:
 *  0, or 2 when the controller, drive list or volume list could not be read
 *  (`values` then holds what was read before the failure). Uses the library
 *  only, never the bus. */
int readCtrlDevice(int resource, int controller, int drive, int controllerId,
                   PropertyList& values);

/** readCtrlDevice, then publishes what it read on the device: 0 or 2. */
int updateCtrlDevice(int resource, int controller, int drive, int controllerId);

/** HealthState of a ControllerInfo reply. */
std::string controllerHealthState(const ByteBuffer& info);

/** SpeedGbps of the interface bits. */
int32_t controllerSpeedGbps(uint8_t interfaceBits);

/** SupportedDeviceProtocols of the interface bits. */
std::vector<std::string> supportedDeviceProtocols(uint8_t interfaceBits);

/** SupportedRAIDTypes of the RAID level bits and the RAID flag byte. */
std::vector<std::string> supportedRaidTypes(uint8_t raidLevels,
                                            uint8_t raidFlags);

/** BBUstate text of the battery backup unit status bits. */
std::string bbuHealthText(uint8_t status);

} // namespace arrayscout
