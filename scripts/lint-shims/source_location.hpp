// Read by clang-tidy only (scripts/lint), never by a build: clang 14 lacks
// the builtin that libstdc++ 12's <source_location> needs, so that header
// declares nothing for it. This stands in with the same members, so that
// code using std::source_location parses.
#pragma once

#if defined(__cplusplus) && defined(__clang__) &&                              \
    !__has_builtin(__builtin_source_location)
namespace std
{
struct source_location
{
    static constexpr source_location
        current(const char* file = __builtin_FILE(),
                const char* function = __builtin_FUNCTION(),
                unsigned line = __builtin_LINE(),
                unsigned column = __builtin_COLUMN()) noexcept
    {
        source_location here;
        here.file = file;
        here.function = function;
        here.lineNumber = line;
        here.columnNumber = column;
        return here;
    }
    constexpr const char* file_name() const noexcept
    {
        return file;
    }
    constexpr const char* function_name() const noexcept
    {
        return function;
    }
    constexpr unsigned line() const noexcept
    {
        return lineNumber;
    }
    constexpr unsigned column() const noexcept
    {
        return columnNumber;
    }

  private:
    const char* file = "";
    const char* function = "";
    unsigned lineNumber = 0;
    unsigned columnNumber = 0;
};
} // namespace std
#endif
