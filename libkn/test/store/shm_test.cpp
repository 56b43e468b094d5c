// The shared segments and the SEL queue, with the sandbox's private System V
// IPC.
#include "libkn/mail.h"
#include "libkn/shm.h"

#include "child.hpp"
#include "testkit/sandbox.hpp"

#include <sched.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace
{

uint8_t* slotOf(void* base, int i)
{
    return static_cast<uint8_t*>(base) + KN_SHM_SEL_QUEUE_OFFSET +
           i * KN_SHM_SEL_SLOT_SIZE;
}

std::atomic_ref<uint8_t> flagOf(void* base, int i)
{
    return std::atomic_ref<uint8_t>(slotOf(base, i)[KN_SEL_SLOT_FLAG]);
}

// A record of the full slot body, every byte derived from its number.
std::vector<uint8_t> numberedRecord(uint32_t number)
{
    std::vector<uint8_t> record(KN_SEL_RECORD_MAX);
    for (size_t i = 0; i < record.size(); ++i)
    {
        record[i] = static_cast<uint8_t>(number * 131 + i * (number | 1));
    }
    record[0] = static_cast<uint8_t>(number);
    record[1] = static_cast<uint8_t>(number >> 8);
    return record;
}

// The record's number when the slot body is whole, -1 when it is torn.
int recordNumber(const uint8_t* body)
{
    uint32_t number = body[0] | static_cast<uint32_t>(body[1]) << 8;
    auto expected = numberedRecord(number);
    return std::memcmp(body, expected.data(), expected.size()) == 0
               ? static_cast<int>(number)
               : -1;
}

class SharedMemory : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        base = get_shm_address();
        ASSERT_NE(base, nullptr);
        std::memset(slotOf(base, 0), 0,
                    KN_SHM_SEL_SLOT_COUNT * KN_SHM_SEL_SLOT_SIZE);
    }

    // Bytes of the whole main segment, for before/after comparisons.
    std::vector<uint8_t> snapshot() const
    {
        auto* bytes = static_cast<const uint8_t*>(base);
        return std::vector<uint8_t>(bytes, bytes + KN_SHM_MAIN_SIZE);
    }

    bool unchangedSince(const std::vector<uint8_t>& before) const
    {
        return std::memcmp(before.data(), base, before.size()) == 0;
    }

    void* base = nullptr;
};

struct shmid_ds segmentInfo(key_t key)
{
    struct shmid_ds info
    {};
    int id = shmget(key, 0, 0);
    EXPECT_GE(id, 0);
    shmctl(id, IPC_STAT, &info);
    return info;
}

TEST_F(SharedMemory, SegmentsAreCreatedWithTheirKeysAndSizes)
{
    EXPECT_EQ(init_shm(), base);
    EXPECT_EQ(get_share_mem(), base);
    EXPECT_NE(init_raid_shm(), nullptr);
    EXPECT_EQ(init_raid_shm(), init_raid_shm());
    EXPECT_NE(init_ai_card_shm(), nullptr);
    EXPECT_EQ(init_ai_card_shm(), init_ai_card_shm());
    EXPECT_EQ(reinterpret_cast<uint8_t*>(get_mail_config()),
              static_cast<uint8_t*>(base) + KN_SHM_MAIL_CONFIG_OFFSET);

    const std::pair<key_t, size_t> segments[] = {
        {KN_SHM_MAIN_KEY, KN_SHM_MAIN_SIZE},
        {KN_SHM_RAID_KEY, KN_SHM_RAID_SIZE},
        {KN_SHM_AI_CARD_KEY, KN_SHM_AI_CARD_SIZE}};
    for (auto [key, size] : segments)
    {
        struct shmid_ds info = segmentInfo(key);
        EXPECT_EQ(info.shm_segsz, size) << std::hex << key;
        EXPECT_EQ(info.shm_perm.mode & 0777, 0777u) << std::hex << key;
    }
}

TEST_F(SharedMemory, FreshProcessHasNoCachedAddress)
{
    const char* probe = std::getenv("LIBKN_PROBE");
    ASSERT_NE(probe, nullptr);
    pid_t child = kntest::forkProgram(probe, {probe, "fresh-shm"});
    EXPECT_EQ(kntest::waitChild(child), 0);
}

