// Interface state, bonding mode and IPv6 texts, on a veth pair of the
// test's own network namespace.
#include "libkn/net.h"

#include "files.hpp"
#include "net_namespace.hpp"
#include "testkit/emulator.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/wait.hpp"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kntest::readText;

bool run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

class Interfaces : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        if (kntest::privateNetwork())
        {
            pairMade = run("ip link add kn0 type veth peer name kn1");
        }
    }

    void SetUp() override
    {
        if (!kntest::privateNetwork())
        {
            GTEST_SKIP() << kntest::networkRefusal;
        }
        ASSERT_TRUE(pairMade);
        ASSERT_TRUE(run("ip link set kn0 down && ip link set kn1 down"));
    }

    static inline bool pairMade = false;
};

TEST_F(Interfaces, UpAndDown)
{
    EXPECT_EQ(net_enable_get("kn0"), 0);
    EXPECT_EQ(if_updown("kn0", 1), 0);
    EXPECT_EQ(net_enable_get("kn0"), 1);
    // Another request writes the flags back as they were.
    EXPECT_EQ(if_updown("kn0", 5), 0);
    EXPECT_EQ(net_enable_get("kn0"), 1);
    EXPECT_EQ(if_updown("kn0", 0), 0);
    EXPECT_EQ(net_enable_get("kn0"), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(if_updown("absent0", 1), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("SIOCGIFFLAGS"),
              std::string::npos);
    EXPECT_EQ(if_updown(nullptr, 1), -1);
    EXPECT_EQ(net_enable_get("absent0"), -1);
}

TEST_F(Interfaces, AliasesActOnTheirBase)
{
    EXPECT_EQ(net_enable_set("kn0:1", 1), 0);
    EXPECT_EQ(net_enable_get("kn0"), 1);
    EXPECT_EQ(net_enable_set("kn0:1", 1), 0); // already up
    EXPECT_EQ(net_enable_set("kn0", 0), 0);
    EXPECT_EQ(net_enable_get("kn0"), 0);
    EXPECT_EQ(net_enable_set("kn0", 2), -1);
    EXPECT_EQ(net_enable_set("absent0:1", 1), -1);
}

TEST_F(Interfaces, LinkFollowsThePeer)
{
    ASSERT_EQ(if_updown("kn0", 1), 0);
    EXPECT_EQ(net_link_get("kn0"), 0);
    ASSERT_EQ(if_updown("kn1", 1), 0);
    EXPECT_TRUE(
        testkit::waitUntil([] { return net_link_get("kn0") == 1; }, 10s));
    EXPECT_EQ(net_link_get("absent0"), -1);
}

TEST_F(Interfaces, IndexSpeedAndAddress)
{
    EXPECT_EQ(net_index_get("kn0"), static_cast<int>(if_nametoindex("kn0")));
    EXPECT_EQ(net_index_get("absent0"), -1);
    // qemu-user passes no SIOCETHTOOL request on to the kernel.
    if (!testkit::emulated())
    {
        EXPECT_EQ(net_speed_get("kn0"), 10000); // what veth reports
    }
    EXPECT_EQ(net_speed_get("lo"), -1); // no link settings

    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(set_mac_addr("kn0", mac), 0);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "kn0");
    ASSERT_EQ(::ioctl(fd, SIOCGIFHWADDR, &request), 0);
    ::close(fd);
    EXPECT_EQ(std::memcmp(request.ifr_hwaddr.sa_data, mac, 6), 0);
    EXPECT_EQ(set_mac_addr("kn0", nullptr), -1);

    // A name longer than the kernel's limit is cut, not overrun.
    std::string longName(40, 'k');
    EXPECT_EQ(net_index_get(longName.c_str()), -1);
}

TEST(NetModes, CodesAndTexts)
{
    EXPECT_EQ(net_mode_atoi("eth"), 0);
    EXPECT_EQ(net_mode_atoi("BOND3"), 4);
    EXPECT_EQ(net_mode_atoi("bond6"), 7);
    EXPECT_EQ(net_mode_atoi("bond7"), 8);
    EXPECT_EQ(net_mode_atoi(nullptr), 8);
    EXPECT_STREQ(net_mode_itoa(2), "bond1");
    EXPECT_STREQ(net_mode_itoa(8), "unknow");
    EXPECT_STREQ(net_mode_itoa(-1), "unknow");
}

