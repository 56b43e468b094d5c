#include "testkit/journal.hpp"
#include "testkit/main.hpp"
#include "testkit/process.hpp"

#include <cstdlib>

#include <gtest/gtest.h>

namespace
{

using testkit::JournalEntry;

class JournalTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        capture = std::make_unique<testkit::JournalCapture>();
    }

    // Runs the sender (real sd_journal_send calls) to its end.
    pid_t send(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv{std::getenv("JOURNAL_SENDER")};
        argv.insert(argv.end(), args.begin(), args.end());
        testkit::Process sender({.argv = argv});
        EXPECT_EQ(sender.waitExit(std::chrono::seconds(30)), 0) << sender.err();
        return sender.pid();
    }

    std::unique_ptr<testkit::JournalCapture> capture;
};

TEST_F(JournalTest, ReadsPlainAndBinarySafeFields)
{
    pid_t pid = send({"plain"});
    auto entry = capture->waitFor([](const JournalEntry& e) {
        return e.contains("MESSAGE") && e.at("MESSAGE") == "hello world";
    });
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->at("PRIORITY"), "6");
    EXPECT_EQ(entry->at("MULTI"), "line one\nline two");
    EXPECT_EQ(entry->at("EMPTY"), "");
    EXPECT_EQ(entry->at("WITH_EQUALS"), "a=b");
    EXPECT_EQ(entry->at("_PID"), std::to_string(pid));

    EXPECT_EQ(capture->entries().size(), 1U);
    EXPECT_TRUE(capture->entries().empty());
}

TEST_F(JournalTest, ReadsAnEntryTooLargeForADatagram)
{
    // Beyond the sender's socket buffer sd-journal passes a memfd.
    constexpr size_t size = 40 * 1024 * 1024;
    send({"large", std::to_string(size)});
    auto entry = capture->waitFor([](const JournalEntry& e) {
        return e.contains("TAG") && e.at("TAG") == "large";
    });
    ASSERT_TRUE(entry);
    const std::string& message = entry->at("MESSAGE");
    EXPECT_EQ(message.size(), size);
    EXPECT_EQ(message.back(), 'y');
}

TEST_F(JournalTest, KeepsUpWithABurstInOrder)
{
    // More entries than a datagram socket queues: a capture that did not
    // drain them at once would block the sender.
    send({"many", "300"});
    auto entries = capture->entries();
    ASSERT_EQ(entries.size(), 300U);
    for (size_t i = 0; i < entries.size(); ++i)
    {
        EXPECT_EQ(entries[i].at("MESSAGE"), "entry " + std::to_string(i));
    }
}

TEST(JournalParseTest, RejectsTruncatedBinaryFields)
{
    using testkit::JournalCapture;
    const std::string length("\x05\0\0\0\0\0\0\0", 8);
    EXPECT_EQ(JournalCapture::parse("A=1\nB\n" + length + "ab\ncd\n")->at("B"),
              "ab\ncd");
    EXPECT_FALSE(JournalCapture::parse("A=1\nB\n" + length + "ab"));
    EXPECT_FALSE(JournalCapture::parse("A=1\nB\n\x05\0"));
    const std::string huge("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
    EXPECT_FALSE(JournalCapture::parse("B\n" + huge + "x\n"));
    EXPECT_FALSE(JournalCapture::parse("=value\n"));
}

} // namespace

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {.journal = true}, false);
}
