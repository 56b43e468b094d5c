// The shared-memory segments and the SEL queue of the main segment.
#include "libkn/shm.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The regions of the main segment follow one another without overlap.
static_assert(KN_SHM_SENSOR_OFFSET + KN_SHM_SENSOR_SIZE * KN_SHM_SENSOR_COUNT ==
              KN_SHM_FRU_DEVICE_OFFSET);
static_assert(KN_SHM_FRU_DEVICE_OFFSET + KN_SHM_FRU_DEVICE_SIZE * 23 <=
              KN_SHM_SEL_QUEUE_OFFSET);
static_assert(KN_SHM_SEL_QUEUE_OFFSET +
                  KN_SHM_SEL_SLOT_SIZE * KN_SHM_SEL_SLOT_COUNT ==
              118974);
static_assert(118974 <= KN_SHM_SUBSCRIPTION_OFFSET);
static_assert(KN_SEL_SLOT_RECORD + KN_SEL_RECORD_MAX == KN_SHM_SEL_SLOT_SIZE);
static_assert(KN_SHM_SUBSCRIPTION_OFFSET +
                  KN_SHM_SUBSCRIPTION_SIZE * KN_SHM_SUBSCRIPTION_COUNT ==
              KN_SHM_EVENT_INFO_OFFSET);
static_assert(KN_EVENT_OBJECT_NAME + 32 == KN_EVENT_OBJECT_TYPE);
static_assert(KN_EVENT_OBJECT_TYPE + 32 == KN_EVENT_ID);
static_assert(KN_EVENT_ID + 4 == KN_EVENT_TIMESTAMP);
static_assert(KN_EVENT_TIMESTAMP + 32 == KN_EVENT_SEVERITY);
static_assert(KN_EVENT_SEVERITY + 16 == KN_EVENT_ALARM_STATUS);
static_assert(KN_EVENT_ALARM_STATUS + 4 == KN_SHM_EVENT_INFO_SIZE);
static_assert(KN_SHM_EVENT_INFO_OFFSET + KN_SHM_EVENT_INFO_SIZE <=
              KN_SHM_TRAP_OFFSET);
static_assert(KN_TRAP_TEXT + KN_TRAP_TEXT_SIZE == KN_SHM_TRAP_SIZE);
static_assert(KN_SHM_TRAP_OFFSET + KN_SHM_TRAP_SIZE * KN_SHM_TRAP_COUNT ==
              215912);
static_assert(215912 <= KN_SHM_MUX_CLAIM_OFFSET);
static_assert(KN_SHM_MUX_CLAIM_OFFSET +
                  KN_SHM_MUX_CLAIM_STRIDE * KN_SHM_MUX_CLAIM_BUSES ==
              KN_SHM_MAIL_CONFIG_OFFSET);
static_assert(KN_SHM_MAIL_CONFIG_OFFSET < KN_SHM_MAIN_SIZE);

// Slot flags are claimed across processes: the byte atomics must work on
// plain shared bytes without a lock.
static_assert(std::atomic_ref<uint8_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint8_t>::required_alignment == 1);

namespace
{

// Created on first use, readable and writable by everyone.
constexpr int segmentFlags = IPC_CREAT | 0777;
static_assert(segmentFlags == 0x3FF);

std::atomic<void*> mainSegment{nullptr};
std::atomic<void*> raidSegment{nullptr};
std::atomic<void*> aiCardSegment{nullptr};

void* attach(key_t key, size_t size)
{
    int id = ::shmget(key, size, segmentFlags);
    if (id < 0)
    {
        return nullptr;
    }
    void* address = ::shmat(id, nullptr, 0);
    // shmat reports a failure as the address -1.
    return reinterpret_cast<std::intptr_t>(address) == -1 ? nullptr : address;
}

// The process's one attachment of a segment. Two threads that attach at
// once keep the first address published; the other one is detached.
void* attachOnce(std::atomic<void*>& cache, key_t key, size_t size)
{
    void* address = cache.load(std::memory_order_acquire);
    if (address != nullptr)
    {
        return address;
    }
    address = attach(key, size);
    if (address == nullptr)
    {
        return nullptr;
    }
    void* published = nullptr;
    if (!cache.compare_exchange_strong(published, address,
                                       std::memory_order_acq_rel))
    {
        ::shmdt(address);
        return published;
    }
    return address;
}

bool slotIsFree(uint8_t flag)
{
    return flag != KN_SEL_SLOT_WAITING && flag != KN_SEL_SLOT_BUSY;
}

} // namespace

void* init_shm(void)
{
    return attachOnce(mainSegment, KN_SHM_MAIN_KEY, KN_SHM_MAIN_SIZE);
}

void* get_shm_address(void)
{
    void* address = mainSegment.load(std::memory_order_acquire);
    return address != nullptr ? address : init_shm();
}

void* get_share_mem(void)
{
    return mainSegment.load(std::memory_order_acquire);
}

void* init_sel_shm(void)
{
    return attach(KN_SHM_SEL_KEY, KN_SHM_SEL_SIZE);
}

void* init_raid_shm(void)
{
    return attachOnce(raidSegment, KN_SHM_RAID_KEY, KN_SHM_RAID_SIZE);
}

void* init_ai_card_shm(void)
{
    return attachOnce(aiCardSegment, KN_SHM_AI_CARD_KEY, KN_SHM_AI_CARD_SIZE);
}

int add_sel_to_shm(void* base, const void* record, int length)
{
    if (base == nullptr || record == nullptr || length < 0 ||
        length > KN_SEL_RECORD_MAX)
    {
        return -1;
    }
    auto* queue = static_cast<uint8_t*>(base) + KN_SHM_SEL_QUEUE_OFFSET;
    for (std::size_t i = 0; i < KN_SHM_SEL_SLOT_COUNT; ++i)
    {
        uint8_t* slot = queue + i * KN_SHM_SEL_SLOT_SIZE;
        std::atomic_ref<uint8_t> flag(slot[KN_SEL_SLOT_FLAG]);
        uint8_t seen = flag.load(std::memory_order_acquire);
        // A failed exchange reloads what another writer or the reader put
        // there; the slot is still ours to try while it stays free.
        while (slotIsFree(seen))
        {
            if (flag.compare_exchange_weak(seen, KN_SEL_SLOT_BUSY,
                                           std::memory_order_acquire,
                                           std::memory_order_acquire))
            {
                std::memcpy(slot + KN_SEL_SLOT_RECORD, record,
                            static_cast<size_t>(length));
                flag.store(KN_SEL_SLOT_WAITING, std::memory_order_release);
                return 0;
            }
        }
    }
    return -2;
}
