#include "testkit/main.hpp"
#include "testkit/sandbox.hpp"

#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace
{

// The root folder as the host sees it, opened before anything else: paths
// looked up from it cross the host's mounts, not the sandbox's.
int hostRoot = -1;

bool onHost(const std::string& path)
{
    return faccessat(hostRoot, path.c_str() + 1, F_OK, 0) == 0;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in),
            std::istreambuf_iterator<char>()};
}

class SandboxTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
    }
};

TEST_F(SandboxTest, WritesInOverlaysNeverReachTheHost)
{
    ASSERT_TRUE(std::filesystem::is_directory("/var/lib/testkit-probe/deep"));
    EXPECT_FALSE(onHost("/var/lib/testkit-probe"));

    std::ofstream("/var/lib/testkit-probe/deep/file") << "inside";
    EXPECT_EQ(readFile("/var/lib/testkit-probe/deep/file"), "inside");
    EXPECT_FALSE(onHost("/var/lib/testkit-probe/deep/file"));

    // /tmp holds the sandbox's own scratch folder while it is set up.
    const std::string tmpFile =
        "/tmp/testkit-probe-" + std::to_string(getpid());
    std::ofstream(tmpFile) << "x";
    EXPECT_TRUE(std::filesystem::exists(tmpFile));
    EXPECT_FALSE(onHost(tmpFile));
}

TEST_F(SandboxTest, HostContentStaysVisibleWithItsMode)
{
    struct stat inside
    {};
    struct stat host
    {};
    ASSERT_EQ(stat("/tmp", &inside), 0);
    ASSERT_EQ(fstatat(hostRoot, "tmp", &host, 0), 0);
    EXPECT_EQ(inside.st_mode & 07777, host.st_mode & 07777);
    EXPECT_EQ(inside.st_uid, host.st_uid);
    EXPECT_TRUE(std::filesystem::exists("/var/lib/dpkg/status"));
}

TEST_F(SandboxTest, MountsBelowAnOverlayStayInPlace)
{
    // main mounted a tmpfs on /var/cache before the overlay of /var.
    EXPECT_EQ(readFile("/var/cache/testkit-marker"), "kept");
    EXPECT_FALSE(onHost("/var/cache/testkit-marker"));
}

TEST_F(SandboxTest, SemaphoresArePrivate)
{
    const std::string name = "/testkit-probe-" + std::to_string(getpid());
    sem_t* sem = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 1);
    ASSERT_NE(sem, SEM_FAILED);
    EXPECT_TRUE(std::filesystem::exists("/dev/shm/sem." + name.substr(1)));
    EXPECT_FALSE(onHost("/dev/shm/sem." + name.substr(1)));
    sem_close(sem);
    sem_unlink(name.c_str());
}

TEST_F(SandboxTest, IsEnteredOnlyOnce)
{
    EXPECT_NE(testkit::enterSandbox({}), "");
    EXPECT_TRUE(testkit::sandboxed());
}

} // namespace

int main(int argc, char** argv)
{
    hostRoot = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    // A mount below /var, in a namespace of its own so the host never sees
    // it; when this is refused the sandbox is refused as well.
    if (unshare(CLONE_NEWNS) == 0 &&
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", "/var/cache", "tmpfs", 0, "mode=0755") == 0)
    {
        std::ofstream("/var/cache/testkit-marker") << "kept";
    }
    return testkit::runTests(argc, argv,
                             {.overlays = {"/tmp", "/var"},
                              .mkdirs = {"/var/lib/testkit-probe/deep"},
                              .ipc = true,
                              .journal = false},
                             false);
}
