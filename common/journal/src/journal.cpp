#include "journal/journal.hpp"

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cstdarg>
#include <cstdio>
#include <string>

namespace journal
{

namespace
{

std::string fileField(const char* file)
{
    return std::string("CODE_FILE=") + (file != nullptr ? file : "");
}

std::string lineField(int line)
{
    return "CODE_LINE=" + std::to_string(line);
}

} // namespace

void printWithLocation(int priority, const char* file, int line,
                       const char* func, const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    sd_journal_printv_with_location(priority, fileField(file).c_str(),
                                    lineField(line).c_str(), func, format, ap);
    va_end(ap);
}

void messageWithLocation(int priority, const char* file, int line,
                         const char* func, const std::string& message)
{
    sd_journal_print_with_location(priority, fileField(file).c_str(),
                                   lineField(line).c_str(), func, "%s",
                                   message.c_str());
}

void logError(const std::string& message, const std::string& what,
              std::source_location where)
{
    sd_journal_send_with_location(
        fileField(where.file_name()).c_str(),
        lineField(static_cast<int>(where.line())).c_str(),
        where.function_name(), "MESSAGE=%s", message.c_str(), "PRIORITY=%d", 3,
        "WHAT=%s", what.c_str(), nullptr);
}

void log(int priority, const std::string& message, std::source_location where)
{
    messageWithLocation(priority, where.file_name(),
                        static_cast<int>(where.line()), where.function_name(),
                        message);
}

} // namespace journal
