// Allocations that fail on request, for the paths that must clean up
// after std::bad_alloc. The executable that links failing_new.cpp has its
// operator new replaced.
#pragma once

#include <atomic>

namespace kntest
{

// While true, every operator new of the process throws std::bad_alloc.
extern std::atomic<bool> allocationsFail;

} // namespace kntest
