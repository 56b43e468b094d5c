#include "core/file_io.hpp"

#include "core/descriptor.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kn
{

bool writeAll(int fd, const void* data, size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        ssize_t written = ::write(fd, bytes, size);
        if (written < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return false;
        }
        if (written == 0)
        {
            errno = EIO;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool withoutSigpipe(const std::function<bool()>& write)
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t old;
    if (::pthread_sigmask(SIG_BLOCK, &pipeSignal, &old) != 0)
    {
        return write();
    }
    // A SIGPIPE that was already waiting is somebody else's.
    sigset_t pending;
    bool waiting =
        ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    bool ok = write();
    int error = errno;
    if (!ok && error == EPIPE && !waiting)
    {
        // Take the signal that this write raised before unblocking.
        const struct timespec none
        {};
        while (::sigtimedwait(&pipeSignal, nullptr, &none) < 0 &&
               errno == EINTR)
        {}
    }
    if (sigismember(&old, SIGPIPE) == 0)
    {
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    errno = error;
    return ok;
}

bool writeAllNoSigpipe(int fd, const void* data, size_t size)
{
    return withoutSigpipe([&] { return writeAll(fd, data, size); });
}

bool closeFd(int fd)
{
    return ::close(fd) == 0 || errno == EINTR;
}

int writeFileBytes(const char* path, int flags, const void* data, size_t size)
{
    Descriptor fd(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0666));
    if (!fd.isOpen())
    {
        return -2;
    }
    bool ok = writeAll(fd.get(), data, size);
    ok = fd.close() && ok;
    return ok ? static_cast<int>(size) : -1;
}

size_t copyText(char* buffer, size_t size, std::string_view text)
{
    size_t length = text.size() < size - 1 ? text.size() : size - 1;
    if (length > 0)
    {
        std::memcpy(buffer, text.data(), length);
    }
    buffer[length] = '\0';
    return length;
}

bool pathExists(const char* path)
{
    struct stat st
    {};
    return path != nullptr && ::stat(path, &st) == 0;
}

bool readAllFd(int fd, std::string& text)
{
    text.clear();
    char chunk[4096];
    for (;;)
    {
        ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            return false;
        }
        if (got == 0)
        {
            return true;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
}

bool readFile(const char* path, std::string& text)
{
    Descriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.isOpen())
    {
        return false;
    }
    bool read = readAllFd(fd.get(), text);
    return fd.close() && read;
}

int createTempFile(const std::string& stem, const std::string& suffix,
                   std::string& name, mode_t mode)
{
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    name = stem + suffix;
    int fd = ::open(name.c_str(), flags, mode);
    if (fd >= 0 || errno != EEXIST)
    {
        return fd;
    }
    // Another writer (or one that died) holds the plain name.
    static std::atomic<unsigned> counter{0};
    for (int i = 0; i < 1000; ++i)
    {
        name.assign(stem).append(".").append(std::to_string(::getpid()));
        name.append(".").append(std::to_string(counter.fetch_add(1)));
        name.append(suffix);
        fd = ::open(name.c_str(), flags, mode);
        if (fd >= 0 || errno != EEXIST)
        {
            return fd;
        }
    }
    return -1;
}

namespace
{

// Gives the new file the owner and the permissions of the one it replaces.
// Without root a file of another owner cannot be given away: it then
// belongs to the caller, with the old permissions.
bool takeOver(int fd, const struct stat& old)
{
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
    {
        return false;
    }
    // After the owner: a change of owner clears the set-id bits.
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

} // namespace

Rewrite replaceFile(const char* path, const std::string& stem,
                    const std::string& suffix, std::string_view content)
{
    // The new file is private until it has the old one's permissions, so
    // that the content of a file readable by its owner alone is never
    // readable by others. A new file gets 0666 less the umask.
    struct stat old
    {};
    bool replacing = ::stat(path, &old) == 0;
    std::string name;
    Descriptor fd(createTempFile(stem, suffix, name, replacing ? 0600 : 0666));
    if (!fd.isOpen())
    {
        return Rewrite::failed;
    }
    bool ok = (!replacing || takeOver(fd.get(), old)) &&
              writeAll(fd.get(), content.data(), content.size()) &&
              ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (!ok)
    {
        ::unlink(name.c_str());
        return Rewrite::failed;
    }
    if (::rename(name.c_str(), path) != 0)
    {
        ::unlink(name.c_str());
        return Rewrite::notRenamed;
    }
    return Rewrite::written;
}

Rewrite rewriteFile(const char* path, const std::string& stem,
                    const std::string& suffix, bool create,
                    const std::function<bool(std::string&, bool)>& edit)
{
    // Each pass locks the file that the path names; when another rewriter
    // replaced it while this one waited, the lock is taken again on the
    // new file.
    for (int pass = 0; pass < 1000; ++pass)
    {
        Descriptor fd(
            ::open(path, O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0), 0666));
        bool missing = false;
        if (!fd.isOpen())
        {
            if (errno != ENOENT || create)
            {
                return Rewrite::failed;
            }
            missing = true;
        }
        else
        {
            int locked = 0;
            do
            {
                locked = ::flock(fd.get(), LOCK_EX);
            } while (locked != 0 && errno == EINTR);
            struct stat held
            {};
            struct stat named
            {};
            if (locked != 0 || ::fstat(fd.get(), &held) != 0)
            {
                return Rewrite::failed;
            }
            if (::stat(path, &named) != 0 || held.st_ino != named.st_ino ||
                held.st_dev != named.st_dev)
            {
                continue;
            }
        }

        std::string content;
        if (fd.isOpen() && !readAllFd(fd.get(), content))
        {
            return Rewrite::failed;
        }
        // The lock goes with the descriptor, also when edit throws.
        if (!edit(content, missing))
        {
            return Rewrite::unchanged;
        }
        return replaceFile(path, stem, suffix, content);
    }
    return Rewrite::failed;
}

int rewriteResult(Rewrite result)
{
    switch (result)
    {
        case Rewrite::written:
        case Rewrite::unchanged:
            return 0;
        case Rewrite::notRenamed:
            return -ENOENT;
        case Rewrite::failed:
            break;
    }
    return -1;
}

unsigned currentSeconds()
{
    return static_cast<unsigned>(std::time(nullptr));
}

std::string secondsStem(const char* path)
{
    return std::string(path) + "_" + std::to_string(currentSeconds());
}

bool createPrivateFile(const char* path)
{
    Descriptor fd(::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.isOpen())
    {
        return errno == EEXIST;
    }
    return fd.close();
}

} // namespace kn
