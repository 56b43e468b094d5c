#pragma once

// Force-included by the clang 14 runs of scripts/fuzz and scripts/lint,
// never by a GCC build: clang 14 lacks the built-in that libstdc++ 12's
// <source_location> needs, so that header declares nothing for it. This
// stands in with the same members, made of the older built-ins clang has.
// C sources see nothing of it.

#if defined(__cplusplus) && defined(__clang__) &&                              \
    !__has_builtin(__builtin_source_location)
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
        source_location here;
        here.fileName = file;
        here.functionName = function;
        here.lineNumber = line;
        here.columnNumber = column;
        return here;
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
