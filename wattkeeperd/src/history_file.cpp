#include "history_file.hpp"

#include "file_util.hpp"
#include "files/regular_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <utility>

namespace bmcmon
{

namespace
{

void putLittle(std::string& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
    {
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

uint64_t getLittle(const unsigned char* in, int bytes)
{
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
    {
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

void putRecord(std::string& out, const HistoryRecord& r)
{
    putLittle(out, static_cast<uint64_t>(r.timestamp), 8);
    putLittle(out, static_cast<uint32_t>(r.average), 4);
    putLittle(out, static_cast<uint32_t>(r.maximum), 4);
}

struct FileCloser
{
    void operator()(std::FILE* f) const
    {
        std::fclose(f);
    }
};

} // namespace

HistoryFile::HistoryFile(std::string path) : filePath(std::move(path)) {}

std::string HistoryFile::encode(const std::vector<HistoryRecord>& records)
{
    std::string out;
    out.reserve(headerSize + recordSize * records.size());
    putLittle(out, magic, 4);
    putLittle(out, static_cast<uint8_t>(version), 1);
    putLittle(out, 0, 3);
    for (const auto& r : records)
    {
        putRecord(out, r);
    }
    return out;
}

std::optional<uint32_t>
    HistoryFile::load(std::vector<HistoryRecord>& records) const
{
    // What is not a regular file (a FIFO, say) counts as unreadable.
    int fd = files::openRegular(filePath.c_str(), O_RDONLY);
    if (fd < 0)
    {
        return std::nullopt;
    }
    std::unique_ptr<std::FILE, FileCloser> f(::fdopen(fd, "r"));
    if (!f)
    {
        ::close(fd);
        return std::nullopt;
    }
    unsigned char header[headerSize];
    if (std::fread(header, sizeof(header), 1, f.get()) != 1)
    {
        return badHeader;
    }
    HistoryFileHeader h{static_cast<uint32_t>(getLittle(header, 4)),
                        static_cast<int8_t>(header[4])};
    if (h.magic != magic || h.version != version)
    {
        return badHeader;
    }
    uint32_t count = 0;
    unsigned char raw[recordSize];
    while (count < records.size() &&
           std::fread(raw, sizeof(raw), 1, f.get()) == 1)
    {
        records[count] = {static_cast<int64_t>(getLittle(raw, 8)),
                          static_cast<int32_t>(getLittle(raw + 8, 4)),
                          static_cast<int32_t>(getLittle(raw + 12, 4))};
        ++count;
    }
    return count;
}

bool HistoryFile::store(const std::vector<HistoryRecord>& records) const
{
    return writeFileAtomically(filePath, encode(records));
}

bool HistoryFile::storeRecord(uint32_t index, const HistoryRecord& record) const
{
    // Only a file that is there already: a missing one is made whole.
    int fd = files::openRegular(filePath.c_str(), O_WRONLY);
    if (fd < 0)
    {
        return false;
    }
    std::string bytes;
    putRecord(bytes, record);
    const off_t offset = static_cast<off_t>(headerSize + recordSize * index);
    ssize_t n = 0;
    do
    {
        n = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    } while (n < 0 && errno == EINTR);
    bool ok = n == static_cast<ssize_t>(bytes.size()) && ::fdatasync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    return ok;
}

} // namespace bmcmon
