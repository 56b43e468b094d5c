#include "file_util.hpp"

#include "files/regular_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace bmcmon
{

namespace
{

std::string folderOf(const std::string& path)
{
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
    {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool writeFileAtomically(const std::string& path, const std::string& data)
{
    if (path.empty())
    {
        // Its temporary file would land in the working directory.
        return false;
    }
    const std::string tmp = path + ".tmp";
    int fd = files::openRegular(tmp.c_str(),
                                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW);
    if (fd < 0)
    {
        return false;
    }
    bool ok = files::writeAll(fd, data) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0)
    {
        ::unlink(tmp.c_str());
        return false;
    }
    // The rename itself reaches the storage with the folder.
    int dir =
        ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0)
    {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool FileStamp::operator==(const FileStamp& other) const
{
    auto same = [](const timespec& a, const timespec& b) {
        return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return device == other.device && inode == other.inode &&
           size == other.size && same(modified, other.modified) &&
           same(changed, other.changed);
}

std::optional<FileStamp> stampOf(const std::string& path)
{
    struct stat st
    {};
    if (::stat(path.c_str(), &st) != 0)
    {
        return std::nullopt;
    }
    return FileStamp{.device = st.st_dev,
                     .inode = st.st_ino,
                     .size = st.st_size,
                     .modified = st.st_mtim,
                     .changed = st.st_ctim};
}

} // namespace bmcmon