TEST_F(SharedMemory, SelSegmentIsAttachedAnewEachCall)
{
    auto* first = static_cast<uint8_t*>(init_sel_shm());
    auto* second = static_cast<uint8_t*>(init_sel_shm());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    first[KN_SHM_SEL_SIZE - 1] = 0x5A;
    EXPECT_EQ(second[KN_SHM_SEL_SIZE - 1], 0x5A);
    EXPECT_EQ(segmentInfo(KN_SHM_SEL_KEY).shm_segsz, KN_SHM_SEL_SIZE);
    EXPECT_EQ(shmdt(first), 0);
    EXPECT_EQ(shmdt(second), 0);
}

TEST_F(SharedMemory, RecordGoesIntoTheFirstFreeSlot)
{
    const uint8_t record[16] = {0x21, 0, 2, 0xE1, 0xA2, 0xFF, 0x4E, 0x20,
                                0,    4, 4, 0x31, 1,    0x52, 0x10, 0x20};
    flagOf(base, 0).store(KN_SEL_SLOT_WAITING);
    flagOf(base, 1).store(KN_SEL_SLOT_BUSY);
    flagOf(base, 2).store(2);
    auto before = snapshot();

    ASSERT_EQ(add_sel_to_shm(base, record, sizeof(record)), 0);
    uint8_t* slot = slotOf(base, 2);
    EXPECT_EQ(slot[KN_SEL_SLOT_FLAG], KN_SEL_SLOT_WAITING);
    EXPECT_EQ(std::memcmp(slot + KN_SEL_SLOT_RECORD, record, sizeof(record)),
              0);
    // Nothing else changed: not the unused slot bytes, not the body after
    // the record.
    slot[KN_SEL_SLOT_FLAG] = 2;
    std::memset(slot + KN_SEL_SLOT_RECORD, 0, sizeof(record));
    EXPECT_TRUE(unchangedSince(before));
}

TEST_F(SharedMemory, BadRecordsTouchNothing)
{
    std::vector<uint8_t> record(KN_SEL_RECORD_MAX + 1, 0xAB);
    auto before = snapshot();
    EXPECT_EQ(add_sel_to_shm(base, record.data(), KN_SEL_RECORD_MAX + 1), -1);
    EXPECT_EQ(add_sel_to_shm(base, record.data(), -1), -1);
    EXPECT_EQ(add_sel_to_shm(base, nullptr, 16), -1);
    EXPECT_EQ(add_sel_to_shm(nullptr, record.data(), 16), -1);
    EXPECT_TRUE(unchangedSince(before));

    EXPECT_EQ(add_sel_to_shm(base, record.data(), KN_SEL_RECORD_MAX), 0);
    EXPECT_EQ(std::memcmp(slotOf(base, 0) + KN_SEL_SLOT_RECORD, record.data(),
                          KN_SEL_RECORD_MAX),
              0);
    // The full body ends right before the next slot.
    EXPECT_EQ(slotOf(base, 1)[0], 0);
}

TEST_F(SharedMemory, FullQueueRefusesAndChangesNothing)
{
    for (uint32_t i = 0; i < KN_SHM_SEL_SLOT_COUNT; ++i)
    {
        auto record = numberedRecord(i);
        ASSERT_EQ(add_sel_to_shm(base, record.data(), KN_SEL_RECORD_MAX), 0);
    }
    for (int i = 0; i < KN_SHM_SEL_SLOT_COUNT; ++i)
    {
        EXPECT_EQ(slotOf(base, i)[KN_SEL_SLOT_FLAG], KN_SEL_SLOT_WAITING);
        EXPECT_EQ(recordNumber(slotOf(base, i) + KN_SEL_SLOT_RECORD), i);
    }

    auto before = snapshot();
    auto extra = numberedRecord(99);
    EXPECT_EQ(add_sel_to_shm(base, extra.data(), KN_SEL_RECORD_MAX), -2);
    EXPECT_TRUE(unchangedSince(before));

    // The reader takes slot 17: the next record fills exactly that slot.
    flagOf(base, 17).store(0);
    EXPECT_EQ(add_sel_to_shm(base, extra.data(), KN_SEL_RECORD_MAX), 0);
    EXPECT_EQ(recordNumber(slotOf(base, 17) + KN_SEL_SLOT_RECORD), 99);
    EXPECT_EQ(add_sel_to_shm(base, extra.data(), KN_SEL_RECORD_MAX), -2);
}

