#pragma once

#include <string>
#include <vector>

namespace testkit
{

struct SandboxOptions
{
    // Existing folders made privately writable with overlayfs: reads see the
    // host's content, writes land in a private tmpfs; the host is untouched.
    // Mounts below such a folder stay visible. E.g. "/var", "/run".
    std::vector<std::string> overlays = {};
    // Folders created (with parents) once the overlays are in place; each
    // must lie inside one of the overlays.
    std::vector<std::string> mkdirs = {};
    // Private System V IPC and a private tmpfs on /dev/shm (POSIX
    // semaphores and shared memory).
    bool ipc = false;
    // Prepares /run/systemd/journal for a JournalCapture; overlays "/run"
    // when no overlay covers it yet.
    bool journal = false;
};

// Enters a private mount (and IPC) namespace for this process and its future
// children. Must be called before any thread starts (first thing in main).
// Returns "" on success or why it was refused; never aborts. A second call
// is refused.
std::string enterSandbox(const SandboxOptions& options);

// Whether enterSandbox succeeded.
bool sandboxed();

// Why enterSandbox was refused ("" when it succeeded or was never called).
// In a test that needs the sandbox:
//   if (!testkit::sandboxed()) GTEST_SKIP() << testkit::sandboxRefusal();
const std::string& sandboxRefusal();

// Whether the sandbox was entered with SandboxOptions::journal.
bool journalSandboxed();

} // namespace testkit
