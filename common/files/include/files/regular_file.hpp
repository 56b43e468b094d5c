#pragma once

#include <sys/types.h>

#include <string>

namespace files
{

/** open(2) of a fixed path that must be a regular file: opened without
 *  blocking (a FIFO or a device never holds the caller) and refused, with
 *  errno EINVAL, when it is anything else. `flags` may add O_NOFOLLOW (a
 *  symbolic link is then refused too) and O_CREAT; O_TRUNC is applied only
 *  once the file is known to be regular. The descriptor is close-on-exec
 *  and blocking again. -1 on failure, errno telling why. */
int openRegular(const char* path, int flags, mode_t mode = 0644);

/** The whole content of the regular file at `path` into `out`; false (and
 *  `out` untouched) when it cannot be opened or read, or is not a regular
 *  file. `flags` as for openRegular (O_NOFOLLOW, say). */
bool readRegular(const char* path, std::string& out, int flags = 0);

/** All of `data` written to `fd`, across short writes and EINTR; false on
 *  any other failure (errno telling why). */
bool writeAll(int fd, const std::string& data);

} // namespace files
