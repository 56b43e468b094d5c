// SEL records in the private main segment, and the SEL file in the
// sandbox's /var, moved onto its /media (another file system).
#include "libkn/sel.h"
#include "libkn/shm.h"

#include "child.hpp"
#include "files.hpp"
#include "testkit/sandbox.hpp"

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using kntest::readText;

const fs::path folder = "/var/BMCInfo/sel";
const fs::path archive = KN_SEL_ARCHIVE_FOLDER;
// 2012-01-01 00:03:45 UTC.
constexpr time_t stamp = 1325376225;

class SelFile : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        fs::remove_all(folder);
        fs::remove_all(archive);
        const char* zone = std::getenv("TZ");
        savedZone =
            zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
        ::setenv("TZ", "UTC0", 1);
        tzset();
    }
    void TearDown() override
    {
        if (savedZone)
        {
            ::setenv("TZ", savedZone->c_str(), 1);
        }
        else
        {
            ::unsetenv("TZ");
        }
        tzset();
    }

    std::optional<std::string> savedZone;
};

TEST_F(SelFile, RecordsInTheQueue)
{
    auto* base = static_cast<uint8_t*>(get_shm_address());
    ASSERT_NE(base, nullptr);
    uint8_t* queue = base + KN_SHM_SEL_QUEUE_OFFSET;
    std::fill(queue, queue + KN_SHM_SEL_SLOT_SIZE * KN_SHM_SEL_SLOT_COUNT, 0);

    EXPECT_EQ(SensorSELWrite(base, 0x31, 0, 0x04, 0x01, 0x52, 0x10, 0x20), 0);
    EXPECT_EQ(queue[KN_SEL_SLOT_FLAG], 1);
    EXPECT_EQ(
        Bytes(queue + KN_SEL_SLOT_RECORD, queue + KN_SEL_SLOT_RECORD + 17),
        (Bytes{0x21, 0x00, 0x02, 0xE1, 0xA2, 0xFF, 0x4E, 0x20, 0x00, 0x04, 0x04,
               0x31, 0x01, 0x52, 0x10, 0x20, 0x00}));
    for (int slot = 1; slot < KN_SHM_SEL_SLOT_COUNT; ++slot)
    {
        EXPECT_EQ(SensorSELWrite(base, 1, 0, 2, 3, 4, 5, 6), 0);
    }
    EXPECT_EQ(SensorSELWrite(base, 1, 0, 2, 3, 4, 5, 6), -1);
    EXPECT_EQ(SensorSELWrite(nullptr, 1, 0, 2, 3, 4, 5, 6), -1);
}

TEST_F(SelFile, LinesInAFolderMadeForThem)
{
    mode_t mask = ::umask(022);
    EXPECT_EQ(save_sel_to_file(7, stamp, 3, "Fan OK", folder.c_str()), 0);
    ::umask(mask);
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all,
              fs::perms(0755));
    EXPECT_EQ(save_sel_to_file(8, stamp, 4, "PSU\r\n#9 1 forged\ttab",
                               folder.c_str()),
              0);
    std::string line(300, 'x');
    EXPECT_EQ(save_sel_to_file(10, stamp, 5, line.c_str(), folder.c_str()), 0);
    std::string text = readText(folder / KN_SEL_FILE_NAME);
    std::string cut = "#10 5 " + std::string(199 - 2 - 6, 'x') + "\r\n";
    EXPECT_EQ(text, "#7 3 Fan OK\r\n#8 4 PSU  #9 1 forged\ttab\r\n" + cut);
    EXPECT_EQ(cut.size(), 199u);

    std::string deep = "/var/" + std::string(200, 'd');
    EXPECT_EQ(save_sel_to_file(1, stamp, 1, "x", deep.c_str()), -1);
    EXPECT_EQ(save_sel_to_file(1, stamp, 1, "x", "/proc/no/such"), -1);
    EXPECT_EQ(save_sel_to_file(1, stamp, 1, nullptr, folder.c_str()), -1);
}

