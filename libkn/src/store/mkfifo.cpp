// Message queues over named FIFOs, the storage command FIFOs and a small
// linked list of byte buffers.
#include "libkn/mkfifo.h"

#include "libkn/lock.h"

#include "core/byte_order.hpp"
#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

static_assert(sizeof(storage_message) == KN_FIFO_BUFFER_SIZE);

namespace
{

using Clock = std::chrono::steady_clock;

constexpr mode_t queueMode = 0664;
constexpr int storageHeader = 5; // length byte and command

// Waits until fd has data or every writer is gone. 1 ready, 0 deadline
// passed, -1 failure; hangup tells that no writer is left.
int waitReadable(int fd, Clock::time_point deadline, bool& hangup)
{
    for (;;)
    {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 Clock::now());
        int wait =
            left.count() <= 0
                ? 0
                : static_cast<int>(std::min<int64_t>(left.count(), INT_MAX));
        struct pollfd entry
        {
            fd, POLLIN, 0
        };
        int ready = ::poll(&entry, 1, wait);
        if (ready < 0 && errno == EINTR)
        {
            continue;
        }
        if (ready < 0 || (entry.revents & POLLNVAL) != 0)
        {
            return -1;
        }
        if (ready == 0)
        {
            return 0;
        }
        hangup = (entry.revents & POLLHUP) != 0;
        return 1;
    }
}

// Readers of one FIFO take turns, so that no reader takes the length byte
// of a message whose body another one reads.
class ReaderTurn
{
  public:
    explicit ReaderTurn(int fd) : fd(fd)
    {
        int result = 0;
        do
        {
            result = ::flock(fd, LOCK_EX);
        } while (result != 0 && errno == EINTR);
        held = result == 0;
    }
    ~ReaderTurn()
    {
        if (held)
        {
            ::flock(fd, LOCK_UN);
        }
    }
    ReaderTurn(const ReaderTurn&) = delete;
    ReaderTurn& operator=(const ReaderTurn&) = delete;

  private:
    int fd;
    bool held = false;
};

// One message whose first byte is already there: length byte, then body.
int readOneMessage(int fd, uint8_t* buffer, int* length)
{
    int count = 0;
    get_from_q(buffer, 1, fd, &count);
    if (count != 1)
    {
        return -1;
    }
    int size = buffer[0];
    *length = size;
    if (size > 0)
    {
        get_from_q(buffer, size, fd, &count);
        if (count != size)
        {
            return -1;
        }
    }
    return 0;
}

