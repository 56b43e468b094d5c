// Lines and trimming of the library's text files.
#pragma once

#include <string_view>
#include <vector>

namespace kn
{

// The text without leading spaces and without trailing spaces, line
// breaks, carriage returns and tabs: how keys and values of settings
// files are compared.
inline std::string_view trimmed(std::string_view text)
{
    auto trailing = [](char c) {
        return c == ' ' || c == '\n' || c == '\r' || c == '\t';
    };
    size_t first = 0;
    while (first < text.size() && text[first] == ' ')
    {
        ++first;
    }
    size_t end = text.size();
    while (end > first && trailing(text[end - 1]))
    {
        --end;
    }
    return text.substr(first, end - first);
}

// The lines of a file's content, each with its line break when it has one.
inline std::vector<std::string_view> splitLines(std::string_view content)
{
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < content.size())
    {
        size_t end = content.find('\n', start);
        end = end == std::string_view::npos ? content.size() : end + 1;
        lines.push_back(content.substr(start, end - start));
        start = end;
    }
    return lines;
}

} // namespace kn