// A full file is moved onto the card, which lies on another file system:
// the same bytes under the time's name, none left behind.
TEST_F(SelFile, FullFileMovesOntoTheCard)
{
    fs::create_directories(folder);
    struct stat var
    {};
    struct stat card
    {};
    ASSERT_EQ(::stat(folder.c_str(), &var), 0);
    ASSERT_EQ(::stat("/media/card", &card), 0);
    ASSERT_NE(var.st_dev, card.st_dev); // rename cannot move it
    const fs::path file = folder / KN_SEL_FILE_NAME;
    const std::string line = "#7 3 Fan OK\r\n";
    auto fill = [&](size_t size) {
        std::string bytes(size - line.size(), 'a');
        bytes[0] = 'b';
        std::ofstream(file, std::ios::binary) << bytes;
        return bytes + line;
    };

    // Without the card's folder the file goes on growing.
    fill(KN_SEL_FILE_LIMIT);
    EXPECT_EQ(save_sel_to_file(7, stamp, 3, "Fan OK", folder.c_str()), 0);
    EXPECT_EQ(fs::file_size(file), KN_SEL_FILE_LIMIT);
    EXPECT_FALSE(fs::exists(archive));

    fs::create_directories(archive);
    fill(KN_SEL_FILE_LIMIT - 1);
    EXPECT_EQ(save_sel_to_file(7, stamp, 3, "Fan OK", folder.c_str()), 0);
    EXPECT_EQ(fs::file_size(file), KN_SEL_FILE_LIMIT - 1);
    EXPECT_TRUE(fs::is_empty(archive));

    std::string content = fill(KN_SEL_FILE_LIMIT);
    EXPECT_EQ(save_sel_to_file(7, stamp, 3, "Fan OK", folder.c_str()), 0);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(readText(archive / "sel-20120101000345.log"), content);
    EXPECT_EQ(check_file_size(file.c_str(), stamp), 1);

    // Full again within the same second: a numbered archive beside the
    // first.
    EXPECT_EQ(fill(KN_SEL_FILE_LIMIT), content);
    EXPECT_EQ(save_sel_to_file(7, stamp, 3, "Fan OK", folder.c_str()), 0);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(readText(archive / "sel-20120101000345-1.log"), content);
}

// Two writers across a rotation onto a card of its own file system: each
// line lands once, in the one archive or in the new file; a card without
// room for the copy is found out before anything is copied.
TEST_F(SelFile, WritersTakeTurnsAcrossARotation)
{
    fs::create_directories(folder);
    fs::create_directories(archive);
    ASSERT_EQ(::mount("tmpfs", archive.c_str(), "tmpfs", 0, "size=64m"), 0);
    struct Unmount
    {
        ~Unmount()
        {
            ::umount2(archive.c_str(), MNT_DETACH);
        }
    } unmount;
    const fs::path file = folder / KN_SEL_FILE_NAME;
    const std::string pad(100, 'p');
    std::string before;
    size_t kept = 0;
    for (; before.size() < KN_SEL_FILE_LIMIT - 200000; ++kept)
    {
        before += "#" + std::to_string(kept) + " 0 " + pad + "\r\n";
    }
    std::ofstream(file, std::ios::binary) << before;

    constexpr int lines = 1500;
    kntest::Gate gate;
    std::vector<pid_t> writers;
    for (int writer = 1; writer <= 2; ++writer)
    {
        writers.push_back(kntest::forkChild([&, writer] {
            gate.wait();
            for (int i = 0; i < lines; ++i)
            {
                if (save_sel_to_file(i, stamp, writer, pad.c_str(),
                                     folder.c_str()) != 0)
                {
                    return 1;
                }
            }
            return 0;
        }));
    }
    gate.open();
    for (pid_t writer : writers)
    {
        EXPECT_EQ(kntest::waitChild(writer, std::chrono::seconds(120)), 0);
    }
    std::vector<fs::path> archives(fs::directory_iterator(archive), {});
    ASSERT_EQ(archives.size(), 1u);
    std::istringstream all(readText(archives[0]) + readText(file));
    std::map<std::string, int> seen;
    for (std::string line; std::getline(all, line);)
    {
        ++seen[line];
    }
    EXPECT_EQ(seen.size(), kept + 2 * lines);
    for (const auto& [line, count] : seen)
    {
        EXPECT_EQ(count, 1) << line;
    }

    ASSERT_EQ(::umount2(archive.c_str(), 0), 0);
    ASSERT_EQ(::mount("tmpfs", archive.c_str(), "tmpfs", 0, "size=1m"), 0);
    std::ofstream(file, std::ios::binary) << before << std::string(200000, 'x');
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_file_size(file.c_str(), stamp), 0);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "check_file_size: no room in [" KN_SEL_ARCHIVE_FOLDER
              "] for the file[" +
                  file.string() + "]\n");
    EXPECT_TRUE(fs::is_empty(archive));
    EXPECT_GE(fs::file_size(file), KN_SEL_FILE_LIMIT);
}

} // namespace
