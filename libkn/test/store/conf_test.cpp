// Key-value and ini files in a private temporary folder.
#include "libkn/conf.h"
#include "libkn/json.h"

#include "child.hpp"
#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::readText;
using kntest::writeText;

ino_t inodeOf(const fs::path& path)
{
    struct stat st
    {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class ConfFiles : public kntest::FolderTest
{
  protected:
    ConfFiles() : FolderTest("libkn-conf") {}

    // Names in the folder: a rewrite leaves no temporary file behind.
    std::set<std::string> entries() const
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path()))
        {
            names.insert(entry.path().filename().string());
        }
        return names;
    }
};

TEST(ConfText, CommentLinesAndTrimming)
{
    EXPECT_EQ(check_comment_line("   # note"), 1);
    EXPECT_EQ(check_comment_line("key=#value"), 0);
    EXPECT_EQ(check_comment_line("   "), 0);
    EXPECT_EQ(check_comment_line("\t# a tab is not a space"), 0);
    EXPECT_EQ(check_comment_line(nullptr), -1);

    char text[] = "   value \t\r\n";
    EXPECT_EQ(get_valid_string(text), 0);
    EXPECT_STREQ(text, "value");
    char inner[] = "  two words  ";
    EXPECT_EQ(get_valid_string(inner), 0);
    EXPECT_STREQ(inner, "two words");
    char blanks[] = " \n";
    EXPECT_EQ(get_valid_string(blanks), 0);
    EXPECT_STREQ(blanks, "");
    EXPECT_EQ(get_valid_string(nullptr), -1);
}

TEST_F(ConfFiles, LookupTrimsAndCutsToTheOutput)
{
    std::string file = path("settings");
    writeText(file, "# comment\nno separator here\n  name = bmc one \r\n"
                    "empty=\nname=second\nport:623\n");
    char value[KN_CONF_VALUE_SIZE];
    EXPECT_EQ(read_conf_value(file.c_str(), "name", value), 0);
    EXPECT_STREQ(value, "bmc one");
    EXPECT_EQ(read_conf_value(file.c_str(), "empty", value), 0);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(read_conf_value(file.c_str(), "port", value), -1);
    EXPECT_EQ(read_conf_value_safe(file.c_str(), "port", value, 4, ':'), 0);
    EXPECT_STREQ(value, "623");

    // The output is never written past its size.
    char small[6];
    std::memset(small, '#', sizeof(small));
    EXPECT_EQ(read_conf_value_safe(file.c_str(), "name", small, 4, '='), 0);
    EXPECT_STREQ(small, "bmc");
    EXPECT_EQ(std::string(small + 4, 2), "##");

    EXPECT_EQ(read_conf_value(path("missing").c_str(), "name", value), -1);
    EXPECT_EQ(read_conf_value_safe(file.c_str(), "name", value, 0, '='), -1);
}

TEST_F(ConfFiles, WriteReplacesTheFirstLineAndKeepsTheRest)
{
    std::string file = path("settings");
    const std::string before = "# header\nmode=1\nfree text\nmode=3\n";
    writeText(file, before);

    EXPECT_EQ(write_conf_value(file.c_str(), "mode", "7"), 0);
    EXPECT_EQ(readText(file), "# header\nmode=7\nfree text\nmode=3\n");

    // An equal value, spaces aside, leaves the file as it is.
    writeText(file, "a=1\n mode = 2 \nb=2\n");
    ino_t inode = inodeOf(file);
    EXPECT_EQ(write_conf_value(file.c_str(), "mode", "2"), 0);
    EXPECT_EQ(readText(file), "a=1\n mode = 2 \nb=2\n");
    EXPECT_EQ(inodeOf(file), inode);

    // A new key goes to the end; a last line without its line break stays
    // a line of its own.
    writeText(file, "a=1\nb=2");
    EXPECT_EQ(write_conf_value_safe(file.c_str(), "c", "3", ':'), 0);
    EXPECT_EQ(readText(file), "a=1\nb=2\nc:3\n");

    EXPECT_EQ(entries(), std::set<std::string>{"settings"});
}

TEST_F(ConfFiles, WriteCreatesAMissingFile)
{
    std::string file = path("new.conf");
    EXPECT_EQ(write_conf_value(file.c_str(), "key", "value"), 0);
    EXPECT_EQ(readText(file), "key=value\n");
    EXPECT_EQ(entries(), std::set<std::string>{"new.conf"});
}

