// One-line and whole-file reads and writes, copies, directories and the
// BIOS image test, in a private temporary folder.
#include "libkn/misc.h"

#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::readText;
using kntest::writeText;

std::unique_ptr<char[]> heapBuffer(size_t size, char fill = '#')
{
    std::unique_ptr<char[]> buffer(new char[size]);
    std::memset(buffer.get(), fill, size);
    return buffer;
}

class Files : public kntest::FolderTest
{
  protected:
    Files() : FolderTest("libkn-files") {}
};

TEST_F(Files, IntegerFiles)
{
    std::string file = path("value");
    EXPECT_EQ(write_file_value(file.c_str(), -42), 0);
    EXPECT_EQ(readText(file), "-42");
    EXPECT_EQ(read_file_value(file.c_str()), -42);

    int value = 0;
    writeText(file, "17\n99\n");
    EXPECT_EQ(read_file_value_error(file.c_str(), &value), 0);
    EXPECT_EQ(value, 17);

    writeText(file, "");
    EXPECT_EQ(read_file_value(file.c_str()), 0);
    EXPECT_EQ(read_file_value_error(file.c_str(), &value), -1);

    // A file holding -1 and a missing file look alike.
    writeText(file, "-1");
    EXPECT_EQ(read_file_value(file.c_str()), -1);
    EXPECT_EQ(read_file_value(path("missing").c_str()), -1);
    EXPECT_EQ(read_file_value_error(path("missing").c_str(), &value), -1);
    EXPECT_EQ(read_file_value(nullptr), -1);
    EXPECT_EQ(read_file_value_error(nullptr, &value), -1);
    EXPECT_EQ(write_file_value(nullptr, 1), -1);
}

TEST_F(Files, ReplaceAndAppend)
{
    std::string file = path("text");
    writeText(file, "old content that is long");
    EXPECT_EQ(writeFile(file.c_str(), "new"), 0);
    EXPECT_EQ(readText(file), "new");
    EXPECT_EQ(write_file_str_truncate(file.c_str(), "four"), 4);
    EXPECT_EQ(readText(file), "four");
    EXPECT_EQ(write_file_str(file.c_str(), "+tail", 5), 5);
    EXPECT_EQ(readText(file), "four+tail");
    EXPECT_EQ(write_file_str(path("created").c_str(), "x", 1), 1);
    EXPECT_EQ(readText(path("created")), "x");

    const uint8_t binary[] = {0, 1, 2, 0xFF, 0};
    EXPECT_EQ(write_bin_value(file.c_str(), binary, sizeof(binary)), 0);
    EXPECT_EQ(readText(file), std::string("\0\1\2\xFF\0", 5));
}

TEST_F(Files, BadArgumentsAreRefused)
{
    std::string file = path("text");
    writeText(file, "keep");
    EXPECT_EQ(write_file_str(file.c_str(), "x", 0), -1);
    EXPECT_EQ(write_file_str(file.c_str(), "x", -3), -1);
    EXPECT_EQ(write_bin_value(file.c_str(), "x", 0), -1);
    EXPECT_EQ(write_bin_value(file.c_str(), nullptr, 1), -1);
    EXPECT_EQ(writeFile(file.c_str(), nullptr), -1);
    EXPECT_EQ(write_file_str_truncate(nullptr, "x"), -1);
    EXPECT_EQ(readText(file), "keep");

    char buffer[8] = "same";
    EXPECT_EQ(read_file_str(file.c_str(), buffer, 0), -1);
    EXPECT_EQ(read_all_file(file.c_str(), buffer, -1), -1);
    EXPECT_EQ(read_file_str(file.c_str(), nullptr, 8), -1);
    EXPECT_STREQ(buffer, "same");
}

