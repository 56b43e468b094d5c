#pragma once

#include <chrono>
#include <functional>

namespace testkit
{

// Polls cond with short pauses until it holds or the deadline has passed.
// Returns the last result of cond, which is always checked once more after
// the deadline.
bool waitUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds deadline);

} // namespace testkit
