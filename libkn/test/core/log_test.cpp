// Log lines, typed logs and their archive, in the sandbox's private /tmp,
// /run, /var and /media.
#include "libkn/log.h"

#include "child.hpp"
#include "files.hpp"
#include "testkit/sandbox.hpp"

#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::readText;

const fs::path archiveFolder = "/media/card/BMCInfo/Development/Log/bmc";
const std::string ctimeText =
    R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})";
const std::string logTimeText = R"(\d\d-\d\d-\d\d \d\d:\d\d:\d\d)";

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
    {
        result.push_back(line);
    }
    return result;
}

std::vector<fs::path> archives(const std::string& prefix)
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(archiveFolder))
    {
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
        {
            found.push_back(entry.path());
        }
    }
    return found;
}

void makeFile(const fs::path& path, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string chunk(1 << 16, 'L');
    for (size_t left = size; left > 0;)
    {
        size_t n = std::min(left, chunk.size());
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
}

class Logging : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        // Each test starts from empty log folders and the original tables.
        for (const char* dir : {"/run/BMCInfo/Development/Log/bmc",
                                "/var/BMCInfo/Development/Log/bmc",
                                "/media/card/BMCInfo/Development/Log/bmc"})
        {
            fs::remove_all(dir);
            fs::create_directories(dir);
        }
        for (const char* file : {"/tmp/log", "/tmp/log-bmc", "/tmp/debug.log"})
        {
            fs::remove(file);
        }
        std::memcpy(savedPaths, log_path, sizeof(savedPaths));
        std::memcpy(savedArchives, nv_log_path, sizeof(savedArchives));
    }

    void TearDown() override
    {
        std::memcpy(log_path, savedPaths, sizeof(savedPaths));
        std::memcpy(nv_log_path, savedArchives, sizeof(savedArchives));
    }

    char savedPaths[KN_LOG_TYPE_COUNT][KN_LOG_PATH_SIZE];
    char savedArchives[KN_LOG_TYPE_COUNT][KN_LOG_PATH_SIZE];
};

TEST_F(Logging, PlainLogKeepsTheTextUnchanged)
{
    plog("init lock failed!\n");
    plog("%s-%d", "no newline", 3);
    EXPECT_EQ(readText("/tmp/log-bmc"), "init lock failed!\nno newline-3");
}

TEST_F(Logging, TimeStampedLines)
{
    kestrelon_log("value %d", 42);
    _kn_warn("warned %s\n", "once");
    std::string pid = std::to_string(getpid());
    std::string text = readText("/tmp/log");
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\[)" + pid + R"(\] )" + logTimeText +
                         R"( value 42\nlibkn\[)" + pid + R"(\]\[)" +
                         logTimeText + R"(\]: warned once\n)")))
        << text;
}

TEST_F(Logging, MessagesAreCutAt1024Characters)
{
    std::string longText(5000, 'm');
    kestrelon_log("%s", longText.c_str());
    auto logged = lines(readText("/tmp/log"));
    ASSERT_EQ(logged.size(), 1u);
    std::string message = logged[0].substr(logged[0].rfind(' ') + 1);
    EXPECT_EQ(message, std::string(KN_LOG_MESSAGE_SIZE - 1, 'm'));
}