TEST_F(SharedMemory, ConcurrentWritersNeverShareASlot)
{
    constexpr int writers = 8;
    constexpr int perWriter = 3;
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w)
    {
        children.push_back(kntest::forkChild([&gate, w] {
            void* segment = get_shm_address();
            gate.wait();
            for (int k = 0; k < perWriter; ++k)
            {
                auto record =
                    numberedRecord(static_cast<uint32_t>(w * perWriter + k));
                if (add_sel_to_shm(segment, record.data(), KN_SEL_RECORD_MAX) !=
                    0)
                {
                    return 1;
                }
            }
            return 0;
        }));
    }
    gate.open();
    for (pid_t child : children)
    {
        EXPECT_EQ(kntest::waitChild(child), 0);
    }

    std::set<int> numbers;
    for (int i = 0; i < KN_SHM_SEL_SLOT_COUNT; ++i)
    {
        uint8_t flag = slotOf(base, i)[KN_SEL_SLOT_FLAG];
        if (i < writers * perWriter)
        {
            ASSERT_EQ(flag, KN_SEL_SLOT_WAITING) << i;
            numbers.insert(recordNumber(slotOf(base, i) + KN_SEL_SLOT_RECORD));
        }
        else
        {
            EXPECT_EQ(flag, 0) << i;
        }
    }
    EXPECT_EQ(numbers.size(), static_cast<size_t>(writers * perWriter));
    EXPECT_EQ(numbers.count(-1), 0u);
    EXPECT_EQ(*numbers.begin(), 0);
    EXPECT_EQ(*numbers.rbegin(), writers * perWriter - 1);
}

TEST_F(SharedMemory, ReaderNeverTakesHalfARecord)
{
    constexpr int writers = 4;
    constexpr int perWriter = 400;
    constexpr int total = writers * perWriter;
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w)
    {
        children.push_back(kntest::forkChild([&gate, w] {
            void* segment = get_shm_address();
            gate.wait();
            for (int k = 0; k < perWriter; ++k)
            {
                auto record =
                    numberedRecord(static_cast<uint32_t>(w * perWriter + k));
                int result = -2;
                while ((result = add_sel_to_shm(segment, record.data(),
                                                KN_SEL_RECORD_MAX)) == -2)
                {
                    sched_yield();
                }
                if (result != 0)
                {
                    return 1;
                }
            }
            return 0;
        }));
    }
    gate.open();

    // This process drains the queue as the program that stores SEL
    // records does: take a waiting record, then free its slot.
    std::vector<int> seen(total);
    int taken = 0;
    int torn = 0;
    // Drained once every writer has ended and a whole pass finds nothing.
    size_t ended = 0;
    std::vector<int> statuses;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (bool lastPass = false;
         !lastPass && std::chrono::steady_clock::now() < deadline;)
    {
        lastPass = ended == children.size();
        bool any = false;
        for (int i = 0; i < KN_SHM_SEL_SLOT_COUNT; ++i)
        {
            auto flag = flagOf(base, i);
            if (flag.load(std::memory_order_acquire) != KN_SEL_SLOT_WAITING)
            {
                continue;
            }
            int number = recordNumber(slotOf(base, i) + KN_SEL_SLOT_RECORD);
            if (number < 0 || number >= total)
            {
                ++torn;
            }
            else
            {
                ++seen[static_cast<size_t>(number)];
            }
            flag.store(0, std::memory_order_release);
            ++taken;
            any = true;
        }
        if (any)
        {
            lastPass = false;
        }
        else if (ended < children.size())
        {
            int status = 0;
            if (waitpid(children[ended], &status, WNOHANG) == children[ended])
            {
                statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status)
                                                     : 128);
                ++ended;
            }
            else
            {
                sched_yield();
            }
        }
    }
    for (size_t c = ended; c < children.size(); ++c)
    {
        statuses.push_back(kntest::waitChild(children[c]).value_or(-1));
    }
    EXPECT_EQ(statuses, std::vector<int>(children.size(), 0));
    EXPECT_EQ(taken, total);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), total);
}

} // namespace
