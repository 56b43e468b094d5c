// FIFO messages between processes, the storage FIFOs in the sandbox's
// private /run, and the byte-buffer list.
#include "libkn/mkfifo.h"

#include "child.hpp"
#include "files.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/wait.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A message body that tells its own number and can be checked whole.
std::vector<uint8_t> numberedBody(int number)
{
    std::vector<uint8_t> body(2 + static_cast<size_t>(number * 37 % 200));
    body[0] = static_cast<uint8_t>(number);
    body[1] = static_cast<uint8_t>(number >> 8);
    for (size_t i = 2; i < body.size(); ++i)
    {
        body[i] = static_cast<uint8_t>(number * 131 + i);
    }
    return body;
}

std::vector<uint8_t> framed(const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> message(body.size() + 1);
    message[0] = static_cast<uint8_t>(body.size());
    std::copy(body.begin(), body.end(), message.begin() + 1);
    return message;
}

class Fifo : public kntest::FolderTest
{
  protected:
    Fifo() : FolderTest("libkn-fifo") {}
};

TEST_F(Fifo, QueuesAreCreatedOnlyWhereNothingIs)
{
    std::string queue = path("queue");
    EXPECT_EQ(AddQueue(queue.c_str(), 0), 0);
    struct stat st
    {};
    ASSERT_EQ(::stat(queue.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0664u);
    EXPECT_EQ(AddQueue(queue.c_str(), 0), 0);

    std::string plain = path("plain");
    std::ofstream(plain) << "data";
    EXPECT_EQ(AddQueue(plain.c_str(), 0), 0);
    ASSERT_EQ(::stat(plain.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));

    EXPECT_EQ(AddQueue(path("no/such/folder").c_str(), 0), -1);
    int fd = GetQueue(queue.c_str(), O_RDWR | O_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    ::close(fd);
}

TEST_F(Fifo, MessagesArriveWholeAndInOrder)
{
    std::string queue = path("queue");
    ASSERT_EQ(AddQueue(queue.c_str(), 0), 0);
    int fd = ::open(queue.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);

    uint8_t buffer[KN_FIFO_BUFFER_SIZE];
    int length = -1;
    EXPECT_EQ(readMsg(fd, buffer, &length, 0), -2);

    auto first = framed({'a', 'b', 'c'});
    auto longest = framed(std::vector<uint8_t>(255, 0x5A));
    EXPECT_EQ(writeMsg(fd, first.data(), static_cast<int>(first.size())), 0);
    uint8_t empty = 0;
    EXPECT_EQ(writeMsg(fd, &empty, 1), 0);
    EXPECT_EQ(writeMsg(fd, longest.data(), static_cast<int>(longest.size())),
              0);

    EXPECT_EQ(readMsg(fd, buffer, &length, 5), 0);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    EXPECT_EQ(readMsg(fd, buffer, &length, 5), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(readMsg(fd, buffer, &length, 5), 0);
    ASSERT_EQ(length, 255);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 255),
              std::vector<uint8_t>(255, 0x5A));
    EXPECT_EQ(readMsg(fd, buffer, &length, 0), -2);
    EXPECT_EQ(readMsg(fd, nullptr, &length, 0), -1);
    ::close(fd);
}

// A reader that has gone fails the write; the writing process lives on,
// with no SIGPIPE left waiting and its signal mask as it was.
TEST_F(Fifo, WriteWithoutAReaderFailsAndTheWriterLives)
{
    std::string queue = path("queue");
    ASSERT_EQ(AddQueue(queue.c_str(), 0), 0);
    pid_t child = kntest::forkChild([&queue] {
        int reader = ::open(queue.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int writer = ::open(queue.c_str(), O_WRONLY | O_CLOEXEC);
        if (reader < 0 || writer < 0)
        {
            return 2;
        }
        ::close(reader);
        const uint8_t message[] = {1, 'x'};
        if (writeMsg(writer, message, sizeof(message)) != -1)
        {
            return 3;
        }
        sigset_t set;
        if (::sigpending(&set) != 0 || sigismember(&set, SIGPIPE) != 0 ||
            ::pthread_sigmask(SIG_BLOCK, nullptr, &set) != 0 ||
            sigismember(&set, SIGPIPE) != 0)
        {
            return 4;
        }
        return 0;
    });
    EXPECT_EQ(kntest::waitChild(child), 0) << "128 + 13: killed by SIGPIPE";
}

// When every writer has gone, a cut message ends the read instead of
// waiting or spinning, and get_from_q tells how much came.
TEST_F(Fifo, ACutMessageEndsTheRead)
{
    std::string queue = path("queue");
    ASSERT_EQ(AddQueue(queue.c_str(), 0), 0);
    int reader = ::open(queue.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ::fcntl(reader, F_SETFL, 0);
    int writer = ::open(queue.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const uint8_t cut[] = {10, 'x', 'y'};
    ASSERT_EQ(::write(writer, cut, sizeof(cut)), 3);
    ::close(writer);

    uint8_t buffer[KN_FIFO_BUFFER_SIZE];
    int length = 0;
    EXPECT_EQ(readMsg(reader, buffer, &length, 20), -1);
    EXPECT_EQ(readMsg(reader, buffer, &length, 20), -1);

    writer = ::open(queue.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(::write(writer, "pq", 2), 2);
    ::close(writer);
    int count = 0;
    EXPECT_EQ(get_from_q(buffer, 8, reader, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(get_from_q(buffer, 8, -1, &count), 0);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(get_from_q(buffer, 8, reader, nullptr), -1);
    ::close(reader);
}

// Several writers and several readers on one FIFO: every message reaches
// exactly one reader, whole.
TEST_F(Fifo, ManyWritersAndReadersShareOneQueue)
{
    std::string queue = path("queue");
    ASSERT_EQ(AddQueue(queue.c_str(), 0), 0);
    constexpr int readers = 3;
    constexpr int writers = 4;
    constexpr int messagesEach = 60;

    std::vector<pid_t> readerPids;
    for (int r = 0; r < readers; ++r)
    {
        std::string log = path("reader" + std::to_string(r));
        readerPids.push_back(kntest::forkChild([&queue, log] {
            int fd = ::open(queue.c_str(), O_RDWR | O_CLOEXEC);
            std::ofstream out(log);
            uint8_t buffer[KN_FIFO_BUFFER_SIZE];
            for (;;)
            {
                int length = -1;
                if (fd < 0 || readMsg(fd, buffer, &length, 20) != 0)
                {
                    return 1;
                }
                if (length == 0)
                {
                    return 0; // the end
                }
                for (int i = 0; i < length; ++i)
                {
                    out << static_cast<int>(buffer[i]) << ' ';
                }
                out << '\n';
            }
        }));
    }
    std::vector<pid_t> writerPids;
    for (int w = 0; w < writers; ++w)
    {
        writerPids.push_back(kntest::forkChild([&queue, w] {
            int fd = ::open(queue.c_str(), O_WRONLY | O_CLOEXEC);
            int failures = fd < 0 ? 1 : 0;
            for (int m = 0; m < messagesEach && fd >= 0; ++m)
            {
                auto message = framed(numberedBody(w * messagesEach + m));
                failures += writeMsg(fd, message.data(),
                                     static_cast<int>(message.size())) != 0;
            }
            return failures;
        }));
    }
    for (pid_t pid : writerPids)
    {
        EXPECT_EQ(kntest::waitChild(pid), 0);
    }
    int fd = ::open(queue.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (int r = 0; r < readers; ++r)
    {
        uint8_t end = 0;
        EXPECT_EQ(writeMsg(fd, &end, 1), 0);
    }
    ::close(fd);
    for (pid_t pid : readerPids)
    {
        EXPECT_EQ(kntest::waitChild(pid), 0);
    }

    std::map<int, int> seen;
    for (int r = 0; r < readers; ++r)
    {
        std::ifstream in(path("reader" + std::to_string(r)));
        for (std::string line; std::getline(in, line);)
        {
            std::istringstream bytes(line);
            std::vector<uint8_t> body;
            for (int b; bytes >> b;)
            {
                body.push_back(static_cast<uint8_t>(b));
            }
            ASSERT_GE(body.size(), 2u) << line;
            int number = body[0] | body[1] << 8;
            EXPECT_EQ(body, numberedBody(number)) << "torn message " << line;
            ++seen[number];
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(writers * messagesEach));
    for (auto [number, times] : seen)
    {
        EXPECT_EQ(times, 1) << number;
    }
}

class StorageFifo : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        fs::create_directories("/run/fifo");
        for (const char* queue : {KN_FIFO_STORAGE_W, KN_FIFO_STORAGE_R})
        {
            fs::remove(queue);
            ASSERT_EQ(AddQueue(queue, 0), 0);
        }
    }
};

TEST_F(StorageFifo, MessageLayoutOnTheWire)
{
    int reader = ::open(KN_FIFO_STORAGE_W, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    const uint8_t data[] = {0xAA, 0xBB};
    EXPECT_EQ(send_storage_func(0x01020304, data, 2), 0);
    uint8_t bytes[16] = {};
    ASSERT_EQ(::read(reader, bytes, sizeof(bytes)), 7);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 7),
              (std::vector<uint8_t>{6, 4, 3, 2, 1, 0xAA, 0xBB}));

    EXPECT_EQ(send_storage_func(9, nullptr, 0), 0);
    ASSERT_EQ(::read(reader, bytes, sizeof(bytes)), 5);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 5),
              (std::vector<uint8_t>{4, 9, 0, 0, 0}));

    // Data that a length byte cannot carry, or that is missing, is refused
    // before anything is written.
    std::vector<uint8_t> big(252, 1);
    EXPECT_EQ(send_storage_func(1, big.data(), 252), -1);
    EXPECT_EQ(send_storage_func(1, nullptr, 2), -1);
    EXPECT_LE(::read(reader, bytes, sizeof(bytes)), 0);
    std::vector<uint8_t> most(KN_STORAGE_DATA_MAX, 7);
    EXPECT_EQ(storage_send_redfish_func(1, most.data(), KN_STORAGE_DATA_MAX),
              -1); // nobody reads the other FIFO
    ::close(reader);
}

// Without a receiver the message would be lost: the send says so.
TEST_F(StorageFifo, NoReceiverNoQueueNoSuccess)
{
    const uint8_t data[] = {1};
    EXPECT_EQ(send_storage_func(5, data, 1), -1);
    fs::remove(KN_FIFO_STORAGE_W);
    EXPECT_EQ(send_storage_func(5, data, 1), -1);
    std::ofstream(KN_FIFO_STORAGE_W) << "plain file";
    EXPECT_EQ(send_storage_func(5, data, 1), -1);
    std::ifstream in(KN_FIFO_STORAGE_W);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "plain file");
}

// The storage service receives in one process, the Redfish service sends
// in another; messages sent while the receiver is busy between two calls
// still reach it.
TEST_F(StorageFifo, CommandsAndRepliesBetweenProcesses)
{
    int busy[2];
    ASSERT_EQ(::pipe(busy), 0);
    kntest::Gate resume;
    pid_t service = kntest::forkChild([&] {
        ::close(busy[0]);
        storage_message record;
        if (recv_storage_func(&record, 0, 0) != 0 || record.command != 7 ||
            record.length != 5 || std::memcmp(record.data, "first", 5) != 0)
        {
            return 1;
        }
        // Busy: no receive call runs while the next messages are sent.
        if (::write(busy[1], "b", 1) != 1)
        {
            return 2;
        }
        resume.wait();
        if (recv_storage_func(&record, 0, 0) != -1 || record.length != 0 ||
            record.command != 0)
        {
            return 3; // the message shorter than a command
        }
        if (recv_storage_func(&record, 0, 0) != 0 || record.command != 8 ||
            record.length != 6 || std::memcmp(record.data, "second", 6) != 0)
        {
            return 4;
        }
        if (recv_storage_func(&record, 0, 0) != 0 || record.command != 9 ||
            record.length != 0)
        {
            return 5;
        }
        const char reply[] = "done";
        bool sent = testkit::waitUntil(
            [&] { return storage_send_redfish_func(0xCAFE, reply, 4) == 0; },
            20s);
        return sent ? 0 : 6;
    });
    ::close(busy[1]);

    // The first send succeeds once the service is receiving.
    EXPECT_TRUE(testkit::waitUntil(
        [] { return send_storage_func(7, "first", 5) == 0; }, 20s));
    char byte = 0;
    ASSERT_EQ(::read(busy[0], &byte, 1), 1);
    ::close(busy[0]);

    int raw = ::open(KN_FIFO_STORAGE_W, O_WRONLY | O_CLOEXEC);
    ASSERT_GE(raw, 0);
    const uint8_t shortMessage[] = {2, 'x', 'y'};
    EXPECT_EQ(writeMsg(raw, shortMessage, 3), 0);
    ::close(raw);
    EXPECT_EQ(send_storage_func(8, "second", 6), 0);
    EXPECT_EQ(send_storage_func(9, nullptr, 0), 0);
    resume.open();

    storage_message reply;
    EXPECT_EQ(redfish_recv_storage_func(&reply, 0, 0), 0);
    EXPECT_EQ(reply.command, 0xCAFEu);
    EXPECT_EQ(reply.length, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply.data), 4), "done");
    EXPECT_EQ(kntest::waitChild(service), 0);
}

TEST(List, NodesOwnTheirCopies)
{
    char text[] = "alpha";
    kn_list_node* list = CreateList(0, text, 6);
    ASSERT_NE(list, nullptr);
    text[0] = 'X';
    EXPECT_STREQ(static_cast<char*>(list->data), "alpha");
    EXPECT_EQ(list->size, 6u);

    kn_list_node* last = InsertLastList(list, "gamma", 6);
    ASSERT_NE(last, nullptr);
    // Inserting after a node that is not the last keeps the rest.
    ASSERT_NE(InsertLastList(list, "beta", 5), nullptr);
    EXPECT_EQ(InsertLastList(nullptr, "x", 2), nullptr);
    EXPECT_EQ(CreateList(0, nullptr, 3), nullptr);
    kn_list_node* empty = InsertLastList(last, nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->size, 0u);

    std::vector<std::string> order;
    while (kn_list_node* node = GetHeadList(&list))
    {
        EXPECT_EQ(node->next, nullptr);
        order.emplace_back(
            node->data != nullptr ? static_cast<char*>(node->data) : "<none>");
        std::free(node->data);
        std::free(node);
    }
    EXPECT_EQ(order,
              (std::vector<std::string>{"alpha", "beta", "gamma", "<none>"}));
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(GetHeadList(&list), nullptr);
    EXPECT_EQ(GetHeadList(nullptr), nullptr);
    ClearList(&list);
    ClearList(nullptr);
}

TEST(List, ClearFreesEverything)
{
    kn_list_node* list = CreateList(0, "one", 4);
    kn_list_node* tail = list;
    for (int i = 0; i < 100; ++i)
    {
        tail = InsertLastList(tail, &i, sizeof(i));
        ASSERT_NE(tail, nullptr);
    }
    ClearList(&list);
    EXPECT_EQ(list, nullptr);
}

} // namespace
