// Descriptor and buffer helpers shared by the library's families.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kn
{

// Writes every byte, going on after interruptions and short writes.
bool writeAll(int fd, const void* data, size_t size);

// Closes fd; false when the close reports an error (EINTR excepted: the
// descriptor is gone then).
bool closeFd(int fd);

// Opens path write-only with the flags added (creating it, mode 0666) and
// writes the bytes. Returns the byte count, -1 when the write or the close
// failed, -2 when the file could not be opened.
int writeFileBytes(const char* path, int flags, const void* data, size_t size);

// Copies text into a buffer of size bytes, cut to size - 1 characters and
// terminated. Returns the characters copied. size must be at least 1.
size_t copyText(char* buffer, size_t size, std::string_view text);

// The text of a fixed-size row, up to its first NUL or its end.
template <size_t N>
std::string rowText(const char (&row)[N])
{
    size_t length = 0;
    while (length < N && row[length] != '\0')
    {
        ++length;
    }
    return std::string(row, length);
}

// Whether path names something (stat succeeds).
bool pathExists(const char* path);

} // namespace kn
