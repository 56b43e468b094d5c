// JSON files and typed values, on top of cJSON.
#include "libkn/json.h"

#include "libkn/misc.h"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace
{

template <typename T>
int store(void* output, int length, T value)
{
    if (static_cast<size_t>(length) < sizeof(value))
    {
        return -1;
    }
    std::memcpy(output, &value, sizeof(value));
    return 0;
}

// The value truncated toward zero, when a 64-bit integer holds it.
bool toInteger(double value, int64_t& integer)
{
    constexpr double limit = 9223372036854775808.0; // 2^63
    double whole = std::trunc(value);
    if (!(whole >= -limit && whole < limit))
    {
        return false;
    }
    integer = static_cast<int64_t>(whole);
    return true;
}

} // namespace

cJSON* prepare_parse_json(const char* path)
{
    if (path == nullptr)
    {
        return nullptr;
    }
    int64_t size = get_file_size(path);
    if (size <= 0 ||
        static_cast<uint64_t>(size) >= std::numeric_limits<size_t>::max())
    {
        return nullptr;
    }
    kn::Descriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
    {
        return nullptr;
    }
    auto length = static_cast<size_t>(size);
    std::unique_ptr<char[]> text(new (std::nothrow) char[length + 1]());
    size_t done = 0;
    while (text && done < length)
    {
        ssize_t got = ::read(fd.get(), text.get() + done, length - done);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            break;
        }
        done += static_cast<size_t>(got);
    }
    fd.close();
    if (!text || done != length)
    {
        return nullptr;
    }
    return cJSON_Parse(text.get());
}

int cjson_data_get(const cJSON* item, int kind, void* output, int length)
{
    if (item == nullptr || output == nullptr || length <= 0)
    {
        return -1;
    }
    double value = 0;
    if (cJSON_IsNumber(item))
    {
        value = item->valuedouble;
    }
    else if (cJSON_IsBool(item))
    {
        value = cJSON_IsTrue(item) ? 1 : 0;
    }
    else if (cJSON_IsString(item))
    {
        if (item->valuestring == nullptr)
        {
            return -1;
        }
        if (kind == KN_JSON_TEXT)
        {
            std::snprintf(static_cast<char*>(output),
                          static_cast<size_t>(length), "%s", item->valuestring);
            return 0;
        }
        value = std::atof(item->valuestring);
    }
    else
    {
        return -1;
    }

    int64_t integer = 0;
    switch (kind)
    {
        case KN_JSON_UINT8:
            return toInteger(value, integer)
                       ? store(output, length, static_cast<uint8_t>(integer))
                       : -1;
        case KN_JSON_INT16:
            return toInteger(value, integer)
                       ? store(output, length, static_cast<int16_t>(integer))
                       : -1;
        case KN_JSON_INT32:
            return toInteger(value, integer)
                       ? store(output, length, static_cast<int32_t>(integer))
                       : -1;
        case KN_JSON_INT64:
            return toInteger(value, integer) ? store(output, length, integer)
                                             : -1;
        case KN_JSON_TEXT:
            std::snprintf(static_cast<char*>(output),
                          static_cast<size_t>(length), "%lf", value);
            return 0;
        case KN_JSON_FLOAT:
            return store(output, length, static_cast<float>(value));
        case KN_JSON_DOUBLE:
            return store(output, length, value);
        default:
            return -1;
    }
}

int cjson_value_get(const cJSON* object, const char* key, int kind,
                    void* output, int length)
{
    if (object == nullptr || key == nullptr)
    {
        return -1;
    }
    const cJSON* item = cJSON_GetObjectItem(object, key);
    if (item == nullptr)
    {
        return -1;
    }
    return cjson_data_get(item, kind, output, length);
}

int cjson_file_write(const cJSON* object, const char* path)
{
    if (object == nullptr || path == nullptr)
    {
        return -1;
    }
    char* text = cJSON_Print(object);
    if (text == nullptr)
    {
        return -1;
    }
    struct timeval now
    {};
    ::gettimeofday(&now, nullptr);
    std::string stem = std::string(path) + "-" +
                       std::to_string(static_cast<unsigned>(now.tv_sec)) + "." +
                       std::to_string(static_cast<unsigned>(now.tv_usec));
    kn::Rewrite result = kn::replaceFile(path, stem, ".json", text);
    cJSON_free(text);
    return result == kn::Rewrite::written ? 0 : -1;
}