TEST_F(Files, FailedWritesAreReported)
{
    // Every write to /dev/full fails with ENOSPC.
    if (access("/dev/full", W_OK) != 0)
    {
        GTEST_SKIP() << "no /dev/full";
    }
    EXPECT_EQ(write_file_value("/dev/full", 5), -1);
    EXPECT_EQ(writeFile("/dev/full", "x"), -1);
    EXPECT_EQ(write_file_str("/dev/full", "x", 1), -1);
    EXPECT_EQ(write_bin_value("/dev/full", "x", 1), -1);
    std::string source = path("source");
    writeText(source, "data");
    EXPECT_EQ(copy_file_func(source.c_str(), "/dev/full"), -1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(write_bin_value(path("no/such/dir").c_str(), "x", 1), -1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " open " + path("no/such/dir") + " error.\n");
}

TEST_F(Files, ReadFirstLineWithinTheBuffer)
{
    std::string file = path("lines");
    writeText(file, "first line\nsecond\n");
    auto buffer = heapBuffer(32);
    EXPECT_EQ(read_file_str(file.c_str(), buffer.get(), 32), 0);
    EXPECT_STREQ(buffer.get(), "first line\n");

    auto small = heapBuffer(6);
    EXPECT_EQ(read_file_str(file.c_str(), small.get(), 6), 0);
    EXPECT_STREQ(small.get(), "first");

    writeText(file, "");
    EXPECT_EQ(read_file_str(file.c_str(), buffer.get(), 32), 0);
    EXPECT_STREQ(buffer.get(), "");

    testing::internal::CaptureStdout();
    EXPECT_EQ(read_file_str(path("missing").c_str(), buffer.get(), 32), -1);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " open " + path("missing") + " error.\n");
}

