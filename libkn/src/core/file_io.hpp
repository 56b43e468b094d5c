// Descriptor and buffer helpers shared by the library's families.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kn
{

// Writes every byte, going on after interruptions and short writes.
bool writeAll(int fd, const void* data, size_t size);

// Runs write (true on success, errno set on failure) with SIGPIPE held
// back in the calling thread: writing to a pipe or FIFO that has no reader
// fails with EPIPE instead of ending the process. A SIGPIPE that the write
// raised is taken before the signal mask is restored.
bool withoutSigpipe(const std::function<bool()>& write);

// writeAll without SIGPIPE, as withoutSigpipe does it.
bool writeAllNoSigpipe(int fd, const void* data, size_t size);

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

// Reads everything from fd into text; false on a read error.
bool readAllFd(int fd, std::string& text);

// Reads the whole file into text; false when it cannot be opened or read.
bool readFile(const char* path, std::string& text);

// Outcome of rewriteFile.
enum class Rewrite
{
    written,   // the new content replaced the file
    unchanged, // edit left the file alone
    failed,    // the file could not be read, or the new one not written
    notRenamed // the new file could not be renamed over the old one
};

// Creates a file for new content beside its target: the name stem + suffix
// when it is free, else stem + ".<pid>.<n>" + suffix. Returns the
// descriptor (opened write-only, created with mode before the umask) and
// its name, or -1.
int createTempFile(const std::string& stem, const std::string& suffix,
                   std::string& name, mode_t mode);

// Writes content into a new file made by createTempFile, flushes it to
// storage and renames it over path. The new file keeps the permissions and
// the owner of the file it replaces (the owner only where the caller may
// give it away); a new path gets 0666 less the umask. written, failed
// (nothing changed) or notRenamed (the new file is removed again).
Rewrite replaceFile(const char* path, const std::string& stem,
                    const std::string& suffix, std::string_view content);

// Read-modify-write of a whole file, safe against other rewriters that use
// this function: they take turns on an exclusive lock of the file they are
// about to replace, and each one edits the content that the previous one
// left. edit gets the current content (empty when the file is missing,
// then `missing` is true) and returns whether to write it back; the new
// content goes through replaceFile with the stem and suffix. A file that
// exists but cannot be read is failed. With create, a missing file is
// created empty first so that creators take turns too.
Rewrite rewriteFile(const char* path, const std::string& stem,
                    const std::string& suffix, bool create,
                    const std::function<bool(std::string&, bool)>& edit);

// The C functions' result of a rewrite: 0 when written or unchanged,
// -ENOENT (-2) when the new file could not be renamed into place, -1 for
// every other failure.
int rewriteResult(Rewrite result);

// The current time in whole seconds as the "%u" of temporary names.
unsigned currentSeconds();

// The temporary name of a rewrite of path: the path, "_" and the seconds.
std::string secondsStem(const char* path);

// Creates path empty and readable by its owner alone when nothing is
// there, for files that will hold secrets. False when it is missing and
// cannot be created.
bool createPrivateFile(const char* path);

} // namespace kn
