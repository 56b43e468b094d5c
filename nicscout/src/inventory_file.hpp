#pragma once

#include <cstddef>
#include <string>

namespace nicscout
{

/** The adapter inventory file, read line by line with a bound on the
 *  length of a line.
 *
 *  Only a regular file is read: anything else at the path (a FIFO, a
 *  device, a folder) is never waited on and counts as a file that cannot
 *  be opened. */
class InventoryFile
{
  public:
    /** Lines longer than this, without their line feed, are refused. */
    static constexpr std::size_t maxLineLength = std::size_t{64} * 1024;

    explicit InventoryFile(const std::string& path);
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
     *  line longer than maxLineLength throws std::invalid_argument; the
     *  rest of the file is not read. */
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
    std::string buffer;
    /** Where the next line starts in buffer. */
    std::size_t start = 0;
    bool atEnd = false;
    bool readError = false;
};

} // namespace nicscout