TEST_F(Logging, WarningsNameTheFileOnly)
{
    _kn_warn_message("[%s:%d] %s %s\n", "a", "b", "/src/deep/path/unit.c", 7);
    _kn_warn_return_if_fail("setUserRule", "id < 3", "/x/common.cpp", 12);
    _kn_warn_message("%s|%d|%s|%s\n", "a", nullptr, "plain.c", 1);
    std::string text = readText("/tmp/log");
    EXPECT_NE(text.find("]: [unit.c:7] a b\n"), std::string::npos) << text;
    EXPECT_NE(text.find("]: [common.cpp(12)] setUserRule expression \"id < 3\" "
                        "failed.\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("]: plain.c|1|a|\n"), std::string::npos) << text;
}

int checkedPositive(int value)
{
    KN_RETURN_VAL_IF_FAIL(value > 0, -7);
    return value;
}

TEST_F(Logging, PreconditionMacroReportsAndReturns)
{
    EXPECT_EQ(checkedPositive(3), 3);
    EXPECT_FALSE(fs::exists("/tmp/log"));
    EXPECT_EQ(checkedPositive(0), -7);
    std::string text = readText("/tmp/log");
    EXPECT_NE(text.find("] checkedPositive expression \"value > 0\" failed."),
              std::string::npos)
        << text;
}

TEST_F(Logging, AssertionsEndTheProcessWithABacktrace)
{
    EXPECT_EQ(_kn_real_assert(5, "x", "f.c", 1, "fn"), 5u);
    EXPECT_FALSE(fs::exists("/tmp/log"));

    pid_t child = kntest::forkChild([] {
        _kn_real_assert(0, "ptr != NULL", "unit.c", 33, "doWork");
        return 0;
    });
    EXPECT_EQ(kntest::waitChild(child), 1);
    std::string text = readText("/tmp/log");
    EXPECT_NE(text.find("assertion failed \"ptr != NULL\" file \"unit.c\" "
                        "line 33 function doWork"),
              std::string::npos)
        << text;
    // The backtrace follows, one "  <frame>" line per frame.
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(doWork\[\d+\] )" + logTimeText + R"(   \S)")))
        << text;
    EXPECT_GE(lines(text).size(), 2u);

    fs::remove("/tmp/log");
    child = kntest::forkChild([] {
        _kn_real_assert_not_reached("handler", "unit.c", 9);
        return 0;
    });
    EXPECT_EQ(kntest::waitChild(child), 1);
    EXPECT_NE(readText("/tmp/log")
                  .find("File \"unit.c\" line 9 should not have been reached: "
                        "handler"),
              std::string::npos);
}

TEST_F(Logging, TypedLineGoesToItsWorkingLog)
{
    EXPECT_EQ(log_call(KN_LOG_INFO, "fan %d %s", 3, "ok"), 0);
    EXPECT_EQ(log_call(KN_LOG_ACTION, "action"), 0);
    std::string info = readText("/run/BMCInfo/Development/Log/bmc/log_info");
    EXPECT_TRUE(std::regex_match(info, std::regex(ctimeText + "-fan 3 ok\n")))
        << info;
    EXPECT_TRUE(std::regex_match(
        readText("/var/BMCInfo/Development/Log/bmc/log_action"),
        std::regex(ctimeText + "-action\n")));
    EXPECT_EQ(log_call(KN_LOG_INFO, "second"), 0);
    EXPECT_EQ(
        lines(readText("/run/BMCInfo/Development/Log/bmc/log_info")).size(),
        2u);
}

TEST_F(Logging, DebugLinesOnlyWhileSwitchedOn)
{
    const fs::path debugLog = "/run/BMCInfo/Development/Log/bmc/log_debug";
    EXPECT_EQ(log_call(KN_LOG_DEBUG, "hidden"), -1);
    EXPECT_FALSE(fs::exists(debugLog));
    std::ofstream("/tmp/debug.log").put('\n');
    EXPECT_EQ(log_call(KN_LOG_DEBUG, "shown"), 0);
    EXPECT_NE(readText(debugLog).find("-shown\n"), std::string::npos);
}

TEST_F(Logging, TypeOutsideTheTableTouchesNothing)
{
    for (int type : {6, -1})
    {
        testing::internal::CaptureStdout();
        int result = log_call(type, "lost");
        std::fflush(stdout);
        std::string printed = testing::internal::GetCapturedStdout();
        std::string expected =
            "log_call: invalid log type[" + std::to_string(type) + "] \n";
        EXPECT_EQ(printed, expected);
        EXPECT_EQ(result, static_cast<int>(expected.size()));
    }
    EXPECT_TRUE(fs::is_empty("/run/BMCInfo/Development/Log/bmc"));
    EXPECT_TRUE(fs::is_empty("/var/BMCInfo/Development/Log/bmc"));
    EXPECT_EQ(save_log_to_nv_storage(6, "/tmp/log"), -1);
    EXPECT_EQ(save_log_to_nv_storage(-1, "/tmp/log"), -1);
}

TEST_F(Logging, FullWorkingLogIsArchivedAndEmptied)
{
    const fs::path errors = "/run/BMCInfo/Development/Log/bmc/log_error";
    makeFile(errors, KN_LOG_ARCHIVE_LIMIT);
    EXPECT_EQ(log_call(KN_LOG_ERROR, "after archive"), 0);

    auto logged = lines(readText(errors));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("-after archive"), std::string::npos);

    auto found = archives("log_error_");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(fs::file_size(found[0]),
              static_cast<uintmax_t>(KN_LOG_ARCHIVE_LIMIT));
    // Year since 1900 and month from 0, as the broken-down time holds them.
    time_t now = time(nullptr);
    struct tm local
    {};
    localtime_r(&now, &local);
    EXPECT_TRUE(std::regex_match(
        found[0].filename().string(),
        std::regex("log_error_" + std::to_string(local.tm_year) +
                   R"(-\d{1,2}-\d{1,2}_\d{1,2}-\d{1,2}-\d{1,2})")))
        << found[0];
}

