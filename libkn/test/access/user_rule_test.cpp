// User access rules: the files in the sandbox's private /etc, the client
// MAC from the ARP table of the test's own network namespace.
#include "libkn/common.h"

#include "failing_new.hpp"
#include "files.hpp"
#include "net_namespace.hpp"
#include "testkit/emulator.hpp"
#include "testkit/sandbox.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using kntest::readText;

const fs::path userFolder = KN_USER_FOLDER;
const fs::path rulesFile = KN_USER_RULES_FILE;
const fs::path privilegeFile = KN_USER_PRIVILEGE_FILE;

// "y/m/d H:M:S" of now plus an offset, in local time.
std::string localText(time_t offset)
{
    time_t when = std::time(nullptr) + offset;
    struct tm local
    {};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

size_t openDescriptors()
{
    return static_cast<size_t>(
        std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

std::string aroundNow()
{
    return localText(-3600) + "-" + localText(3600);
}

TEST(UserRuleText, Validators)
{
    EXPECT_TRUE(ipv4VerifyIp("10.0.255.1"));
    EXPECT_FALSE(ipv4VerifyIp("10.0.256.1"));
    EXPECT_FALSE(ipv4VerifyIp("10.0.1"));
    EXPECT_FALSE(ipv4VerifyIp("10.0.1.1.1"));
    EXPECT_FALSE(ipv4VerifyIp("10.0.1.x"));
    EXPECT_FALSE(ipv4VerifyIp("10..1.1"));
    EXPECT_FALSE(ipv4VerifyIp("10.0.1.1,0"));

    EXPECT_TRUE(macVerify("02:aA:bb"));
    EXPECT_TRUE(macVerify("02:aa:bb:cc:dd:ee"));
    EXPECT_FALSE(macVerify("02:aa:bb:cc"));
    EXPECT_FALSE(macVerify("2:aa:bb"));
    EXPECT_FALSE(macVerify("02:aa:bg"));

    struct tm date
    {};
    EXPECT_TRUE(convertString2Date("2024/2/29 13:45", date));
    EXPECT_EQ(date.tm_year, 124);
    EXPECT_EQ(date.tm_mon, 1);
    EXPECT_EQ(date.tm_mday, 29);
    EXPECT_EQ(date.tm_hour, 13);
    EXPECT_EQ(date.tm_min, 45);
    struct tm timeOnly
    {};
    EXPECT_TRUE(convertString2Date("08:30:15", timeOnly));
    EXPECT_EQ(timeOnly.tm_mday, 0);
    EXPECT_EQ(timeOnly.tm_sec, 15);
    struct tm untouched
    {};
    untouched.tm_mday = 7;
    for (const char* bad :
         {"2050/1/1", "2024/13/1", "2024/0/1", "2024/1/32", "2024/1", "noon",
          "2024/x/1", "2024/1/1 25:00", "2024/1/1 12"})
    {
        EXPECT_FALSE(convertString2Date(bad, untouched)) << bad;
        EXPECT_EQ(untouched.tm_mday, 7) << bad;
    }
}

TEST(UserRuleText, AddressMacAndTimeMatching)
{
    // Mask 24 of an IPv4 rule is prefix 120 of the IPv4-mapped address.
    EXPECT_EQ(ipCheckRule("::ffff:10.1.2.77", "::ffff:10.1.2.0", 120), 1);
    EXPECT_EQ(ipCheckRule("::ffff:10.1.3.77", "::ffff:10.1.2.0", 120), 0);
    EXPECT_EQ(ipCheckRule("10.1.2.77", "::ffff:10.1.2.0", 120), 1);
    EXPECT_EQ(ipCheckRule("2001:db8:ff::1", "2001:db8::", 33), 1);
    EXPECT_EQ(ipCheckRule("2001:db8:80ff::1", "2001:db8::", 33), 0);
    EXPECT_EQ(ipCheckRule("garbage", "2001:db8::", 8), 0);
    EXPECT_EQ(ipCheckRule("2001:db8::1", "2001:db8::1", 200), 0);

    EXPECT_EQ(macCheckRule("02:AA:BB:01:02:03", "02:aa:bb"), 1);
    EXPECT_EQ(macCheckRule("02:ab:bb:01:02:03", "02:aa:bb"), 0);
    EXPECT_EQ(macCheckRule("02:aa", "02:aa:bb"), 0);
    EXPECT_EQ(macCheckRule("02:aa", ""), 1);

    EXPECT_EQ(timeCheckRule(""), 1);
    EXPECT_EQ(timeCheckRule(aroundNow()), 1);
    EXPECT_EQ(timeCheckRule("2020/1/1 00:00-2020/1/2 00:00"), 0);
    EXPECT_EQ(timeCheckRule("00:00:00-23:59:59"), 1); // today, all day
    EXPECT_EQ(timeCheckRule("not a time"), 1);        // unreadable: valid

    EXPECT_EQ(getIpType("fe80::1"), 1);
    EXPECT_EQ(getIpType("::ffff:10.0.0.1"), 0);
}

TEST(UserRuleText, ClientAddressOfEachEndpoint)
{
    std::string ip;
    EXPECT_EQ(getIpByEndpoint("::ffff:10.0.0.5:52314", ip, INTERFACE_SSH), 0);
    EXPECT_EQ(ip, "::ffff:10.0.0.5");
    EXPECT_EQ(getIpByEndpoint("[2001:db8::7]:161", ip, INTERFACE_SNMP), 0);
    EXPECT_EQ(ip, "2001:db8::7");
    EXPECT_EQ(getIpByEndpoint("::ffff:10.0.0.6", ip, INTERFACE_WEB), 0);
    EXPECT_EQ(ip, "::ffff:10.0.0.6");
    EXPECT_EQ(getIpByEndpoint("tty1", ip, INTERFACE_LOCAL),
              KN_USER_INTERNAL_ERROR);
    EXPECT_EQ(getIpByEndpoint("10.0.0.6", ip, INTERFACE_WEB),
              KN_USER_INTERNAL_ERROR);
    EXPECT_EQ(getIpByEndpoint("2001:db8::7]:161", ip, INTERFACE_SNMP),
              KN_USER_INTERNAL_ERROR);
    EXPECT_EQ(ip, "::ffff:10.0.0.6");
}

class UserFiles : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        fs::remove_all(userFolder);
    }

    static void privilege(const std::string& user, const std::string& bits,
                          const std::string& rules)
    {
        ASSERT_EQ(setUserPrivilege(user, bits, rules), 0);
        ASSERT_EQ(updateFile(KN_USER_PRIVILEGE_FILE, 1), 0);
    }

    static void rule(uint8_t id, const std::string& ipv4,
                     const std::string& mac, const std::string& validTime,
                     bool open, const std::string& ipv6 = "")
    {
        ASSERT_EQ(setUserRule(id, ipv4, mac, validTime, open, ipv6), 0);
        ASSERT_EQ(updateFile(KN_USER_RULES_FILE, 1), 0);
    }
};

TEST_F(UserFiles, WithoutAPrivilegeFileEveryonePasses)
{
    EXPECT_EQ(checkUser("anyone", "::ffff:10.0.0.1", "", INTERFACE_WEB), 0);
    EXPECT_EQ(checkUser("anyone", "", "", INTERFACE_LOCAL), 0);
    EXPECT_EQ(checkUser(nullptr, "", "", INTERFACE_WEB),
              KN_USER_INTERNAL_ERROR);
    EXPECT_EQ(checkUser("anyone", "", "", 6), KN_USER_INTERNAL_ERROR);
}

TEST_F(UserFiles, PrivilegeBitsPerInterface)
{
    // Bit 0 (the last character) is the web interface.
    privilege("alice", "000000000001", "");
    privilege("bob", "000000000110", "");
    EXPECT_EQ(readText(privilegeFile),
              "alice,000000000001,\nbob,000000000110,\n");
    EXPECT_EQ(checkUser("alice", "::ffff:10.0.0.1", "", INTERFACE_WEB), 0);
    EXPECT_EQ(checkUser("alice", "::ffff:10.0.0.1", "", INTERFACE_IPMI),
              KN_USER_PRIVILEGE_NOT_MATCH);
    EXPECT_EQ(checkUser("bob", "::ffff:10.0.0.1", "", INTERFACE_SSH), 0);
    EXPECT_EQ(checkUser("carol", "::ffff:10.0.0.1", "", INTERFACE_SNMP), 0);

    // A new line for a user replaces the old one.
    privilege("alice", "000000000010", "1");
    EXPECT_EQ(readText(privilegeFile),
              "bob,000000000110,\nalice,000000000010,1\n");
    EXPECT_EQ(checkUserPrivilege("alice", INTERFACE_IPMI),
              (std::pair<int, std::string>{0, "1"}));
}

TEST_F(UserFiles, RefusedParametersTouchNoFile)
{
    EXPECT_EQ(setUserRule(3, "", "", "", true, ""), KN_USER_INTERNAL_ERROR);
    EXPECT_EQ(setUserRule(0, "10.0.0.0/33", "", "", true, ""),
              KN_USER_PARAMETER_IP_ERROR);
    EXPECT_EQ(setUserRule(0, "10.0.0.0", "", "", true, ""),
              KN_USER_PARAMETER_IP_ERROR);
    EXPECT_EQ(setUserRule(0, "10.0.0.0/8,1", "", "", true, ""),
              KN_USER_PARAMETER_IP_ERROR);
    EXPECT_EQ(setUserRule(0, "", "02:aa", "", true, ""),
              KN_USER_PARAMETER_MAC_ERROR);
    EXPECT_EQ(setUserRule(0, "", "", "2024/1/1", true, ""),
              KN_USER_PARAMETER_TIME_ERROR);
    EXPECT_EQ(setUserRule(0, "", "", "", true, "2001:db8::/129"),
              KN_USER_PARAMETER_IP_ERROR);
    EXPECT_EQ(setUserRule(0, "", "", "", true, "2001:zz8::/64"),
              KN_USER_PARAMETER_IP_ERROR);
    EXPECT_EQ(setUserPrivilege("alice", "000000000001", "03"),
              KN_USER_PARAMETER_RULEID_ERROR);
    EXPECT_EQ(setUserPrivilege("alice", "00000000000x", "0"),
              KN_USER_PARAMETER_PRIVILEGE_ERROR);
    EXPECT_EQ(setUserPrivilege("alice", "0000000000001", "0"),
              KN_USER_PARAMETER_PRIVILEGE_ERROR);
    EXPECT_EQ(setUserPrivilege("eve,000000000001", "000000000001", ""),
              KN_USER_INTERNAL_ERROR);
    EXPECT_FALSE(fs::exists(userFolder));
}

// A validity text is one field of the rules file: one that would add a
// field or a line is refused, and the file stays readable for later logins.
TEST_F(UserFiles, ValidityTextsThatWouldForgeTheFileAreRefused)
{
    privilege("alice", "000000000001", "0");
    for (const char* forged :
         {"2020/1/1 0:0-2049/1/1 0:0,x", "2020/1/1 0:0-2049/1/1 0:0\n2,,,,1",
          "2020/1/1 0:0-2049/1/1 0:0\r", "2020/1/1 0:0-2049/1/1 0:0\t"})
    {
        EXPECT_EQ(setUserRule(0, "", "", forged, true, ""),
                  KN_USER_PARAMETER_TIME_ERROR)
            << forged;
        EXPECT_FALSE(fs::exists(rulesFile.string() + "_temp")) << forged;
    }
    EXPECT_FALSE(fs::exists(rulesFile));
    rule(0, "", "", "2020/1/1 0:0-2049/1/1 0:0", true);
    EXPECT_EQ(checkUser("alice", "::ffff:10.0.0.1", "", INTERFACE_WEB), 0);
}

// Validity periods are compared as local dates and times, also past 2038.
TEST_F(UserFiles, ValidityUpTo2049AndWindowsOfToday)
{
    privilege("alice", "000000000001", "0");
    rule(0, "", "", "2020/1/1 00:00-2049/12/31 23:59", true);
    EXPECT_EQ(checkUser("alice", "", "", INTERFACE_WEB), 0);
    rule(0, "", "", "2020/1/1 00:00-" + localText(-86400), true);
    EXPECT_EQ(checkUser("alice", "", "", INTERFACE_WEB),
              KN_USER_TIME_NOT_MATCH);

    // A time alone is a window on the current day, here a few minutes
    // around now that stay within the day.
    time_t now = std::time(nullptr);
    struct tm local
    {};
    localtime_r(&now, &local);
    int sinceMidnight = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    int before = std::min(300, sinceMidnight);
    int after = std::min(300, 86399 - sinceMidnight);
    std::string window =
        localText(-before).substr(11) + "-" + localText(after).substr(11);
    EXPECT_EQ(timeCheckRule(window), 1) << window;
    rule(0, "", "", window, true);
    EXPECT_EQ(checkUser("alice", "", "", INTERFACE_WEB), 0) << window;
}

// A staged copy that cannot be written fails the change with the logged
// reason, and what went wrong is told on standard error.
TEST_F(UserFiles, FailedWritesSayWhatFailed)
{
    fs::create_directories(rulesFile.string() + "_temp");
    fs::create_directories(privilegeFile.string() + "_temp");
    testing::internal::CaptureStderr();
    EXPECT_EQ(setUserRule(0, "", "", "", true, ""), KN_USER_WRITE_FILE_FAILED);
    EXPECT_EQ(setUserPrivilege("alice", "000000000001", ""),
              KN_USER_WRITE_FILE_FAILED);
    std::string told = testing::internal::GetCapturedStderr();
    EXPECT_NE(
        told.find("setUserRule  cannot open " + rulesFile.string() + "_temp\n"),
        std::string::npos)
        << told;
    EXPECT_NE(told.find("setUserPrivilege  cannot open " +
                        privilegeFile.string() + "_temp\n"),
              std::string::npos)
        << told;
}

TEST_F(UserFiles, ChangesTakeEffectOnlyWhenCommitted)
{
    privilege("alice", "000000000001", "0");
    rule(0, "10.1.2.0/24", "", "", true);
    const char* client = "::ffff:10.1.2.9";
    EXPECT_EQ(checkUser("alice", client, "", INTERFACE_WEB), 0);

    ASSERT_EQ(setUserRule(0, "10.9.9.0/24", "", "", true, ""), 0);
    EXPECT_TRUE(fs::exists(rulesFile.string() + "_temp"));
    EXPECT_EQ(checkUser("alice", client, "", INTERFACE_WEB), 0);
    EXPECT_EQ(updateFile(KN_USER_RULES_FILE, 0), 0);
    EXPECT_FALSE(fs::exists(rulesFile.string() + "_temp"));
    EXPECT_EQ(checkUser("alice", client, "", INTERFACE_WEB), 0);

    ASSERT_EQ(setUserRule(0, "10.9.9.0/24", "", "", true, ""), 0);
    EXPECT_EQ(updateFile(KN_USER_RULES_FILE, 1), 0);
    EXPECT_EQ(checkUser("alice", client, "", INTERFACE_WEB),
              KN_USER_IP_NOT_MATCH);
    EXPECT_EQ(readText(rulesFile), "0,10.9.9.0/24,,,1,\n");
    EXPECT_EQ(updateFile(KN_USER_RULES_FILE, 1), 1); // nothing staged

    // A rule initialised member by member, the open flag last.
    const userRule off{1, "10.0.0.0/8", "", "", "::/0", false};
    off.writeRule2File();
    EXPECT_EQ(updateFile(KN_USER_RULES_FILE, 1), 0);
    EXPECT_EQ(readText(rulesFile),
              "0,10.9.9.0/24,,,1,\n1,10.0.0.0/8,,,0,::/0\n");
}

TEST_F(UserFiles, AddressMacAndValidityOfTheUsersRules)
{
    privilege("alice", "000000111111", "01");
    rule(0, "10.1.2.0/24", "02:aa:bb", aroundNow(), true);
    rule(1, "192.168.0.0/16", "", "", false); // switched off

    EXPECT_EQ(checkUser("alice", "::ffff:10.1.2.77", "02:AA:BB:01:02:03",
                        INTERFACE_WEB),
              0);
    EXPECT_EQ(checkUser("alice", "::ffff:10.1.3.77", "02:aa:bb:01:02:03",
                        INTERFACE_WEB),
              KN_USER_IP_NOT_MATCH);
    EXPECT_EQ(checkUser("alice", "::ffff:10.1.2.77", "02:ab:bb:01:02:03",
                        INTERFACE_WEB),
              KN_USER_MAC_NOT_MATCH);
    // Without a client MAC the MAC part is not checked.
    EXPECT_EQ(checkUser("alice", "::ffff:10.1.2.77", "", INTERFACE_REDFISH), 0);
    // Over the local interface address and MAC are skipped...
    EXPECT_EQ(checkUser("alice", "", "", INTERFACE_LOCAL), 0);
    // ...but not the validity.
    rule(0, "10.1.2.0/24", "02:aa:bb", "2020/1/1 00:00-2020/1/2 00:00", true);
    EXPECT_EQ(checkUser("alice", "", "", INTERFACE_LOCAL),
              KN_USER_TIME_NOT_MATCH);

    // An IPv6 client is held to the IPv6 rule.
    rule(0, "10.1.2.0/24", "", "", true, "2001:db8::/32");
    EXPECT_EQ(checkUser("alice", "2001:db8:1::5", "", INTERFACE_WEB), 0);
    EXPECT_EQ(checkUser("alice", "2001:db9::5", "", INTERFACE_WEB),
              KN_USER_IP_NOT_MATCH);
}

TEST_F(UserFiles, MalformedLines)
{
    privilege("alice", "000000000001", "0");
    std::ofstream(rulesFile) << "0,10.1.2.0/24,,1\n";
    EXPECT_EQ(checkUser("alice", "::ffff:10.1.2.1", "", INTERFACE_WEB),
              KN_USER_INTERNAL_ERROR);
    std::ofstream(rulesFile) << "0,10.1.2.0,,,1\n";
    EXPECT_EQ(checkUser("alice", "::ffff:10.1.2.1", "", INTERFACE_WEB),
              KN_USER_INTERNAL_ERROR);
    std::ofstream(rulesFile) << "x,10.1.2.0/24,,,1\n";
    std::vector<userRule> rules;
    EXPECT_EQ(getUserRule(rules), KN_USER_INTERNAL_ERROR);

    // A line with more fields still counts; the file is reported
    // malformed, and every check of it fails.
    std::ofstream(privilegeFile) << "alice,000000000001,0,extra\nbob,1x,0\n";
    std::vector<userPrivilege> privileges;
    EXPECT_EQ(getUserPrivilege(privileges), KN_USER_INTERNAL_ERROR);
    ASSERT_EQ(privileges.size(), 1u);
    EXPECT_EQ(privileges[0].userName, "alice");
    EXPECT_EQ(checkUser("alice", "", "", INTERFACE_WEB),
              KN_USER_INTERNAL_ERROR);
}

// Logins over the network: the client MAC comes from the ARP table of the
// test's own namespace.
class LoginFromTheNetwork : public UserFiles
{
  protected:
    static void SetUpTestSuite()
    {
        if (kntest::privateNetwork())
        {
            ready = std::system("ip link add ku0 type veth peer name ku1 && "
                                "ip addr add 10.9.0.1/24 dev ku0 && "
                                "ip link set ku0 up && ip link set ku1 up && "
                                "ip neigh replace 10.9.0.2 lladdr "
                                "02:aa:bb:cc:dd:ee dev ku0 nud permanent") == 0;
        }
    }

    void SetUp() override
    {
        if (!kntest::privateNetwork())
        {
            GTEST_SKIP() << kntest::networkRefusal;
        }
        if (testkit::emulated())
        {
            GTEST_SKIP() << "qemu-user does not pass SIOCGARP requests on to "
                            "the kernel intact";
        }
        UserFiles::SetUp();
        ASSERT_TRUE(ready);
    }

    static inline bool ready = false;
};

TEST_F(LoginFromTheNetwork, MacOfTheClient)
{
    EXPECT_EQ(getAllNetdevice(), std::set<std::string>{"ku0"});
    char mac[KN_MAC_TEXT_SIZE] = "";
    EXPECT_EQ(getMacByIp("::ffff:10.9.0.2", mac, "eth1"), 0);
    EXPECT_STREQ(mac, "02:aa:bb:cc:dd:ee");
    EXPECT_EQ(getMacByIp("::ffff:10.9.0.3", mac, "eth1"), 1);
    EXPECT_EQ(getMacByIp("fe80::1", mac, "eth1"), 1);

    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(9);
    ::inet_pton(AF_INET, "10.9.0.2", &peer.sin_addr);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)),
              0);
    std::string text;
    EXPECT_EQ(getMacBySockfd(fd, text, "ku0"), 0);
    EXPECT_EQ(text, "02:aa:bb:cc:dd:ee");
    EXPECT_NE(getMacBySockfd(fd, text, "ku1"), 0);
    ::close(fd);
    EXPECT_EQ(getMacBySockfd(-1, text, "ku0"), EBADF);
}

