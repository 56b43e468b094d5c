// How the access family reports exceptions it catches.
#pragma once

#include <exception>
#include <iostream>

namespace kn::access
{

// Exception texts go to standard error, after the name of the function
// that caught them; the log keeps its own lines.
inline void reportException(const char* function, const std::exception& e)
{
    std::cerr << function << "  " << e.what() << std::endl;
}

} // namespace kn::access
