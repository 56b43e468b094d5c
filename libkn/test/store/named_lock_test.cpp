// Named locks between processes, with the sandbox's private semaphores.
#include "libkn/lock.h"

#include "child.hpp"
#include "files.hpp"
#include "testkit/sandbox.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::readText;

// A counter that parent and children see alike.
class SharedFlag
{
  public:
    SharedFlag() :
        value(static_cast<std::atomic<int>*>(
            mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_ANONYMOUS, -1, 0)))
    {
        new (value) std::atomic<int>(0);
    }
    ~SharedFlag()
    {
        munmap(value, sizeof(std::atomic<int>));
    }
    SharedFlag(const SharedFlag&) = delete;
    SharedFlag& operator=(const SharedFlag&) = delete;

    std::atomic<int>& operator*()
    {
        return *value;
    }

  private:
    std::atomic<int>* value;
};

class NamedLock : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        name =
            "/libkn-test-" +
            std::string(
                testing::UnitTest::GetInstance()->current_test_info()->name());
        sem_unlink(name.c_str());
        fs::remove("/tmp/log-bmc");
    }

    std::string name;
};

TEST_F(NamedLock, TakeAndRelease)
{
    ASSERT_EQ(init_lock(name.c_str()), 0);
    ASSERT_EQ(init_lock(name.c_str()), 0);
    for (int round = 0; round < 3; ++round)
    {
        sem_t* handle = nullptr;
        ASSERT_EQ(get_lock(name.c_str(), &handle, 0, 0), 0);
        ASSERT_NE(handle, nullptr);
        int value = -1;
        sem_getvalue(handle, &value);
        EXPECT_EQ(value, 0);
        EXPECT_EQ(release_lock(handle), 0);
    }
    sem_t* probe = sem_open(name.c_str(), 0);
    int value = -1;
    sem_getvalue(probe, &value);
    EXPECT_EQ(value, 1);
    sem_close(probe);
    EXPECT_FALSE(fs::exists("/tmp/log-bmc"));
}

TEST_F(NamedLock, UnknownNameFails)
{
    sem_t* handle = nullptr;
    EXPECT_EQ(get_lock(name.c_str(), &handle, 0, 0), -1);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(readText("/tmp/log-bmc"), "get_lock failed!\n");
    EXPECT_EQ(release_lock(nullptr), -1);
}

TEST_F(NamedLock, BadNameCannotBeCreated)
{
    EXPECT_EQ(init_lock("/a/b"), -1);
    EXPECT_EQ(init_lock(nullptr), -1);
    EXPECT_EQ(readText("/tmp/log-bmc"),
              "init lock failed!\ninit lock failed!\n");
}

TEST_F(NamedLock, SecondProcessWaitsForTheRelease)
{
    ASSERT_EQ(init_lock(name.c_str()), 0);
    sem_t* handle = nullptr;
    ASSERT_EQ(get_lock(name.c_str(), &handle, 0, 0), 0);

    // The child reports what the holder had published when it got in.
    SharedFlag released;
    pid_t child = kntest::forkChild([&] {
        sem_t* mine = nullptr;
        if (get_lock(name.c_str(), &mine, 0, 0) != 0)
        {
            return 2;
        }
        int seen = (*released).load();
        release_lock(mine);
        return seen == 1 ? 0 : 1;
    });
    ASSERT_TRUE(kntest::waitSleeping(child));
    (*released).store(1);
    EXPECT_EQ(release_lock(handle), 0);
    EXPECT_EQ(kntest::waitChild(child), 0);
}

void ignoreSignal(int) {}

TEST_F(NamedLock, InterruptedWaitGoesOn)
{
    ASSERT_EQ(init_lock(name.c_str()), 0);
    sem_t* handle = nullptr;
    ASSERT_EQ(get_lock(name.c_str(), &handle, 0, 0), 0);

    SharedFlag released;
    // A handler without SA_RESTART interrupts the wait with EINTR. The
    // child has it from its first instruction: a signal that came before
    // it installed one would end it.
    struct sigaction action
    {};
    struct sigaction previous
    {};
    action.sa_handler = ignoreSignal;
    sigaction(SIGUSR1, &action, &previous);
    pid_t child = kntest::forkChild([&] {
        sem_t* mine = nullptr;
        if (get_lock(name.c_str(), &mine, 0, 0) != 0)
        {
            return 2;
        }
        int seen = (*released).load();
        release_lock(mine);
        return seen == 1 ? 0 : 1;
    });
    ASSERT_TRUE(kntest::waitSleeping(child));
    for (int i = 0; i < 3; ++i)
    {
        kill(child, SIGUSR1);
        ASSERT_TRUE(kntest::waitSleeping(child));
    }
    (*released).store(1);
    EXPECT_EQ(release_lock(handle), 0);
    EXPECT_EQ(kntest::waitChild(child), 0);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_FALSE(fs::exists("/tmp/log-bmc"));
}

TEST_F(NamedLock, CriticalSectionsOfManyProcessesDoNotOverlap)
{
    ASSERT_EQ(init_lock(name.c_str()), 0);
    SharedFlag inside;
    SharedFlag overlaps;
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int c = 0; c < 6; ++c)
    {
        children.push_back(kntest::forkChild([&] {
            gate.wait();
            for (int i = 0; i < 200; ++i)
            {
                sem_t* mine = nullptr;
                if (get_lock(name.c_str(), &mine, 0, 0) != 0)
                {
                    return 2;
                }
                if ((*inside).fetch_add(1) != 0)
                {
                    (*overlaps).fetch_add(1);
                }
                sched_yield();
                (*inside).fetch_sub(1);
                release_lock(mine);
            }
            return 0;
        }));
    }
    gate.open();
    for (pid_t child : children)
    {
        EXPECT_EQ(kntest::waitChild(child), 0);
    }
    EXPECT_EQ((*overlaps).load(), 0);
}

} // namespace