TEST_F(Files, ReadAllAppendsAndDropsOneFinalNewline)
{
    std::string file = path("all");
    writeText(file, "one\ntwo\n\n");
    char buffer[64] = "pre:";
    EXPECT_EQ(read_all_file(file.c_str(), buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "pre:one\ntwo\n");
    EXPECT_EQ(read_all_file(path("missing").c_str(), buffer, 64), -1);
    EXPECT_EQ(read_all_file(nullptr, buffer, 64), -1);
}

TEST_F(Files, ReadAllIsCutToTheBuffer)
{
    std::string file = path("big");
    writeText(file, std::string(100, 'x') + "\n");
    auto buffer = heapBuffer(16);
    buffer[0] = '\0';
    EXPECT_EQ(read_all_file(file.c_str(), buffer.get(), 16), 0);
    EXPECT_EQ(std::string(buffer.get()), std::string(15, 'x'));

    std::strcpy(buffer.get(), "ab");
    EXPECT_EQ(read_all_file(file.c_str(), buffer.get(), 16), 0);
    EXPECT_EQ(std::string(buffer.get()), "ab" + std::string(13, 'x'));

    // A buffer already full keeps its text, cut to leave room for the end.
    auto full = heapBuffer(4, 'y');
    EXPECT_EQ(read_all_file(file.c_str(), full.get(), 4), 0);
    EXPECT_STREQ(full.get(), "yyy");
}

TEST_F(Files, Copy)
{
    std::string source = path("source");
    std::string binary(200000, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
    {
        binary[i] = static_cast<char>(i * 31);
    }
    writeText(source, binary);
    writeText(path("target"), "previous longer content");
    EXPECT_EQ(copy_file_func(source.c_str(), path("target").c_str()), 0);
    EXPECT_EQ(readText(path("target")), binary);

    testing::internal::CaptureStdout();
    EXPECT_EQ(copy_file_func(path("missing").c_str(), path("t2").c_str()), 128);
    EXPECT_EQ(copy_file_func(source.c_str(), path("no/dir/t").c_str()), 128);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "copy_file_func: can't open file[" + path("missing") +
                  "] \ncopy_file_func: can't open file[" + path("no/dir/t") +
                  "] \n");
    EXPECT_FALSE(fs::exists(path("t2")));
}

// A file that opens but cannot be read has no value and no text; an
// empty file reads as 0 and "".
TEST_F(Files, ReadErrorsAreNotValues)
{
    std::string folder = path("folder");
    fs::create_directory(folder);
    EXPECT_EQ(read_file_value(folder.c_str()), -1);
    auto buffer = heapBuffer(16);
    EXPECT_EQ(read_file_str(folder.c_str(), buffer.get(), 16), -1);
    EXPECT_STREQ(buffer.get(), "");
    char all[16] = "";
    EXPECT_EQ(read_all_file(folder.c_str(), all, sizeof(all)), -1);
    EXPECT_STREQ(all, "");

    writeText(path("empty"), "");
    EXPECT_EQ(read_file_value(path("empty").c_str()), 0);
    EXPECT_EQ(read_all_file(path("empty").c_str(), all, sizeof(all)), 0);
}

TEST_F(Files, CopyOntoItselfKeepsTheFile)
{
    std::string file = path("self");
    writeText(file, "keep these bytes");
    fs::create_symlink(file, path("link"));
    EXPECT_EQ(copy_file_func(file.c_str(), file.c_str()), 0);
    EXPECT_EQ(copy_file_func(path("link").c_str(), file.c_str()), 0);
    EXPECT_EQ(copy_file_func(file.c_str(), path("link").c_str()), 0);
    EXPECT_EQ(readText(file), "keep these bytes");
}

TEST_F(Files, SizesAndExistence)
{
    writeText(path("five"), "12345");
    EXPECT_EQ(get_file_size(path("five").c_str()), 5);
    EXPECT_EQ(get_file_size(path("missing").c_str()), 0);
    EXPECT_EQ(get_file_size(nullptr), 0);

    EXPECT_EQ(file_existed(path("five").c_str()), 1);
    EXPECT_EQ(file_existed(dir.path().c_str()), 1);
    EXPECT_EQ(file_existed(path("missing").c_str()), 0);
    EXPECT_EQ(file_existed(nullptr), 0);

    EXPECT_EQ(path_create(path("made").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(path("made")));
    EXPECT_EQ(path_create(path("made").c_str()), 0);
    EXPECT_EQ(path_create(path("five").c_str()), 0);
    EXPECT_EQ(path_create(path("a/b").c_str()), -1);
    EXPECT_EQ(path_create(nullptr), -1);
}

TEST_F(Files, FirstSubdirectoryContainingText)
{
    fs::create_directory(dir / "card-7");
    writeText(path("card-file"), "");
    fs::create_directory(dir / "other");
    auto name = heapBuffer(KN_FILE_NAME_SIZE);
    EXPECT_EQ(get_file_name(dir.path().c_str(), "card", name.get()), 0);
    EXPECT_STREQ(name.get(), "card-7");
    EXPECT_EQ(get_file_name(dir.path().c_str(), "file", name.get()), 1);
    EXPECT_EQ(get_file_name(path("missing").c_str(), "x", name.get()), -1);

    std::string longest(255, 'n');
    fs::create_directory(dir / longest);
    EXPECT_EQ(get_file_name(dir.path().c_str(), "nnn", name.get()), 0);
    EXPECT_EQ(std::string(name.get()), longest);
}

TEST_F(Files, BiosMarkerPlaces)
{
    const uint8_t marker[32] = {0,    0,    0,    0,    0,    0,    0,    0,
                                0,    0,    0,    0,    0,    0,    0,    0,
                                0x8D, 0x2B, 0xF1, 0xFF, 0x96, 0x76, 0x8B, 0x4C,
                                0xA9, 0x85, 0x27, 0x47, 0x07, 0x5B, 0x4F, 0x50};
    auto image = [&](const std::string& name, off_t size, off_t at) {
        std::string file = path(name);
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, size), 0);
        if (at >= 0)
        {
            EXPECT_EQ(::pwrite(fd, marker, sizeof(marker), at), 32);
        }
        ::close(fd);
        return file;
    };
    constexpr off_t mib = 1 << 20;
    EXPECT_EQ(bios_is_legal(image("at7", 16 * mib, 7 * mib).c_str()), 0);
    EXPECT_EQ(bios_is_legal(image("at15", 16 * mib, 15 * mib).c_str()), 0);
    EXPECT_EQ(bios_is_legal(image("off", 16 * mib, 9 * mib + 1).c_str()), 1);
    EXPECT_EQ(bios_is_legal(image("none", 16 * mib, -1).c_str()), 1);
    EXPECT_EQ(bios_is_legal(image("short", 6 * mib, -1).c_str()), 1);
    EXPECT_EQ(bios_is_legal(path("missing").c_str()), 1);
    EXPECT_EQ(bios_is_legal(nullptr), 1);
}

} // namespace