TEST(Ipv6Text, GroupsIntoWords)
{
    uint32_t words[4] = {};
    EXPECT_EQ(ipv6_parse("fe80::1", words), 0);
    EXPECT_EQ(words[0], 0xFE800000u);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(words[2], 0u);
    EXPECT_EQ(words[3], 1u);

    EXPECT_EQ(ipv6_parse("2001:db8:1:2:3:4:5:6", words), 0);
    EXPECT_EQ(words[0], 0x20010DB8u);
    EXPECT_EQ(words[1], 0x00010002u);
    EXPECT_EQ(words[3], 0x00050006u);
    EXPECT_EQ(ipv6_parse("fe80::a:b%eth1", words), 0);
    EXPECT_EQ(words[3], 0x000A000Bu);
    EXPECT_EQ(ipv6_parse("::ffff:10.1.2.3", words), 0);
    EXPECT_EQ(words[2], 0x0000FFFFu);
    EXPECT_EQ(words[3], 0x0A010203u);

    uint32_t kept[4] = {7, 7, 7, 7};
    EXPECT_EQ(ipv6_parse("fe80::1::2", kept), -1);
    EXPECT_EQ(ipv6_parse("not an address", kept), -1);
    EXPECT_EQ(kept[0], 7u);
    EXPECT_EQ(ipv6_parse(nullptr, kept), -1);
}

// The bonding status file, for this process only: a private folder over
// its own /proc/<pid>/net.
class Bonding : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        netFolder = "/proc/" + std::to_string(::getpid()) + "/net";
    }

    void TearDown() override
    {
        if (mounted)
        {
            ::umount2(netFolder.c_str(), MNT_DETACH);
        }
    }

    void status(const std::string& text)
    {
        if (!mounted)
        {
            ASSERT_EQ(::mount("tmpfs", netFolder.c_str(), "tmpfs", 0, nullptr),
                      0);
            mounted = true;
            fs::create_directories(netFolder + "/bonding");
        }
        std::ofstream(netFolder + "/bonding/bond0") << text;
    }

    std::string netFolder;
    bool mounted = false;
};

TEST_F(Bonding, ModeFromTheStatusFile)
{
    EXPECT_EQ(net_mode_get(), 0); // no bonding
    char slave[16];
    EXPECT_EQ(net_bond_active_slave(slave, sizeof(slave)), -1);

    status("Ethernet Channel Bonding Driver: v5.15\n\n"
           "Bonding Mode: adaptive load balancing\n"
           "Currently Active Slave: eth1\n");
    EXPECT_EQ(net_mode_get(), 7);
    EXPECT_EQ(net_bond_active_slave(slave, sizeof(slave)), 0);
    EXPECT_STREQ(slave, "eth1");
    EXPECT_EQ(net_bond_active_slave(slave, 3), 0);
    EXPECT_STREQ(slave, "et");

    status("Bonding Mode: Transmit Load Balancing\n");
    EXPECT_EQ(net_mode_get(), 6);
    status("Bonding Mode: fault-tolerance (active-backup)\n");
    EXPECT_EQ(net_mode_get(), 2);
    status("Bonding Mode: IEEE 802.3ad Dynamic link aggregation\n");
    EXPECT_EQ(net_mode_get(), 5);
    status("Bonding Mode: something new\n");
    EXPECT_EQ(net_mode_get(), 8);
    status("Slave Interface: eth0\n");
    EXPECT_EQ(net_mode_get(), 8);
}

TEST(BondingScript, CommandsPerMode)
{
    if (!testkit::sandboxed())
    {
        GTEST_SKIP() << testkit::sandboxRefusal();
    }
    fs::path calls = "/etc/default/obmc/bonding/calls";
    fs::path status = "/etc/default/obmc/bonding/status";
    std::ofstream(KN_BONDING_SCRIPT)
        << "echo \"$@\" >>" << calls.string() << "\nexit $(cat "
        << status.string() << ")\n";
    std::ofstream(status) << "0";
    EXPECT_EQ(net_mode_set(0), 0);
    EXPECT_EQ(net_mode_set(2), 0);
    EXPECT_EQ(net_mode_set(7), 0);
    EXPECT_EQ(net_mode_set(8), 0); // runs nothing
    std::ofstream(status) << "3";
    EXPECT_EQ(net_mode_set(1), -1);
    EXPECT_EQ(readText(calls), "disable\nenable mode1\nenable mode6\n"
                               "enable mode0\n");
}

} // namespace
