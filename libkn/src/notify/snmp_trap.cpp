// SNMP traps: the trap slots of the main shared-memory segment and the
// trap FIFO.
#include "libkn/log.h"
#include "libkn/shm.h"
#include "libkn/snmp.h"

#include "core/byte_order.hpp"
#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>

// The state is a 32-bit little-endian value whose high bytes stay 0: a
// slot is claimed on its low byte, which needs no alignment.
static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);
static_assert(KN_SHM_TRAP_OFFSET + KN_SHM_TRAP_SIZE * KN_SHM_TRAP_COUNT <=
              KN_SHM_MAIN_SIZE);

namespace
{

constexpr uint8_t slotFree = 0;
constexpr uint8_t slotWriting = 1;
constexpr uint8_t slotReady = 2;

std::mutex trapFifoLock;
int trapFifo = -1;

bool stateIsFree(uint8_t* slot)
{
    for (int i = 1; i < 4; ++i)
    {
        if (std::atomic_ref<uint8_t>(slot[KN_TRAP_STATE + i])
                .load(std::memory_order_relaxed) != 0)
        {
            return false;
        }
    }
    return true;
}

// Takes the slot when it is free: no other sender can take it meanwhile.
bool claim(uint8_t* slot)
{
    if (!stateIsFree(slot))
    {
        return false;
    }
    uint8_t expected = slotFree;
    return std::atomic_ref<uint8_t>(slot[KN_TRAP_STATE])
        .compare_exchange_strong(expected, slotWriting,
                                 std::memory_order_acquire,
                                 std::memory_order_relaxed);
}

void fill(uint8_t* slot, uint32_t id, uint32_t value, uint8_t severity,
          const char* text)
{
    kn::putLe32(slot + KN_TRAP_ID, id);
    kn::putLe32(slot + KN_TRAP_VALUE, value);
    slot[KN_TRAP_SEVERITY] = severity;
    size_t length = text != nullptr ? strnlen(text, KN_TRAP_TEXT_SIZE) : 0;
    std::memset(slot + KN_TRAP_TEXT, 0, KN_TRAP_TEXT_SIZE);
    if (length > 0)
    {
        std::memcpy(slot + KN_TRAP_TEXT, text, length);
    }
}

} // namespace

int snmpSendTrap(uint32_t id, uint32_t value, uint8_t severity,
                 const char* text)
{
    auto* base = static_cast<uint8_t*>(get_shm_address());
    if (base == nullptr)
    {
        return 0;
    }
    for (std::size_t i = 0; i < KN_SHM_TRAP_COUNT; ++i)
    {
        uint8_t* slot = base + KN_SHM_TRAP_OFFSET + KN_SHM_TRAP_SIZE * i;
        if (claim(slot))
        {
            fill(slot, id, value, severity, text);
            // The sender takes the slot once the whole trap is there.
            std::atomic_ref<uint8_t>(slot[KN_TRAP_STATE])
                .store(slotReady, std::memory_order_release);
            return 0;
        }
    }
    return 0; // every slot busy: the trap is dropped
}

int checkFIFOFile(const char* path, uint32_t mode)
{
    struct stat st
    {};
    if (path != nullptr && ::stat(path, &st) == 0 && S_ISFIFO(st.st_mode))
    {
        return 0;
    }
    if (path != nullptr && ::mkfifo(path, static_cast<mode_t>(mode)) == 0)
    {
        // The umask does not narrow the mode asked for.
        ::chmod(path, static_cast<mode_t>(mode));
        return 0;
    }
    kestrelon_log("fifo file %s not exist, and mkfifo faile. %s",
                  path != nullptr ? path : "", std::strerror(errno));
    return 1;
}

int getSNMPTrapWriteFD(const char* path, int flags, uint32_t mode)
{
    {
        std::lock_guard<std::mutex> guard(trapFifoLock);
        if (trapFifo >= 0)
        {
            return 0;
        }
    }
    if (path == nullptr)
    {
        kestrelon_log("open snmp trap fifo file failed. %s",
                      std::strerror(EINVAL));
        return 1;
    }
    kn::Descriptor fd(
        ::open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode)));
    if (!fd.isOpen())
    {
        ::sleep(1);
        fd.reset(::open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode)));
    }
    if (!fd.isOpen())
    {
        kestrelon_log("open snmp trap fifo file failed. %s",
                      std::strerror(errno));
        return 1;
    }
    // The open of a FIFO waits for its reader, without the lock: another
    // thread that opened it meanwhile keeps its descriptor.
    std::lock_guard<std::mutex> guard(trapFifoLock);
    if (trapFifo >= 0)
    {
        return 0;
    }
    trapFifo = fd.release(); // kept for the process's trap writes
    return 0;
}

int snmpWriteMsg(int fd, const void* bytes, int length)
{
    ssize_t written = -1;
    errno = EINVAL;
    if (bytes != nullptr && length >= 0)
    {
        kn::withoutSigpipe([&] {
            do
            {
                written = ::write(fd, bytes, static_cast<size_t>(length));
            } while (written < 0 && errno == EINTR);
            if (written >= 0 && written < length)
            {
                errno = EAGAIN; // only part of the message went out
            }
            return written == length;
        });
    }
    if (written == length)
    {
        return 0;
    }
    kestrelon_log("snmpWriteMsg failed. fd: %d, ret: %d, err: %s", fd,
                  static_cast<int>(written), std::strerror(errno));
    return 1;
}
