#pragma once

// Little-endian fields of the library's data areas, read and written by
// offset. Every access is checked against the area's size: a field that
// does not fit reads as zero (or an empty text) and is not written, so a
// reply that claims more than its area holds never reads past it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace arrayscout
{

/** A zero-filled data area of a fixed size. */
class ByteBuffer
{
  public:
    explicit ByteBuffer(std::size_t size) : bytes(size, 0) {}

    uint8_t* data()
    {
        return bytes.data();
    }
    const uint8_t* data() const
    {
        return bytes.data();
    }
    std::size_t size() const
    {
        return bytes.size();
    }

    uint64_t get(std::size_t offset, std::size_t width) const
    {
        if (offset > bytes.size() || width > bytes.size() - offset)
        {
            return 0;
        }
        uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i)
        {
            v |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
        }
        return v;
    }
    uint8_t u8(std::size_t offset) const
    {
        return static_cast<uint8_t>(get(offset, 1));
    }
    uint16_t u16(std::size_t offset) const
    {
        return static_cast<uint16_t>(get(offset, 2));
    }
    uint32_t u32(std::size_t offset) const
    {
        return static_cast<uint32_t>(get(offset, 4));
    }
    uint64_t u64(std::size_t offset) const
    {
        return get(offset, 8);
    }

    void put(std::size_t offset, std::size_t width, uint64_t v)
    {
        if (offset > bytes.size() || width > bytes.size() - offset)
        {
            return;
        }
        for (std::size_t i = 0; i < width; ++i)
        {
            bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    void put8(std::size_t offset, uint64_t v)
    {
        put(offset, 1, v);
    }
    void put16(std::size_t offset, uint64_t v)
    {
        put(offset, 2, v);
    }
    void put32(std::size_t offset, uint64_t v)
    {
        put(offset, 4, v);
    }
    void put64(std::size_t offset, uint64_t v)
    {
        put(offset, 8, v);
    }

    /** The zero-terminated text at offset, at most maxLength bytes (and
     *  never past the area). */
    std::string text(std::size_t offset, std::size_t maxLength) const
    {
        if (offset >= bytes.size())
        {
            return {};
        }
        std::size_t limit = std::min(maxLength, bytes.size() - offset);
        const char* start = reinterpret_cast<const char*>(&bytes[offset]);
        return std::string(start, strnlen(start, limit));
    }

    /** Exactly `length` bytes from offset, zeros included (the part inside
     *  the area). */
    std::string raw(std::size_t offset, std::size_t length) const
    {
        if (offset >= bytes.size())
        {
            return {};
        }
        length = std::min(length, bytes.size() - offset);
        return std::string(reinterpret_cast<const char*>(&bytes[offset]),
                           length);
    }

  private:
    std::vector<uint8_t> bytes;
};

} // namespace arrayscout