TEST_F(Logging, OneByteBelowTheLimitIsAppendedTo)
{
    const fs::path errors = "/run/BMCInfo/Development/Log/bmc/log_error";
    makeFile(errors, KN_LOG_ARCHIVE_LIMIT - 1);
    EXPECT_EQ(log_call(KN_LOG_ERROR, "appended"), 0);
    EXPECT_GT(fs::file_size(errors),
              static_cast<uintmax_t>(KN_LOG_ARCHIVE_LIMIT));
    EXPECT_TRUE(archives("log_error").empty());
    EXPECT_EQ(save_log_to_nv_storage(KN_LOG_ERROR, errors.c_str()), 1);
}

TEST_F(Logging, WithoutTheCardAFullLogIsStillEmptied)
{
    fs::rename("/media/card", "/media/card-away");
    const fs::path warnings = "/run/BMCInfo/Development/Log/bmc/log_warn";
    makeFile(warnings, KN_LOG_ARCHIVE_LIMIT + 10);
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_call(KN_LOG_WARN, "first again"), 0);
    std::fflush(stdout);
    std::string printed = testing::internal::GetCapturedStdout();
    fs::rename("/media/card-away", "/media/card");

    EXPECT_EQ(printed, "save_log_to_nv_storage: SD do not present,but the "
                       "file[" +
                           warnings.string() + "] length out of space\n");
    auto logged = lines(readText(warnings));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("-first again"), std::string::npos);
}

// A fresh card has no archive folder yet: it is made, and the full log
// goes into it.
TEST_F(Logging, ArchiveFolderIsCreatedOnAFreshCard)
{
    fs::remove_all("/media/card/BMCInfo");
    const fs::path errors = "/run/BMCInfo/Development/Log/bmc/log_error";
    makeFile(errors, KN_LOG_ARCHIVE_LIMIT);
    EXPECT_EQ(log_call(KN_LOG_ERROR, "next"), 0);
    auto found = archives("log_error_");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(fs::file_size(found[0]),
              static_cast<uintmax_t>(KN_LOG_ARCHIVE_LIMIT));
    EXPECT_EQ(lines(readText(errors)).size(), 1u);
}

// A card that fills up during the copy keeps no piece of the log, and the
// failure is told.
TEST_F(Logging, FailedArchiveCopyIsCutOffAndTold)
{
    if (::mount("tmpfs", "/media/card", "tmpfs", 0, "size=1m") != 0)
    {
        GTEST_SKIP() << "no small file system for the card";
    }
    fs::create_directories(archiveFolder);
    const fs::path errors = "/run/BMCInfo/Development/Log/bmc/log_error";
    makeFile(errors, KN_LOG_ARCHIVE_LIMIT);
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_call(KN_LOG_ERROR, "after a full card"), 0);
    std::fflush(stdout);
    std::string printed = testing::internal::GetCapturedStdout();
    auto found = archives("log_error_");
    uintmax_t kept = found.size() == 1 ? fs::file_size(found[0]) : 1;
    ::umount("/media/card");

    EXPECT_NE(printed.find("save_log_to_nv_storage: archive ["),
              std::string::npos);
    EXPECT_NE(printed.find("of the file[" + errors.string() + "] failed\n"),
              std::string::npos)
        << printed;
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(kept, 0u);
    auto logged = lines(readText(errors));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("-after a full card"), std::string::npos);
}

// Writers in several processes cross the limit together: the old content
// is archived once, and every new line ends up in the archive or in the
// working log.
TEST_F(Logging, RotationUnderManyWritersLosesNothing)
{
    const fs::path info = "/run/BMCInfo/Development/Log/bmc/log_info";
    const std::string filler = std::string(99, 'F') + "\n";
    const size_t fillerLines = KN_LOG_ARCHIVE_LIMIT / filler.size() - 1;
    {
        std::ofstream out(info, std::ios::binary);
        for (size_t i = 0; i < fillerLines; ++i)
        {
            out << filler;
        }
    }
    constexpr int writers = 8;
    constexpr int perWriter = 300;
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w)
    {
        children.push_back(kntest::forkChild([&gate, w] {
            gate.wait();
            for (int i = 0; i < perWriter; ++i)
            {
                log_call(KN_LOG_INFO, "w%d-%d", w, i);
            }
            return 0;
        }));
    }
    gate.open();
    for (pid_t child : children)
    {
        EXPECT_EQ(kntest::waitChild(child), 0);
    }

    std::map<std::string, int> seen;
    size_t archivedFiller = 0;
    auto count = [&](const std::string& text, bool archive) {
        for (const auto& line : lines(text))
        {
            if (line + "\n" == filler)
            {
                EXPECT_TRUE(archive) << "old line left in the working log";
                ++archivedFiller;
                continue;
            }
            ++seen[line.substr(line.rfind('-', line.rfind('-') - 1) + 1)];
        }
    };
    for (const auto& archive : archives("log_info_"))
    {
        count(readText(archive), true);
    }
    count(readText(info), false);
    EXPECT_EQ(archivedFiller, fillerLines);
    EXPECT_EQ(seen.size(), static_cast<size_t>(writers * perWriter));
    for (const auto& [line, times] : seen)
    {
        EXPECT_EQ(times, 1) << line;
    }
}

