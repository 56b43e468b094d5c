#pragma once

// The drive and volume management methods of the root object. Each sends
// one command (AddLD reads the controller and its configuration first);
// their effects reach the published properties with the next scan.

#include "byte_buffer.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace arrayscout
{

/** Starts a drive's locate indication: 0, or 1. */
int32_t locatePd(int32_t controllerId, int32_t deviceId, int32_t duration);

/** Stops it: 0, or 1. */
int32_t stopLocatePd(int32_t controllerId, int32_t deviceId);

/** Deletes a volume: 0, or 1. */
int32_t deleteVolumes(int32_t controllerId, int32_t targetId, int32_t seqNum,
                      int32_t force);

/** Sets a drive's state: 0, or the library's status. */
int32_t setPdState(int32_t controllerId, int32_t deviceId, int32_t seqNum,
                   int32_t state);

/** Creates a volume over the drives: 0, 1, or the status of the
 *  configuration reads. */
int32_t addLogicalDrive(int32_t controllerId, const std::string& name,
                        const std::vector<int32_t>& deviceIds,
                        int32_t stripeSize, int32_t initState,
                        int32_t diskCachePolicy, int32_t accessPolicy,
                        int32_t cachePolicy, int32_t raidLevel);

/** Marks every target id of 0..63 free (1), then the ids of the
 *  configuration's volumes used (0); returns 0. */
int markUsedTargetIds(const ByteBuffer& config, std::array<uint8_t, 64>& free);

} // namespace arrayscout
