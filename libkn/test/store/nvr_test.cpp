// NVR records and whole-file locks between processes.
#include "libkn/lock.h"

#include "child.hpp"
#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::readText;

class Nvr : public kntest::FolderTest
{
  protected:
    Nvr() : FolderTest("libkn-nvr") {}

    std::string file = path("nvr.bin");
};

TEST_F(Nvr, ReadsBackAtTheOffsetWritten)
{
    EXPECT_EQ(API_WriteNVR(file.c_str(), 0, 4, "head"), 4);
    EXPECT_EQ(API_WriteNVR(file.c_str(), 100, 6, "record"), 6);

    char buffer[16] = {};
    EXPECT_EQ(API_ReadNVR(file.c_str(), 100, 6, buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), "record");
    EXPECT_EQ(API_ReadNVR(file.c_str(), 0, 4, buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "head");
    EXPECT_EQ(API_ReadNVR(file.c_str(), 102, 16, buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "cord");
    EXPECT_EQ(API_ReadNVR(file.c_str(), 500, 16, buffer), 0);
}

TEST_F(Nvr, WriteBeyondTheEndLeavesZeros)
{
    EXPECT_EQ(API_WriteNVR(file.c_str(), 10, 2, "ab"), 2);
    EXPECT_EQ(readText(file), std::string(10, '\0') + "ab");
    EXPECT_EQ(API_WriteNVR(file.c_str(), 1, 3, "xyz"), 3);
    EXPECT_EQ(readText(file),
              std::string("\0xyz", 4) + std::string(6, '\0') + "ab");
}

TEST_F(Nvr, ReadOfAMissingFileCreatesItEmpty)
{
    char buffer[8];
    EXPECT_EQ(API_ReadNVR(file.c_str(), 0, 8, buffer), 0);
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(Nvr, OtherModesRead)
{
    API_WriteNVR(file.c_str(), 0, 3, "abc");
    char buffer[3] = {};
    EXPECT_EQ(ReadWriteNVR(file.c_str(), buffer, 1, 2, 7), 2);
    EXPECT_EQ(std::string(buffer, 2), "bc");
    EXPECT_EQ(readText(file), "abc");
}

TEST_F(Nvr, BadArgumentsAreRefused)
{
    char buffer[8] = {};
    EXPECT_EQ(API_WriteNVR(file.c_str(), -1, 2, "ab"), -1);
    EXPECT_EQ(API_WriteNVR(file.c_str(), 0, -2, "ab"), -1);
    EXPECT_EQ(API_ReadNVR(file.c_str(), -4, 2, buffer), -1);
    EXPECT_EQ(API_ReadNVR(file.c_str(), 0, -1, buffer), -1);
    EXPECT_EQ(API_ReadNVR(nullptr, 0, 1, buffer), -1);
    EXPECT_EQ(API_WriteNVR(file.c_str(), 0, 1, nullptr), -1);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(API_WriteNVR((dir / "no/dir").c_str(), 0, 1, "x"), -1);
}

TEST_F(Nvr, WriterWaitsForTheReadLockHolder)
{
    API_WriteNVR(file.c_str(), 0, 3, "old");
    int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(file_lock_read(fd), 0);

    pid_t writer = kntest::forkChild(
        [&] { return API_WriteNVR(file.c_str(), 0, 3, "new") == 3 ? 0 : 1; });
    ASSERT_TRUE(kntest::waitSleeping(writer));
    EXPECT_EQ(readText(file), "old");

    EXPECT_EQ(file_unlock(fd), 0);
    EXPECT_EQ(kntest::waitChild(writer), 0);
    EXPECT_EQ(readText(file), "new");
    ::close(fd);
}

// Whether another process could take a whole-file lock of the type now.
bool otherProcessCanLock(const std::string& path, int type)
{
    pid_t child = kntest::forkChild([&] {
        int fd = ::open(path.c_str(), O_RDWR);
        int result = fcntl_lock_util(fd, F_SETLK, type, 0, SEEK_SET, 0);
        return result == 0 ? 0 : (errno == EAGAIN || errno == EACCES ? 1 : 2);
    });
    auto status = kntest::waitChild(child);
    EXPECT_TRUE(status == 0 || status == 1);
    return status == 0;
}

TEST_F(Nvr, FileLocksBetweenProcesses)
{
    API_WriteNVR(file.c_str(), 0, 1, "x");
    int fd = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);

    ASSERT_EQ(file_lock_write(fd), 0);
    EXPECT_FALSE(otherProcessCanLock(file, F_RDLCK));
    EXPECT_FALSE(otherProcessCanLock(file, F_WRLCK));

    ASSERT_EQ(file_lock_read(fd), 0);
    EXPECT_TRUE(otherProcessCanLock(file, F_RDLCK));
    EXPECT_FALSE(otherProcessCanLock(file, F_WRLCK));

    ASSERT_EQ(file_unlock(fd), 0);
    EXPECT_TRUE(otherProcessCanLock(file, F_WRLCK));
    ::close(fd);

    EXPECT_EQ(file_lock_write(-1), -1);
}

} // namespace
