#include "testkit/stubs.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace testkit
{

namespace
{

namespace fs = std::filesystem;

std::string shellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
    {
        out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Writes through a temporary file and a rename, so that a stub running at
// the same time never sees half a file.
void writeFile(const fs::path& file, const std::string& text,
               fs::perms mode = fs::perms::owner_read | fs::perms::owner_write)
{
    fs::path tmp = file;
    tmp += ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush())
        {
            throw std::runtime_error("cannot write " + tmp.string());
        }
    }
    fs::permissions(tmp, mode);
    fs::rename(tmp, file);
}

// The stubs number their calls under this lock; holding it gives a
// consistent view of the recorded calls.
class CallsLock
{
  public:
    explicit CallsLock(const fs::path& file) :
        fd(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600))
    {
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
        {
            throw std::system_error(errno, std::generic_category(),
                                    "lock " + file.string());
        }
    }
    ~CallsLock()
    {
        close(fd);
    }
    CallsLock(const CallsLock&) = delete;
    CallsLock& operator=(const CallsLock&) = delete;

  private:
    int fd;
};

} // namespace

CommandStubs::CommandStubs() : dir("testkit-stubs")
{
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "calls");
    fs::create_directories(dir / "state");
    // Daemons may run stubs as another user.
    for (const char* sub : {"", "bin"})
    {
        fs::permissions(dir.path() / sub,
                        fs::perms::owner_all | fs::perms::group_read |
                            fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);
    }
}

void CommandStubs::checkName(const std::string& name) const
{
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos)
    {
        throw std::invalid_argument("invalid stub name \"" + name + "\"");
    }
}

void CommandStubs::add(const std::string& name, int exitStatus)
{
    checkName(name);
    fs::create_directories(dir / "calls" / name);
    setStatus(name, exitStatus);
    std::error_code ec;
    fs::remove(dir / "state" / (name + ".out"), ec);

    const std::string d = shellQuote(dir.path().string());
    const std::string n = shellQuote(name);
    // Recorded as argv[1..], each argument followed by a NUL, in a file
    // named by a call counter kept under a lock.
    std::string script = "#!/bin/sh\n"
                         "# recording stand-in made by the test kit\n"
                         "d=" +
                         d +
                         "\n"
                         "n=" +
                         n +
                         "\n"
                         "exec 9>>\"$d/calls/.lock\"\n"
                         "/usr/bin/flock 9\n"
                         "c=0\n"
                         "[ -f \"$d/calls/.counter\" ] && "
                         "read c < \"$d/calls/.counter\"\n"
                         "c=$((c + 1))\n"
                         "echo \"$c\" > \"$d/calls/.counter\"\n"
                         "f=$(printf '%s/calls/%s/%010d' \"$d\" \"$n\" "
                         "\"$c\")\n"
                         ": > \"$f\"\n"
                         "for a in \"$@\"; do printf '%s\\0' \"$a\" >> "
                         "\"$f\"; done\n"
                         "exec 9>&-\n"
                         "if [ -f \"$d/state/$n.out\" ]; then "
                         "/usr/bin/cat \"$d/state/$n.out\"; fi\n"
                         "read s < \"$d/state/$n.status\"\n"
                         "exit \"$s\"\n";
    writeFile(dir / "bin" / name, script,
              fs::perms::owner_all | fs::perms::group_read |
                  fs::perms::group_exec | fs::perms::others_read |
                  fs::perms::others_exec);
}

void CommandStubs::setStatus(const std::string& name, int exitStatus)
{
    checkName(name);
    if (exitStatus < 0 || exitStatus > 255)
    {
        throw std::invalid_argument("exit status out of range");
    }
    writeFile(dir / "state" / (name + ".status"),
              std::to_string(exitStatus) + "\n",
              fs::perms::owner_read | fs::perms::owner_write |
                  fs::perms::others_read | fs::perms::group_read);
}

void CommandStubs::setOutput(const std::string& name, const std::string& text)
{
    checkName(name);
    writeFile(dir / "state" / (name + ".out"), text,
              fs::perms::owner_read | fs::perms::owner_write |
                  fs::perms::others_read | fs::perms::group_read);
}

std::vector<std::vector<std::string>>
    CommandStubs::calls(const std::string& name) const
{
    checkName(name);
    CallsLock held(dir / "calls" / ".lock");
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir / "calls" / name, ec))
    {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::vector<std::string>> result;
    for (const auto& file : files)
    {
        std::ifstream in(file, std::ios::binary);
        std::string data{std::istreambuf_iterator<char>(in),
                         std::istreambuf_iterator<char>()};
        std::vector<std::string> args;
        size_t start = 0;
        for (size_t end; (end = data.find('\0', start)) != std::string::npos;
             start = end + 1)
        {
            args.push_back(data.substr(start, end - start));
        }
        result.push_back(std::move(args));
    }
    return result;
}

void CommandStubs::clear()
{
    CallsLock held(dir / "calls" / ".lock");
    for (const auto& stub : fs::directory_iterator(dir / "calls"))
    {
        if (stub.is_directory())
        {
            for (const auto& call : fs::directory_iterator(stub.path()))
            {
                fs::remove(call.path());
            }
        }
    }
}

std::string CommandStubs::path() const
{
    return (dir / "bin").string();
}

} // namespace testkit
