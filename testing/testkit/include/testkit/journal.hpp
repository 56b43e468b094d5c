#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testkit
{

// One journal entry: field name to value. A field sent more than once keeps
// its last value. "_PID" is added from the sender's credentials.
using JournalEntry = std::map<std::string, std::string>;

// Receives what sd_journal_* calls of this process and its children send:
// binds /run/systemd/journal/socket inside the sandbox (needs
// SandboxOptions::journal) and reads the native protocol, including entries
// passed as a memfd, on a thread of its own so senders never block. One at a
// time per process. Throws std::runtime_error outside a journal sandbox.
class JournalCapture
{
  public:
    JournalCapture();
    ~JournalCapture();

    JournalCapture(const JournalCapture&) = delete;
    JournalCapture& operator=(const JournalCapture&) = delete;

    // Returns and forgets what has arrived so far.
    std::vector<JournalEntry> entries();

    // Waits for an entry that matches among those not yet taken by
    // entries() or clear() (it stays there).
    std::optional<JournalEntry>
        waitFor(const std::function<bool(const JournalEntry&)>& match,
                std::chrono::milliseconds deadline = std::chrono::seconds(10));

    void clear();

    // Parses one datagram of the native protocol; nullopt when malformed.
    static std::optional<JournalEntry> parse(const std::string& datagram);

  private:
    void readLoop();
    void receiveOne();

    int sock = -1;
    int stopFd = -1;
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<JournalEntry> received;
    std::thread reader;
};

} // namespace testkit
