#include "testkit/sandbox.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testkit
{

namespace
{

namespace fs = std::filesystem;

bool attempted = false;
bool entered = false;
bool journalReady = false;
std::string refusal;

std::string failure(const std::string& what, int err)
{
    return what + ": " + std::strerror(err);
}

bool inside(const std::string& path, const std::string& dir)
{
    if (dir == "/")
    {
        return true;
    }
    return path == dir ||
           (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
            path[dir.size()] == '/');
}

bool coveredBy(const std::string& path, const std::vector<std::string>& dirs)
{
    return std::any_of(dirs.begin(), dirs.end(),
                       [&](const std::string& d) { return inside(path, d); });
}

// Mount points in /proc/self/mountinfo are octal-escaped (\040 for space).
std::string unescape(const std::string& text)
{
    auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) &&
            octal(text[i + 2]) && octal(text[i + 3]))
        {
            out += static_cast<char>((text[i + 1] - '0') * 64 +
                                     (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        }
        else
        {
            out += text[i];
        }
    }
    return out;
}

// The outermost mounts strictly below dir, which an overlay on dir would
// hide.
std::vector<std::string> submountsOf(const std::string& dir,
                                     const std::string& skip)
{
    std::vector<std::string> points;
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    while (std::getline(info, line))
    {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        point = unescape(point);
        if (point != dir && inside(point, dir) && !inside(point, skip))
        {
            points.push_back(point);
        }
    }
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    std::vector<std::string> outer;
    for (const auto& p : points)
    {
        if (!coveredBy(p, outer))
        {
            outer.push_back(p);
        }
    }
    return outer;
}

int threadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("Threads:", 0) == 0)
        {
            return std::atoi(line.c_str() + 8);
        }
    }
    return 1;
}

// The threads the process starts with: one, or two under qemu-user, whose
// own helper thread runs beside the emulated program from the start.
// Counted before main and the constructors of the program's objects.
int threadsAtStart = 1;
__attribute__((constructor(101))) void countThreadsAtStart()
{
    threadsAtStart = threadCount();
}

// Checks and normalises the options before anything is changed.
std::string validate(SandboxOptions& opts)
{
    if (threadCount() != threadsAtStart)
    {
        return "threads are already running; the sandbox must be entered "
               "first thing in main";
    }
    for (auto& dir : opts.overlays)
    {
        std::error_code ec;
        if (dir.empty() || dir.front() != '/')
        {
            return "overlay \"" + dir + "\" is not an absolute path";
        }
        fs::path real = fs::canonical(dir, ec);
        if (ec || !fs::is_directory(real))
        {
            return "overlay \"" + dir + "\" is not an existing folder";
        }
        dir = real.string();
        if (dir == "/")
        {
            return "the root folder cannot be overlayed";
        }
        if (dir.find_first_of(",:") != std::string::npos)
        {
            return "overlay \"" + dir + "\" contains ',' or ':'";
        }
    }
    if (opts.journal && !coveredBy("/run/systemd/journal", opts.overlays))
    {
        opts.overlays.emplace_back("/run");
    }
    std::vector<std::string> writable = opts.overlays;
    if (opts.ipc)
    {
        writable.emplace_back("/dev/shm");
    }
    for (auto& dir : opts.mkdirs)
    {
        std::error_code ec;
        fs::path real = fs::weakly_canonical(dir, ec);
        if (dir.empty() || dir.front() != '/' || ec)
        {
            return "folder \"" + dir + "\" is not an absolute path";
        }
        dir = real.string();
        if (!coveredBy(dir, writable))
        {
            return "folder \"" + dir + "\" is not inside an overlay";
        }
    }
    return "";
}