bool isFifo(int fd)
{
    struct stat st
    {};
    return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

int sendStorage(const char* path, uint32_t command, const void* data,
                uint8_t length)
{
    if (length > KN_STORAGE_DATA_MAX || (data == nullptr && length > 0))
    {
        return -1;
    }
    // Without a receiver the message would vanish with the last descriptor:
    // a non-blocking open for writing fails then.
    kn::Descriptor fifo(::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fifo.isOpen())
    {
        return -1;
    }
    const int fd = fifo.get();
    int flags = ::fcntl(fd, F_GETFL);
    if (!isFifo(fd) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    {
        return -1;
    }
    uint8_t message[storageHeader + KN_STORAGE_DATA_MAX];
    message[0] = static_cast<uint8_t>(length + 4);
    kn::putLe32(message + 1, command);
    if (length > 0)
    {
        std::memcpy(message + storageHeader, data, length);
    }
    return writeMsg(fd, message, storageHeader + length);
}

// A receiving FIFO that the process keeps open between calls.
struct HeldFifo
{
    std::mutex lock;
    kn::Descriptor fd;
    dev_t device = 0;
    ino_t inode = 0;
};

HeldFifo storageCommands;
HeldFifo storageReplies;

// The held descriptor of path, opened anew when the path now names another
// FIFO; -1 when there is no FIFO there. Called with the lock held.
int heldDescriptor(HeldFifo& held, const char* path)
{
    struct stat named
    {};
    bool there = ::stat(path, &named) == 0 && S_ISFIFO(named.st_mode);
    if (held.fd.isOpen() &&
        (!there || named.st_dev != held.device || named.st_ino != held.inode))
    {
        held.fd.close();
    }
    if (!there || held.fd.isOpen())
    {
        return held.fd.get();
    }
    // Read-write: the open does not wait for a writer, and the FIFO never
    // reports an end while the process holds it.
    kn::Descriptor fd(::open(path, O_RDWR | O_CLOEXEC));
    struct stat opened
    {};
    if (!fd.isOpen() || ::fstat(fd.get(), &opened) != 0 ||
        !S_ISFIFO(opened.st_mode))
    {
        return -1;
    }
    held.fd = std::move(fd);
    held.device = opened.st_dev;
    held.inode = opened.st_ino;
    return held.fd.get();
}

int receiveStorage(HeldFifo& held, const char* path, storage_message* record)
{
    if (record == nullptr)
    {
        return -1;
    }
    std::memset(record, 0, sizeof(*record));
    std::lock_guard<std::mutex> guard(held.lock);
    int fd = heldDescriptor(held, path);
    if (fd < 0)
    {
        return -1;
    }
    uint8_t body[KN_FIFO_BUFFER_SIZE] = {};
    int size = 0;
    int result = readMsg(fd, body, &size, KN_STORAGE_TIMEOUT);
    if (result != 0)
    {
        return result;
    }
    if (size < 4)
    {
        return -1;
    }
    record->length = static_cast<uint8_t>(size - 4);
    record->command = kn::getLe32(body);
    std::memcpy(record->data, body + 4, static_cast<size_t>(size - 4));
    return 0;
}

kn_list_node* newNode(const void* data, uint32_t size)
{
    if (data == nullptr && size > 0)
    {
        return nullptr;
    }
    auto* node = static_cast<kn_list_node*>(std::malloc(sizeof(kn_list_node)));
    if (node == nullptr)
    {
        return nullptr;
    }
    void* copy = nullptr;
    if (size > 0)
    {
        copy = std::malloc(size);
        if (copy == nullptr)
        {
            std::free(node);
            return nullptr;
        }
        std::memcpy(copy, data, size);
    }
    node->data = copy;
    node->size = size;
    node->next = nullptr;
    return node;
}

} // namespace

int AddQueue(const char* path, int /*unused*/)
{
    if (path == nullptr)
    {
        return -1;
    }
    if (kn::pathExists(path))
    {
        return 0;
    }
    if (::mkfifo(path, queueMode) != 0)
    {
        return errno == EEXIST ? 0 : -1;
    }
    // The umask does not narrow the queue's permissions.
    ::chmod(path, queueMode);
    return 0;
}

int GetQueue(const char* path, int flags, uint32_t mode)
{
    if (path == nullptr)
    {
        return -1;
    }
    return ::open(path, flags, static_cast<mode_t>(mode));
}

int writeMsg(int fd, const void* buffer, int length)
{
    if (buffer == nullptr || length < 0)
    {
        return -1;
    }
    bool locked = file_lock_write(fd) == 0;
    // A reader that left, even between the sender's open and this write,
    // fails the send; it does not end the sending process.
    bool written =
        kn::writeAllNoSigpipe(fd, buffer, static_cast<size_t>(length));
    if (locked)
    {
        file_unlock(fd);
    }
    return written ? 0 : -1;
}

int readMsg(int fd, void* buffer, int* length, int timeout)
{
    if (buffer == nullptr || length == nullptr || timeout < 0)
    {
        return -1;
    }
    auto deadline = Clock::now() + std::chrono::seconds(timeout);
    for (;;)
    {
        bool hangup = false;
        int ready = waitReadable(fd, deadline, hangup);
        if (ready <= 0)
        {
            return ready == 0 ? -2 : -1;
        }
        ReaderTurn turn(fd);
        int available = 0;
        if (::ioctl(fd, FIONREAD, &available) == 0 && available == 0)
        {
            if (hangup)
            {
                return -1; // every writer is gone
            }
            continue; // another reader took the message
        }
        return readOneMessage(fd, static_cast<uint8_t*>(buffer), length);
    }
}

int get_from_q(void* buffer, int length, int fd, int* count)
{
    if (count == nullptr)
    {
        return -1;
    }
    if (buffer == nullptr && length > 0)
    {
        *count = -1;
        return 0;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    int done = 0;
    while (done < length)
    {
        ssize_t got =
            ::read(fd, bytes + done, static_cast<size_t>(length - done));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got < 0)
        {
            *count = -1;
            return 0;
        }
        if (got == 0)
        {
            break;
        }
        done += static_cast<int>(got);
    }
    *count = done;
    return 0;
}

int send_storage_func(uint32_t command, const void* data, uint8_t length)
{
    return sendStorage(KN_FIFO_STORAGE_W, command, data, length);
}

int recv_storage_func(storage_message* record, int /*unused*/, int /*mode*/)
{
    return receiveStorage(storageCommands, KN_FIFO_STORAGE_W, record);
}

int storage_send_redfish_func(uint32_t command, const void* data,
                              uint8_t length)
{
    return sendStorage(KN_FIFO_STORAGE_R, command, data, length);
}

int redfish_recv_storage_func(storage_message* record, int /*unused*/,
                              int /*mode*/)
{
    return receiveStorage(storageReplies, KN_FIFO_STORAGE_R, record);
}

kn_list_node* CreateList(int /*unused*/, const void* data, uint32_t size)
{
    return newNode(data, size);
}

kn_list_node* InsertLastList(kn_list_node* node, const void* data,
                             uint32_t size)
{
    if (node == nullptr)
    {
        return nullptr;
    }
    kn_list_node* added = newNode(data, size);
    if (added == nullptr)
    {
        return nullptr;
    }
    added->next = node->next;
    node->next = added;
    return added;
}

kn_list_node* GetHeadList(kn_list_node** list)
{
    if (list == nullptr || *list == nullptr)
    {
        return nullptr;
    }
    kn_list_node* head = *list;
    *list = head->next;
    head->next = nullptr;
    return head;
}

void ClearList(kn_list_node** list)
{
    if (list == nullptr)
    {
        return;
    }
    while (kn_list_node* node = *list)
    {
        *list = node->next;
        std::free(node->data);
        std::free(node);
    }
}
