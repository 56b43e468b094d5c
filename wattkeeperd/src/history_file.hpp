#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bmcmon
{

/** One closed 600-second window: 16 bytes in the file. */
struct HistoryRecord
{
    /** Time of the sample that closed the window, s since the epoch; 0 marks
     *  an empty slot. */
    int64_t timestamp = 0;
    /** Average power of the window, mW. */
    int32_t average = 0;
    /** Maximum power of the window, mW. */
    int32_t maximum = 0;

    bool operator==(const HistoryRecord&) const = default;
};

/** The 8 bytes in front of the records. */
struct HistoryFileHeader
{
    uint32_t magic = 0;
    int8_t version = 0;
};

/** The history ring file: a header and the records in slot order, every
 *  field little-endian, no padding. */
class HistoryFile
{
  public:
    static constexpr uint32_t magic = 0x7E5445E7;
    static constexpr int8_t version = 1;
    static constexpr std::size_t headerSize = 8;
    static constexpr std::size_t recordSize = 16;
    /** The count a file with a bad header reports. */
    static constexpr uint32_t badHeader = 0xFFFFFFFF;

    explicit HistoryFile(std::string path);

    /** Reads the file into `records` (sized by the caller, left as it is
     *  beyond what was read). Returns the number of whole records read,
     *  badHeader when the header is short or not ours, or nothing when the
     *  file cannot be opened. */
    std::optional<uint32_t> load(std::vector<HistoryRecord>& records) const;

    /** Replaces the file with the header and `records` (see
     *  writeFileAtomically). */
    bool store(const std::vector<HistoryRecord>& records) const;

    /** Writes `record` over record `index` of the existing file, in place,
     *  and flushes it to the storage. False when the file cannot be opened
     *  for writing (a missing file included) or the write fails; a failed
     *  write can spoil that one record only. */
    bool storeRecord(uint32_t index, const HistoryRecord& record) const;

    static std::string encode(const std::vector<HistoryRecord>& records);

    const std::string& path() const
    {
        return filePath;
    }

  private:
    std::string filePath;
};

} // namespace bmcmon
