#pragma once

#include "bmcmon/dbus_helper.hpp"

#include <cstdint>

namespace bmcmon
{

/** Reports that the power reached the alarm threshold (both in mW, shown in
 *  whole watts) as a Redfish message through log-util. A failing command is
 *  reported on standard error; nothing is retried. The helper is not
 *  used. */
void logPowerOverThreshold(DbusHelper* helper, int32_t power,
                           int32_t threshold);

} // namespace bmcmon
