#pragma once

// clang 14 lacks the built-in that the C++ library's std::source_location
// needs; the fuzz build force-includes this stand-in made of the older
// built-ins it has.

#include <version>

#if defined(__clang__) && !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std
{
struct source_location
{
    static constexpr source_location
        current(const char* file = __builtin_FILE(),
                const char* function = __builtin_FUNCTION(),
                uint_least32_t line = __builtin_LINE(),
                uint_least32_t column = __builtin_COLUMN()) noexcept
    {
        source_location s;
        s.fileName = file;
        s.functionName = function;
        s.lineNumber = line;
        s.columnNumber = column;
        return s;
    }
    constexpr const char* file_name() const noexcept
    {
        return fileName;
    }
    constexpr const char* function_name() const noexcept
    {
        return functionName;
    }
    constexpr uint_least32_t line() const noexcept
    {
        return lineNumber;
    }
    constexpr uint_least32_t column() const noexcept
    {
        return columnNumber;
    }

  private:
    const char* fileName = "";
    const char* functionName = "";
    uint_least32_t lineNumber = 0;
    uint_least32_t columnNumber = 0;
};
} // namespace std
#endif
