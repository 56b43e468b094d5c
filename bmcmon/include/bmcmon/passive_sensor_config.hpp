#pragma once

#include <string>

namespace bmcmon
{

/** How a daemon configures one passive reader. */
struct PassiveSensorConfig
{
    /** The sensor type, as the reader factories take it. */
    std::string type;
    /** The object path the reader follows. */
    std::string readPath;
    /** Store values as the sensor publishes them (scaled by its Scale)
     *  instead of normalising them into its MinValue to MaxValue. */
    bool skipDbusMinMax = false;
};

} // namespace bmcmon
