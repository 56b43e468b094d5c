#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>

namespace bmcmon
{

/** Replaces the file at `path` with `data` so that a crash or a power cut at
 *  any moment leaves either the old file or the new one, never a mix: the
 *  data goes to "<path>.tmp", is flushed to the storage, and is renamed over
 *  the file. False (and no change to the file) when any step fails or the
 *  path is empty. */
bool writeFileAtomically(const std::string& path, const std::string& data);

/** What tells one state of a file from another without reading it: any
 *  write, rename over it or change of its status changes one of these. */
struct FileStamp
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const FileStamp& other) const;
};

/** The stamp of the file at `path`; none when it cannot be looked at. */
std::optional<FileStamp> stampOf(const std::string& path);

} // namespace bmcmon