// Where the overlays keep their writes: a tmpfs on a fresh folder, reached
// through a descriptor so that a later overlay hiding the folder (an overlay
// of /tmp, say) does not matter. The folder itself is removed again once the
// tmpfs is detached; the overlays keep their own reference to it.
class Scratch
{
  public:
    std::string open()
    {
        const char* env = std::getenv("TMPDIR");
        std::string base = (env != nullptr && *env != '\0') ? env : "/tmp";
        parentFd = ::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (parentFd < 0)
        {
            return failure("open " + base, errno);
        }
        std::string pattern = base + "/testkit-sandbox-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
        {
            return failure("mkdtemp " + pattern, errno);
        }
        name = fs::path(pattern).filename();
        where = pattern;
        if (mount("tmpfs", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                  "mode=0755") != 0)
        {
            return failure("mount tmpfs on " + where, errno);
        }
        mounted = true;
        fd = ::open(where.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
        {
            return failure("open " + where, errno);
        }
        return "";
    }

    // A path to an entry of the tmpfs that works while the folder is hidden.
    std::string at(const std::string& entry) const
    {
        return "/proc/self/fd/" + std::to_string(fd) + "/" + entry;
    }

    const std::string& path() const
    {
        return where;
    }

    ~Scratch()
    {
        if (mounted)
        {
            umount2(("/proc/self/fd/" + std::to_string(fd)).c_str(),
                    MNT_DETACH);
        }
        if (fd >= 0)
        {
            close(fd);
        }
        if (parentFd >= 0)
        {
            if (!name.empty())
            {
                unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
            }
            close(parentFd);
        }
    }

  private:
    int parentFd = -1;
    int fd = -1;
    bool mounted = false;
    std::string name;
    std::string where;
};

std::string overlay(Scratch& scratch, const std::string& dir, size_t index)
{
    const std::string tag = std::to_string(index);
    // Keep what is mounted below dir: bind it aside, put it back on top.
    std::vector<std::pair<std::string, std::string>> kept;
    size_t n = 0;
    for (const auto& sub : submountsOf(dir, scratch.path()))
    {
        struct stat st
        {};
        if (stat(sub.c_str(), &st) != 0)
        {
            continue; // a mount point we cannot reach is not ours to keep
        }
        std::string stage =
            scratch.at("keep-" + tag + "-" + std::to_string(n++));
        if (S_ISDIR(st.st_mode) ? mkdir(stage.c_str(), 0700) != 0
                                : mknod(stage.c_str(), S_IFREG | 0600, 0) != 0)
        {
            return failure("create " + stage, errno);
        }
        if (mount(sub.c_str(), stage.c_str(), nullptr, MS_BIND | MS_REC,
                  nullptr) != 0)
        {
            return failure("bind " + sub, errno);
        }
        kept.emplace_back(stage, sub);
    }

    struct stat st
    {};
    if (stat(dir.c_str(), &st) != 0)
    {
        return failure("stat " + dir, errno);
    }
    const std::string upper = scratch.at("upper-" + tag);
    const std::string work = scratch.at("work-" + tag);
    // The overlay's root takes the upper folder's owner and mode.
    if (mkdir(upper.c_str(), 0700) != 0 || mkdir(work.c_str(), 0700) != 0 ||
        chown(upper.c_str(), st.st_uid, st.st_gid) != 0 ||
        chmod(upper.c_str(), st.st_mode & 07777) != 0)
    {
        return failure("prepare the overlay of " + dir, errno);
    }
    const std::string data =
        "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
    if (mount("overlay", dir.c_str(), "overlay", 0, data.c_str()) != 0)
    {
        return failure("mount overlay on " + dir, errno);
    }
    for (const auto& [stage, sub] : kept)
    {
        if (mount(stage.c_str(), sub.c_str(), nullptr, MS_MOVE, nullptr) != 0)
        {
            return failure("put back the mount on " + sub, errno);
        }
    }
    return "";
}

std::string enter(SandboxOptions opts)
{
    if (std::string why = validate(opts); !why.empty())
    {
        return why;
    }
    if (unshare(CLONE_NEWNS | (opts.ipc ? CLONE_NEWIPC : 0)) != 0)
    {
        return failure("unshare", errno) +
               (errno == EPERM ? " (needs CAP_SYS_ADMIN)" : "");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    {
        return failure("make / private", errno);
    }
    if (!opts.overlays.empty())
    {
        Scratch scratch;
        if (std::string why = scratch.open(); !why.empty())
        {
            return why;
        }
        for (size_t i = 0; i < opts.overlays.size(); ++i)
        {
            if (std::string why = overlay(scratch, opts.overlays[i], i);
                !why.empty())
            {
                return why;
            }
        }
    }
    if (opts.ipc && mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV,
                          "mode=1777") != 0)
    {
        return failure("mount tmpfs on /dev/shm", errno);
    }
    if (opts.journal)
    {
        opts.mkdirs.emplace_back("/run/systemd/journal");
    }
    for (const auto& dir : opts.mkdirs)
    {
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec)
        {
            return "create " + dir + ": " + ec.message();
        }
    }
    journalReady = opts.journal;
    return "";
}

} // namespace

std::string enterSandbox(const SandboxOptions& options)
{
    if (attempted)
    {
        return "the sandbox can be entered only once";
    }
    attempted = true;
    refusal = enter(options);
    entered = refusal.empty();
    if (!entered)
    {
        journalReady = false;
    }
    return refusal;
}

bool sandboxed()
{
    return entered;
}

const std::string& sandboxRefusal()
{
    return refusal;
}

bool journalSandboxed()
{
    return journalReady;
}

} // namespace testkit
