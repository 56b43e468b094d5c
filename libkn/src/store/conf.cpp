// Configuration files: key-value files, ini files and the hwmon threshold
// overrides.
#include "libkn/conf.h"

#include "core/file_io.hpp"
#include "core/text.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace
{

constexpr const char* oemConfBackup = "/etc/default/obmc/hwmon/oem.confback";
constexpr const char* thresholdPrefixes[] = {"CRITLO_", "CRITHI_", "WARNLO_",
                                             "WARNHI_"};

using kn::splitLines;
using kn::trimmed;

// Whether the line sets key: its trimmed text before the first separator.
bool setsKey(std::string_view line, std::string_view key, char separator)
{
    size_t at = line.find(separator);
    return at != std::string_view::npos && trimmed(line.substr(0, at)) == key;
}

// The trimmed value of the first line that sets key; nullopt when the file
// cannot be read or no line sets it.
std::optional<std::string> lookup(const char* path, std::string_view key,
                                  char separator)
{
    std::string content;
    if (!kn::readFile(path, content))
    {
        return std::nullopt;
    }
    for (std::string_view line : splitLines(content))
    {
        if (setsKey(line, key, separator))
        {
            std::string_view value = line.substr(line.find(separator) + 1);
            return std::string(trimmed(value));
        }
    }
    return std::nullopt;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Whether number appears in text as a whole number: no digit right before
// or after it ("1" is in "temp1" but not in "temp10").
bool holdsNumber(std::string_view text, std::string_view number)
{
    for (size_t at = text.find(number); at != std::string_view::npos;
         at = text.find(number, at + 1))
    {
        size_t end = at + number.size();
        if ((at == 0 || !isDigit(text[at - 1])) &&
            (end == text.size() || !isDigit(text[end])))
        {
            return true;
        }
    }
    return false;
}

bool usableSeparator(char separator)
{
    return separator != '\0' && separator != '\n';
}

} // namespace

int check_comment_line(const char* line)
{
    if (line == nullptr)
    {
        return -1;
    }
    while (*line == ' ')
    {
        ++line;
    }
    return *line == '#' ? 1 : 0;
}

int get_valid_string(char* text)
{
    if (text == nullptr)
    {
        return -1;
    }
    std::string_view kept = trimmed(text);
    std::memmove(text, kept.data(), kept.size());
    text[kept.size()] = '\0';
    return 0;
}

int read_conf_value_safe(const char* path, const char* key, char* output,
                         int size, char separator)
{
    if (path == nullptr || key == nullptr || output == nullptr || size <= 0 ||
        !usableSeparator(separator))
    {
        return -1;
    }
    std::optional<std::string> value = lookup(path, key, separator);
    if (!value)
    {
        return -1;
    }
    kn::copyText(output, static_cast<size_t>(size), *value);
    return 0;
}

int write_conf_value_safe(const char* path, const char* key, const char* value,
                          char separator)
{
    if (path == nullptr || key == nullptr || value == nullptr ||
        !usableSeparator(separator) || std::strchr(key, separator) != nullptr ||
        std::strchr(key, '\n') != nullptr ||
        std::strchr(value, '\n') != nullptr)
    {
        return -1;
    }
    const std::string wanted(trimmed(value));
    if (lookup(path, key, separator) == wanted)
    {
        return 0;
    }

    std::string line = std::string(key) + separator + value + "\n";
    auto edit = [&](std::string& content, bool /*missing*/) {
        std::string result;
        bool replaced = false;
        for (std::string_view old : splitLines(content))
        {
            if (!replaced && setsKey(old, key, separator))
            {
                std::string_view current = old.substr(old.find(separator) + 1);
                if (trimmed(current) == wanted)
                {
                    return false; // another writer set it meanwhile
                }
                result += line;
                replaced = true;
            }
            else
            {
                result += old;
            }
        }
        if (!replaced)
        {
            // A last line without its line break keeps its own line.
            if (!result.empty() && result.back() != '\n')
            {
                result += '\n';
            }
            result += line;
        }
        content = std::move(result);
        return true;
    };
    return kn::rewriteResult(kn::rewriteFile(path, kn::secondsStem(path), "",
                                             /*create=*/true, edit));
}

int delete_conf_value_safe(const char* path, const char* key, char separator)
{
    if (path == nullptr || key == nullptr || !usableSeparator(separator))
    {
        return -1;
    }
    if (!lookup(path, key, separator))
    {
        return 0;
    }
    auto edit = [&](std::string& content, bool missing) {
        if (missing)
        {
            return false;
        }
        std::string result;
        bool removed = false;
        for (std::string_view old : splitLines(content))
        {
            if (setsKey(old, key, separator))
            {
                removed = true;
            }
            else
            {
                result += old;
            }
        }
        content = std::move(result);
        return removed;
    };
    return kn::rewriteResult(kn::rewriteFile(path, kn::secondsStem(path), "",
                                             /*create=*/false, edit));
}

int read_conf_value(const char* path, const char* key, char* output)
{
    return read_conf_value_safe(path, key, output, KN_CONF_VALUE_SIZE, '=');
}

int write_conf_value(const char* path, const char* key, const char* value)
{
    return write_conf_value_safe(path, key, value, '=');
}

int replace_file_value(const char* path, const char* new_text,
                       const char* old_text)
{
    if (path == nullptr || new_text == nullptr || old_text == nullptr ||
        old_text[0] == '\0')
    {
        return -1;
    }
    bool found = false;
    bool missing = false;
    auto edit = [&](std::string& content, bool isMissing) {
        missing = isMissing;
        size_t at = isMissing ? std::string::npos : content.find(old_text);
        if (at == std::string::npos)
        {
            return false;
        }
        found = true;
        content.replace(at, std::strlen(old_text), new_text);
        return true;
    };
    kn::Rewrite result = kn::rewriteFile(path, kn::secondsStem(path), "",
                                         /*create=*/false, edit);
    if (result == kn::Rewrite::written)
    {
        return 0;
    }
    return result == kn::Rewrite::unchanged && !missing && !found ? 1 : -1;
}

int write_to_oem_conf(uint8_t index, const char* sensor, int kind,
                      int64_t value)
{
    if (sensor == nullptr || kind < KN_THRESHOLD_CRITICAL_LOW ||
        kind > KN_THRESHOLD_WARNING_HIGH)
    {
        return 0;
    }
    const std::string indexText = std::to_string(index);
    const char* prefix = thresholdPrefixes[kind - 1];
    auto edit = [&](std::string& content, bool missing) {
        if (missing)
        {
            return false;
        }
        std::string result;
        bool armed = false;
        bool changed = false;
        for (std::string_view line : splitLines(content))
        {
            if (line.find(sensor) != std::string_view::npos)
            {
                armed = true;
            }
            size_t equals = line.find('=');
            if (armed && equals != std::string_view::npos &&
                line.find(prefix) != std::string_view::npos &&
                holdsNumber(line.substr(0, equals), indexText))
            {
                result += std::string(line.substr(0, equals)) + "=" +
                          std::to_string(value) + "\n";
                armed = false;
                changed = true;
            }
            else
            {
                result += line;
            }
        }
        content = std::move(result);
        return changed;
    };
    kn::rewriteFile(KN_OEM_CONF_PATH, oemConfBackup, "", /*create=*/false,
                    edit);
    return 0;
}

char* GetIniKeyString(const char* title, const char* key, const char* path)
{
    thread_local char value[KN_INI_VALUE_SIZE];
    if (title == nullptr || key == nullptr || path == nullptr)
    {
        return nullptr;
    }
    // Made before the file is opened: nothing between the open and the
    // close may throw.
    const std::string header = std::string("[") + title + "]";
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
    {
        std::printf("have   no   such   file ");
        return nullptr;
    }
    const size_t keyLength = std::strlen(key);
    char* result = nullptr;
    bool inSection = false;
    char line[KN_INI_VALUE_SIZE];
    while (std::fgets(line, sizeof(line), file) != nullptr)
    {
        // The rest of a line longer than the buffer is dropped: it is no
        // line of its own (a long comment could otherwise set a key).
        if (std::strchr(line, '\n') == nullptr)
        {
            int c = 0;
            while ((c = std::fgetc(file)) != EOF && c != '\n')
            {}
        }
        if (!inSection)
        {
            inSection = std::strncmp(line, header.c_str(), header.size()) == 0;
            continue;
        }
        if (std::strncmp(line, key, keyLength) != 0)
        {
            continue;
        }
        if (const char* equals = std::strchr(line, '='))
        {
            kn::copyText(value, sizeof(value), equals + 1);
            value[std::strcspn(value, "#")] = '\0';
            size_t end = std::strlen(value);
            while (end > 0 && value[end - 1] == ' ')
            {
                --end;
            }
            value[end] = '\0';
            result = value;
        }
        break;
    }
    std::fclose(file);
    return result;
}

int GetIniKeyInt(const char* title, const char* key, const char* path)
{
    const char* text = GetIniKeyString(title, key, path);
    return text != nullptr ? std::atoi(text) : 0;
}