// An allocation that fails while the interfaces are searched leaves the
// lookup's socket closed.
TEST_F(LoginFromTheNetwork, FailedSearchLeavesNoSocketOpen)
{
    char mac[KN_MAC_TEXT_SIZE] = "";
    size_t before = openDescriptors();
    kntest::allocationsFail = true;
    int result = getMacByIp("10.9.0.2", mac, "eth1");
    kntest::allocationsFail = false;
    EXPECT_EQ(result, 1);
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(LoginFromTheNetwork, WholeLoginCheck)
{
    privilege("alice", "000000001001", "0"); // web and local
    rule(0, "10.9.0.0/24", "02:aa:bb", "", true);
    EXPECT_EQ(checkUserAllInOne("alice", INTERFACE_WEB, "::ffff:10.9.0.2"), 0);
    EXPECT_EQ(
        checkUserAllInOne("alice", INTERFACE_SSH, "::ffff:10.9.0.2:40022"),
        KN_USER_PRIVILEGE_NOT_MATCH);
    EXPECT_EQ(checkUserAllInOne("alice", INTERFACE_LOCAL, "tty1"), 0);

    fs::remove("/tmp/log");
    rule(0, "10.9.0.0/24", "02:aa:bc", "", true);
    EXPECT_EQ(checkUserAllInOne("alice", INTERFACE_WEB, "::ffff:10.9.0.2"),
              KN_USER_MAC_NOT_MATCH);
    EXPECT_EQ(checkUserAllInOne("alice", INTERFACE_WEB, "10.9.0.2"),
              KN_USER_INTERNAL_ERROR);
    EXPECT_EQ(checkUserAllInOne("alice", 9, "::ffff:10.9.0.2"),
              KN_USER_INTERNAL_ERROR);
    std::string log = readText("/tmp/log");
    EXPECT_NE(log.find("Login Failed username: alice, endpoint:::ffff:10.9.0.2,"
                       " dev: eth1, interface:INTERFACE_WEB, reason: USER MAC "
                       "NOT MATCH\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Login Failed username: alice, endpoint:10.9.0.2, dev: "
                       "eth1, interface:INTERFACE_WEB, reason: INTERNAL "
                       "ERROR\n"),
              std::string::npos)
        << log;
}

} // namespace
