#pragma once

#include <cstddef>
#include <string>

namespace nicscout
{

/** The adapter inventory file, read line by line with a bound on the
 *  length of a line and one on the bytes read of the file.
 *
 *  Only a regular file is read: anything else at the path (a FIFO, a
 *  device, a folder) is never waited on and counts as a file that cannot
 *  be opened. */
class InventoryFile
{
  public:
    /** Lines longer than this, without their line feed, are refused. */
    static constexpr std::size_t maxLineLength = std::size_t{64} * 1024;
    /** Only the lines within this many bytes from the start are read. */
    static constexpr std::size_t maxFileSize = std::size_t{4} * 1024 * 1024;

    explicit InventoryFile(const std::string& path);
    /** The same, reading through a buffer the caller keeps from file to
     *  file (its contents are dropped), so that reading allocates
     *  nothing once it is large enough. */
    InventoryFile(const std::string& path, std::string& buffer);
    InventoryFile(const InventoryFile&) = delete;
    InventoryFile& operator=(const InventoryFile&) = delete;
    ~InventoryFile();

    /** Whether the path named a regular file that could be opened. */
    bool isOpen() const
    {
        return fd >= 0;
    }

    /** Reads the next line, without its line feed, into `line`. False at
     *  the end of the file and on a read error (then failed() is true). A
     *  line longer than maxLineLength, and the line that reaches past the
     *  first maxFileSize bytes, throw std::invalid_argument; the rest of
     *  the file is not read. */
    bool readLine(std::string& line);

    /** Whether reading stopped on an error. */
    bool failed() const
    {
        return readError;
    }

  private:
    /** Appends what the next read gives to the buffer; false at the end
     *  or on an error. */
    bool fill();

    int fd = -1;
    std::string ownBuffer;
    std::string& buffer;
    /** Bytes read of the file so far; at most maxFileSize + 1. */
    std::size_t readBytes = 0;
    /** Where the next line starts in buffer. */
    std::size_t start = 0;
    bool atEnd = false;
    bool readError = false;
};

} // namespace nicscout
