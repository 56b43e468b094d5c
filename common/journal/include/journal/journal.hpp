#pragma once

#include <source_location>
#include <string>

namespace journal
{

/** One journal entry with CODE_FILE, CODE_LINE and CODE_FUNC fields and a
 *  printf-style MESSAGE. */
void printWithLocation(int priority, const char* file, int line,
                       const char* func, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

/** The same, with the MESSAGE taken verbatim (never used as a format). */
void messageWithLocation(int priority, const char* file, int line,
                         const char* func, const std::string& message);

/** An error entry (priority 3): MESSAGE plus a "WHAT=<what>" field, with the
 *  caller's location. */
void logError(const std::string& message, const std::string& what,
              std::source_location where = std::source_location::current());

/** An entry of the given priority with the caller's location. */
void log(int priority, const std::string& message,
         std::source_location where = std::source_location::current());

} // namespace journal
