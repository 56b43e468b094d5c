// Whether the test process has a network namespace of its own.
#pragma once

#include <string>

namespace kntest
{

extern std::string networkRefusal;
bool privateNetwork();

} // namespace kntest