// A file readable by its owner alone (a password, a community) stays so
// through every rewrite, and keeps its owner.
TEST_F(ConfFiles, RewritesKeepModeAndOwner)
{
    std::string file = path("secret.conf");
    writeText(file, "password=old\n");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    // As root the file can belong to someone else; the rewrite keeps that.
    const bool root = ::geteuid() == 0;
    const uid_t owner = root ? 65534 : ::geteuid();
    const gid_t group = root ? 65534 : ::getegid();
    ASSERT_EQ(::chown(file.c_str(), owner, group), 0);
    auto expectKept = [&](const std::string& what) {
        struct stat st
        {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << what;
        EXPECT_EQ(st.st_uid, owner) << what;
        EXPECT_EQ(st.st_gid, group) << what;
    };
    EXPECT_EQ(write_conf_value(file.c_str(), "password", "new"), 0);
    expectKept("write_conf_value");
    EXPECT_EQ(delete_conf_value_safe(file.c_str(), "password", '='), 0);
    expectKept("delete_conf_value_safe");

    cJSON* tree = cJSON_CreateObject();
    cJSON_AddStringToObject(tree, "password", "json");
    EXPECT_EQ(cjson_file_write(tree, file.c_str()), 0);
    expectKept("cjson_file_write");

    // A new file gets 0666 less the umask.
    mode_t saved = ::umask(027);
    EXPECT_EQ(write_conf_value(path("new.conf").c_str(), "a", "1"), 0);
    EXPECT_EQ(cjson_file_write(tree, path("new.json").c_str()), 0);
    ::umask(saved);
    cJSON_Delete(tree);
    for (const char* name : {"new.conf", "new.json"})
    {
        struct stat st
        {};
        ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u) << name;
    }
}

TEST_F(ConfFiles, ValuesLongerThanALineBufferAreKeptWhole)
{
    std::string file = path("long");
    std::string first(400, 'x');
    std::string second = first;
    second.back() = 'y';
    EXPECT_EQ(write_conf_value(file.c_str(), "key", first.c_str()), 0);
    // Values that agree in their first few hundred characters still differ.
    EXPECT_EQ(write_conf_value(file.c_str(), "key", second.c_str()), 0);
    EXPECT_EQ(readText(file), "key=" + second + "\n");
}

TEST_F(ConfFiles, TextThatWouldBreakTheFileIsRefused)
{
    std::string file = path("settings");
    writeText(file, "a=1\n");
    EXPECT_EQ(write_conf_value(file.c_str(), "b", "2\nroot=0"), -1);
    EXPECT_EQ(write_conf_value(file.c_str(), "b=c", "2"), -1);
    EXPECT_EQ(write_conf_value_safe(file.c_str(), "b", "2", '\0'), -1);
    EXPECT_EQ(write_conf_value(file.c_str(), nullptr, "2"), -1);
    EXPECT_EQ(readText(file), "a=1\n");

    // A folder where the file should be: nothing written, nothing left.
    fs::create_directory(path("folder"));
    EXPECT_EQ(write_conf_value(path("folder").c_str(), "b", "2"), -1);
    EXPECT_EQ(entries(), (std::set<std::string>{"folder", "settings"}));
}

TEST_F(ConfFiles, DeleteRemovesEveryLineOfTheKey)
{
    std::string file = path("settings");
    writeText(file, "mode=1\nother=2\n mode =3\nmodes=4\n");
    EXPECT_EQ(delete_conf_value_safe(file.c_str(), "mode", '='), 0);
    EXPECT_EQ(readText(file), "other=2\nmodes=4\n");

    ino_t inode = inodeOf(file);
    EXPECT_EQ(delete_conf_value_safe(file.c_str(), "mode", '='), 0);
    EXPECT_EQ(inodeOf(file), inode);
    EXPECT_EQ(delete_conf_value_safe(path("missing").c_str(), "mode", '='), 0);
    EXPECT_FALSE(fs::exists(path("missing")));
    EXPECT_EQ(entries(), std::set<std::string>{"settings"});
}

