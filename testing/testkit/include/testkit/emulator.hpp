#pragma once

#include <string>
#include <vector>

namespace testkit
{

// In a cross build the tests, and the project's programs they start, are
// built for another machine and run under an emulator. meson test names it
// in MESON_EXE_WRAPPER, words separated by spaces (qemu-user, which takes
// "-0 NAME" for the name the program sees). Without it every command runs
// as it is.

// Whether this test runs under the emulator. For the few checks of
// requests that the emulator cannot pass to the kernel.
bool emulated();

// Whether the program or library at path is built for the test's own
// machine (and so for the loader of the programs it starts).
bool builtForThisMachine(const std::string& path);

struct HostCommand
{
    std::string program; // the file to execute
    std::vector<std::string> argv;
};

// What runs argv on this machine, program being the file to execute and
// argv[0] the name the program sees. A program built for the test's own
// machine gets the emulator (looked up on PATH) in front; anything else (the
// system's tools, scripts) is left as it is.
HostCommand hostCommand(const std::string& program,
                        const std::vector<std::string>& argv);

// The same, argv[0] being the program, as one line for the shell.
std::string hostShellCommand(const std::vector<std::string>& argv);

} // namespace testkit
