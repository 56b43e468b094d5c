#pragma once

// Helpers the fuzz targets share: a file holding the input bytes, and a
// private folder for it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace fuzz
{

/** A folder of this process under $TMPDIR (or /tmp), made once. */
inline const std::string& workDir()
{
    static const std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp ? tmp : "/tmp") + "/fuzz.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
        {
            std::abort();
        }
        return pattern;
    }();
    return dir;
}

/** Replaces the file with the bytes. */
inline void writeFile(const std::string& path, const uint8_t* data,
                      std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data),
              static_cast<std::streamsize>(size));
    if (!out)
    {
        std::abort();
    }
}

/** Takes bytes from the front of the input. */
class Reader
{
  public:
    Reader(const uint8_t* d, std::size_t n) : data(d), size(n) {}

    bool empty() const
    {
        return pos >= size;
    }
    uint8_t byte()
    {
        return pos < size ? data[pos++] : 0;
    }
    uint16_t u16()
    {
        uint16_t lo = byte();
        return static_cast<uint16_t>(lo | (byte() << 8));
    }
    /** Up to n bytes; fewer at the end. */
    std::string take(std::size_t n)
    {
        n = std::min(n, size - std::min(pos, size));
        std::string s(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        return s;
    }
    /** Everything up to the next NUL byte (skipped), or to the end. */
    std::string part()
    {
        std::string s;
        while (pos < size && data[pos] != 0)
        {
            s.push_back(static_cast<char>(data[pos++]));
        }
        ++pos;
        return s;
    }

  private:
    const uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
};

} // namespace fuzz