// A reader that holds the old file keeps reading it whole: the new content
// goes to a new file.
TEST_F(ConfFiles, RewritesNeverChangeTheOldFileInPlace)
{
    std::string file = path("settings");
    writeText(file, "a=1\nb=2\n");
    int held = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    EXPECT_EQ(write_conf_value(file.c_str(), "a", "9"), 0);
    EXPECT_EQ(replace_file_value(file.c_str(), "c=3", "b=2"), 0);

    char old[32] = {};
    EXPECT_EQ(::pread(held, old, sizeof(old) - 1, 0), 8);
    EXPECT_STREQ(old, "a=1\nb=2\n");
    ::close(held);
    EXPECT_EQ(readText(file), "a=9\nc=3\n");
}

TEST_F(ConfFiles, ReplaceTakesAnyLengthAndTheFirstOccurrence)
{
    std::string file = path("text");
    writeText(file, "head OLD middle OLD tail");
    std::string longer(1000, 'n');
    EXPECT_EQ(replace_file_value(file.c_str(), longer.c_str(), "OLD"), 0);
    EXPECT_EQ(readText(file), "head " + longer + " middle OLD tail");

    ino_t inode = inodeOf(file);
    EXPECT_EQ(replace_file_value(file.c_str(), "x", "absent"), 1);
    EXPECT_EQ(inodeOf(file), inode);
    EXPECT_EQ(replace_file_value(path("missing").c_str(), "x", "y"), -1);
    EXPECT_EQ(replace_file_value(file.c_str(), "x", ""), -1);
    EXPECT_EQ(entries(), std::set<std::string>{"text"});
}

// Writers in several processes, all in the same second: every change
// survives and the file stays well formed.
TEST_F(ConfFiles, ConcurrentWritersLoseNothing)
{
    std::string file = path("shared");
    writeText(file, "# shared settings\n");
    constexpr int writers = 8;
    constexpr int keysEach = 10;
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w)
    {
        children.push_back(kntest::forkChild([&, w] {
            gate.wait();
            int failures = 0;
            for (int k = 0; k < keysEach; ++k)
            {
                std::string key =
                    "w" + std::to_string(w) + "k" + std::to_string(k);
                std::string value = std::to_string(w * 100 + k);
                failures += write_conf_value(file.c_str(), key.c_str(),
                                             value.c_str()) != 0;
                failures +=
                    write_conf_value(file.c_str(), "last", value.c_str()) != 0;
            }
            return failures;
        }));
    }
    gate.open();
    for (pid_t child : children)
    {
        EXPECT_EQ(kntest::waitChild(child), 0);
    }

    char value[KN_CONF_VALUE_SIZE];
    for (int w = 0; w < writers; ++w)
    {
        for (int k = 0; k < keysEach; ++k)
        {
            std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
            ASSERT_EQ(read_conf_value(file.c_str(), key.c_str(), value), 0)
                << key;
            EXPECT_EQ(std::string(value), std::to_string(w * 100 + k));
        }
    }
    std::string text = readText(file);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              1 + writers * keysEach + 1);
    EXPECT_EQ(entries(), std::set<std::string>{"shared"});
}

TEST_F(ConfFiles, IniSectionsAndKeys)
{
    std::string file = path("board.ini");
    writeText(file, "[general]\n"
                    "fans=4\n"
                    "[sensors]\n"
                    "count = 12   # all of them\n"
                    "countdown=3\n"
                    "label= inlet \n"
                    "flag\n"
                    "[later]\n"
                    "depth=9\n");
    const char* ini = file.c_str();
    EXPECT_STREQ(GetIniKeyString("sensors", "count", ini), " 12");
    EXPECT_EQ(GetIniKeyInt("sensors", "count", ini), 12);
    // The key is compared as a prefix of the line.
    EXPECT_STREQ(GetIniKeyString("sensors", "countd", ini), "3\n");
    EXPECT_STREQ(GetIniKeyString("sensors", "label", ini), " inlet \n");
    EXPECT_EQ(GetIniKeyString("sensors", "flag", ini), nullptr);
    // A later section does not end the search.
    EXPECT_EQ(GetIniKeyInt("sensors", "depth", ini), 9);
    EXPECT_EQ(GetIniKeyInt("general", "fans", ini), 4);
    EXPECT_EQ(GetIniKeyString("absent", "fans", ini), nullptr);
    EXPECT_EQ(GetIniKeyString("later", "fans", ini), nullptr);

    testing::internal::CaptureStdout();
    EXPECT_EQ(GetIniKeyString("sensors", "count", path("none").c_str()),
              nullptr);
    EXPECT_EQ(GetIniKeyInt("sensors", "count", path("none").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "have   no   such   file have   no   such   file ");
}

} // namespace
