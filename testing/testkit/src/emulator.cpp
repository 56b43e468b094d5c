#include "testkit/emulator.hpp"

#include "find_program.hpp"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>

namespace testkit
{

namespace
{

// What the loader checks: word size, byte order and machine.
struct Target
{
    unsigned char wordSize;
    unsigned char byteOrder;
    uint16_t machine;

    bool operator==(const Target&) const = default;
};

std::optional<Target> targetOf(const char* path)
{
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return std::nullopt;
    }
    // e_machine sits at the same offset in 32- and 64-bit headers.
    unsigned char header[EI_NIDENT + 4];
    ssize_t got = ::pread(fd, header, sizeof(header), 0);
    ::close(fd);
    if (got != static_cast<ssize_t>(sizeof(header)) ||
        std::memcmp(header, ELFMAG, SELFMAG) != 0)
    {
        return std::nullopt;
    }
    uint16_t machine = 0;
    std::memcpy(&machine, header + EI_NIDENT + 2, sizeof(machine));
    if (header[EI_DATA] == ELFDATA2MSB)
    {
        machine = static_cast<uint16_t>((machine >> 8) | (machine << 8));
    }
    return Target{header[EI_CLASS], header[EI_DATA], machine};
}

std::vector<std::string> wrapper()
{
    std::vector<std::string> words;
    const char* text = std::getenv("MESON_EXE_WRAPPER");
    std::istringstream in(text != nullptr ? text : "");
    for (std::string word; in >> word;)
    {
        words.push_back(word);
    }
    return words;
}

std::string quoted(const std::string& word)
{
    std::string out = "'";
    for (char c : word)
    {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

} // namespace

bool emulated()
{
    return !wrapper().empty();
}

bool builtForThisMachine(const std::string& path)
{
    // The emulator shows the emulated program as /proc/self/exe.
    static const std::optional<Target> own = targetOf("/proc/self/exe");
    return own && targetOf(path.c_str()) == own;
}

HostCommand hostCommand(const std::string& program,
                        const std::vector<std::string>& argv)
{
    std::vector<std::string> command = wrapper();
    if (command.empty() || !builtForThisMachine(program))
    {
        return {program, argv};
    }
    const char* path = std::getenv("PATH");
    std::string emulator =
        findProgram(command.front(), path != nullptr ? path : "/usr/bin:/bin");
    if (!argv.empty() && argv.front() != program)
    {
        command.insert(command.end(), {"-0", argv.front()});
    }
    command.push_back(program);
    if (!argv.empty())
    {
        command.insert(command.end(), argv.begin() + 1, argv.end());
    }
    return {emulator, command};
}

std::string hostShellCommand(const std::vector<std::string>& argv)
{
    std::string line;
    for (const auto& word :
         hostCommand(argv.empty() ? "" : argv.front(), argv).argv)
    {
        line += (line.empty() ? "" : " ") + quoted(word);
    }
    return line;
}

} // namespace testkit
