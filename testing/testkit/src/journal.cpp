#include "testkit/journal.hpp"

#include "testkit/sandbox.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

namespace testkit
{

namespace
{

constexpr const char* socketPath = "/run/systemd/journal/socket";

[[noreturn]] void fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

std::string readWhole(int fd)
{
    std::string data;
    struct stat st
    {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0)
    {
        return data;
    }
    data.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < data.size())
    {
        ssize_t n = pread(fd, data.data() + done, data.size() - done,
                          static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            break;
        }
        done += static_cast<size_t>(n);
    }
    data.resize(done);
    return data;
}

} // namespace

JournalCapture::JournalCapture()
{
    if (!journalSandboxed())
    {
        throw std::runtime_error(
            "JournalCapture needs a sandbox entered with journal = true" +
            (sandboxRefusal().empty()
                 ? std::string()
                 : " (refused: " + sandboxRefusal() + ")"));
    }
    sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock < 0)
    {
        fail("journal socket");
    }
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_PASSCRED, &one, sizeof(one));
    int size = 8 * 1024 * 1024;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
    {
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    unlink(socketPath);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath, sizeof(addr.sun_path) - 1);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        int err = errno;
        close(sock);
        errno = err;
        fail(std::string("bind ") + socketPath);
    }
    chmod(socketPath, 0666);
    stopFd = eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0)
    {
        int err = errno;
        close(sock);
        unlink(socketPath);
        errno = err;
        fail("eventfd");
    }
    reader = std::thread([this] { readLoop(); });
}

JournalCapture::~JournalCapture()
{
    uint64_t one = 1;
    if (write(stopFd, &one, sizeof(one)) < 0)
    {
        // the reader also ends when the descriptors go away
    }
    reader.join();
    unlink(socketPath);
    close(sock);
    close(stopFd);
}

void JournalCapture::readLoop()
{
    while (true)
    {
        pollfd fds[2] = {{sock, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            return;
        }
        if ((fds[0].revents & POLLIN) != 0)
        {
            receiveOne();
        }
        else if ((fds[1].revents & POLLIN) != 0)
        {
            return;
        }
    }
}

void JournalCapture::receiveOne()
{
    // Learn the size first; the peek carries no control buffer, so no
    // descriptor is installed by it.
    char probe = 0;
    ssize_t size = recv(sock, &probe, 1, MSG_PEEK | MSG_TRUNC);
    if (size < 0)
    {
        return;
    }
    std::string data(static_cast<size_t>(size), '\0');
    iovec iov{data.data(), data.size()};
    alignas(cmsghdr) char
        control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int) * 16)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0)
    {
        return;
    }
    data.resize(static_cast<size_t>(n));
    std::optional<pid_t> sender;
    std::vector<int> fds;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr;
         c = CMSG_NXTHDR(&msg, c))
    {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS)
        {
            ucred cred{};
            std::memcpy(&cred, CMSG_DATA(c), sizeof(cred));
            sender = cred.pid;
        }
        else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
        {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i)
            {
                int fd = -1;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(fd));
                fds.push_back(fd);
            }
        }
    }
    // Large entries come as a sealed memfd with an empty datagram.
    if (!fds.empty())
    {
        if (data.empty())
        {
            data = readWhole(fds.front());
        }
        for (int fd : fds)
        {
            close(fd);
        }
    }
    std::optional<JournalEntry> entry = parse(data);
    if (!entry)
    {
        return;
    }
    if (sender)
    {
        (*entry)["_PID"] = std::to_string(*sender);
    }
    std::lock_guard<std::mutex> guard(lock);
    received.push_back(std::move(*entry));
    arrived.notify_all();
}

std::optional<JournalEntry> JournalCapture::parse(const std::string& datagram)
{
    JournalEntry entry;
    size_t pos = 0;
    while (pos < datagram.size())
    {
        size_t nl = datagram.find('\n', pos);
        if (nl == std::string::npos)
        {
            nl = datagram.size(); // a last line without its newline
        }
        size_t eq = std::string_view(datagram).substr(pos, nl - pos).find('=');
        if (eq != std::string_view::npos)
        {
            eq += pos;
            if (eq == pos)
            {
                return std::nullopt;
            }
            entry[datagram.substr(pos, eq - pos)] =
                datagram.substr(eq + 1, nl - eq - 1);
            pos = nl + 1;
            continue;
        }
        if (nl == pos)
        {
            ++pos; // an empty line between fields
            continue;
        }
        // NAME, newline, 64-bit little-endian length, the bytes, newline.
        std::string name = datagram.substr(pos, nl - pos);
        size_t at = nl + 1;
        if (at + 8 > datagram.size())
        {
            return std::nullopt;
        }
        uint64_t length = 0;
        for (int i = 7; i >= 0; --i)
        {
            length =
                (length << 8) | static_cast<unsigned char>(datagram[at + i]);
        }
        at += 8;
        if (length > datagram.size() - at)
        {
            return std::nullopt;
        }
        entry[name] = datagram.substr(at, length);
        pos = at + length;
        if (pos < datagram.size())
        {
            if (datagram[pos] != '\n')
            {
                return std::nullopt;
            }
            ++pos;
        }
    }
    if (entry.empty())
    {
        return std::nullopt;
    }
    return entry;
}

std::vector<JournalEntry> JournalCapture::entries()
{
    std::lock_guard<std::mutex> guard(lock);
    return std::exchange(received, {});
}

std::optional<JournalEntry> JournalCapture::waitFor(
    const std::function<bool(const JournalEntry&)>& match,
    std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> guard(lock);
    std::optional<JournalEntry> found;
    arrived.wait_for(guard, deadline, [&] {
        auto it = std::find_if(received.begin(), received.end(), match);
        if (it != received.end())
        {
            found = *it;
        }
        return found.has_value();
    });
    return found;
}

void JournalCapture::clear()
{
    std::lock_guard<std::mutex> guard(lock);
    received.clear();
}

} // namespace testkit
