#pragma once

// The daemon's messages: printf-style lines on standard output and standard
// error (which main reopens on /dev/null). They go through std::cout and
// std::cerr, so a test can take them by swapping the stream buffers.

#include <string>

namespace arrayscout
{

/** The printf-style text. */
std::string strprintf(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

/** Writes the printf-style text on standard output. */
void printOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

/** Writes the printf-style text on standard error. */
void printErr(const char* format, ...) __attribute__((format(printf, 1, 2)));

/** Points std::cout and std::cerr, each whose file descriptor leads to
 *  /dev/null, at a buffer that drops what it is given: the same end for
 *  the text, without a system call for every line and flush. */
void dropNullOutput();

} // namespace arrayscout