TEST_F(Logging, MissingWorkingLogIsReportedAndCreated)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(save_log_to_nv_storage(KN_LOG_INFO, "/run/none"), -1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "save_log_to_nv_storage: open file [/run/none] fail \n");

    // A working log in a folder that does not exist is skipped silently.
    std::strcpy(log_path[KN_LOG_INFO], "/run/no/such/folder/log");
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_call(KN_LOG_INFO, "dropped"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(fs::exists("/run/no"));
}

TEST_F(Logging, TableRowsAreReadWithinTheirBytes)
{
    // Rows filled to their last byte have no terminator: the path is the
    // 64 characters, nothing after them.
    std::string working = "/tmp/" + std::string(KN_LOG_PATH_SIZE - 5, 'w');
    std::string archive = "/tmp/" + std::string(KN_LOG_PATH_SIZE - 5, 'a');
    std::memcpy(log_path[KN_LOG_ACTION], working.data(), KN_LOG_PATH_SIZE);
    std::memcpy(nv_log_path[KN_LOG_ACTION], archive.data(), KN_LOG_PATH_SIZE);
    fs::create_directories("/media/card");
    makeFile(working, KN_LOG_ARCHIVE_LIMIT);

    testing::internal::CaptureStdout();
    EXPECT_EQ(log_call(KN_LOG_ACTION, "bounded"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(lines(readText(working)).size(), 1u);
    bool archived = false;
    for (const auto& entry : fs::directory_iterator("/tmp"))
    {
        std::string name = entry.path().string();
        if (name.rfind(archive + "_", 0) == 0)
        {
            archived = fs::file_size(entry.path()) == KN_LOG_ARCHIVE_LIMIT;
        }
    }
    EXPECT_TRUE(archived);
}

TEST_F(Logging, LinesOfManyProcessesNeverInterleave)
{
    constexpr int writers = 8;
    constexpr int perWriter = 150;
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w)
    {
        children.push_back(kntest::forkChild([&gate, w] {
            gate.wait();
            // Lines of different lengths, each made of one letter.
            std::string body(static_cast<size_t>(200 + 97 * w),
                             static_cast<char>('a' + w));
            for (int i = 0; i < perWriter; ++i)
            {
                kestrelon_log("%s", body.c_str());
                log_call(KN_LOG_INFO, "%s", body.c_str());
            }
            return 0;
        }));
    }
    gate.open();
    for (pid_t child : children)
    {
        EXPECT_EQ(kntest::waitChild(child), 0);
    }

    auto check = [&](const std::string& text, const std::string& prefix) {
        const std::regex pattern(prefix);
        std::vector<int> counts(writers);
        for (const auto& line : lines(text))
        {
            // The body is the run of one letter that ends the line.
            size_t start = line.find_last_of(" -") + 1;
            ASSERT_TRUE(std::regex_match(line.substr(0, start), pattern))
                << line.substr(0, 80);
            std::string body = line.substr(start);
            ASSERT_FALSE(body.empty());
            int w = body[0] - 'a';
            ASSERT_TRUE(w >= 0 && w < writers) << line.substr(0, 80);
            EXPECT_EQ(body,
                      std::string(static_cast<size_t>(200 + 97 * w), body[0]));
            ++counts[static_cast<size_t>(w)];
        }
        for (int count : counts)
        {
            EXPECT_EQ(count, perWriter);
        }
    };
    check(readText("/tmp/log"), R"(\[\d+\] )" + logTimeText + " ");
    check(readText("/run/BMCInfo/Development/Log/bmc/log_info"),
          ctimeText + "-");
}

} // namespace
