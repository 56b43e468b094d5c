#pragma once

#include <time.h>

#include <cstdint>

namespace platformsim
{

/** Now on the monotonic clock, in microseconds, as sd-bus counts time. */
inline uint64_t monotonicUsec()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000U +
           static_cast<uint64_t>(ts.tv_nsec) / 1000U;
}

} // namespace platformsim
