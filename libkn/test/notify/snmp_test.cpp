// SNMP settings in the sandbox's private /etc and /var, the service and
// v3 tool as recording stand-ins, and the trap slots in its private IPC.
#include "libkn/mail.h"
#include "libkn/shm.h"
#include "libkn/snmp.h"

#include "child.hpp"
#include "files.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/stubs.hpp"
#include "testkit/wait.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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
using namespace std::chrono_literals;
using kntest::readText;
using kntest::statOf;
using kntest::writeText;

const fs::path conf = KN_SNMP_CONF;

class Snmp : public testing::Test
{
  protected:
    void SetUp() override
    {
        if (!testkit::sandboxed())
        {
            GTEST_SKIP() << testkit::sandboxRefusal();
        }
        for (const char* folder : {"/etc/snmp", "/var/lib/net-snmp"})
        {
            fs::remove_all(folder);
            fs::create_directories(folder);
        }
        fs::remove(KN_OEM_BMC_CONF);
        // The library runs the outside programs from its caller's PATH.
        const char* path = std::getenv("PATH");
        savedPath = path != nullptr ? path : "";
        ::setenv("PATH", (stubs.path() + ":" + savedPath).c_str(), 1);
        stubs.add("systemctl");
        stubs.add("net-snmp-create-v3-user");
    }

    void TearDown() override
    {
        if (!savedPath.empty())
        {
            ::setenv("PATH", savedPath.c_str(), 1);
        }
    }

    static uint16_t port()
    {
        uint16_t value = 0;
        EXPECT_EQ(snmp_service_port_get(&value), 0);
        return value;
    }

    testkit::CommandStubs stubs;
    std::string savedPath;
};

TEST_F(Snmp, PortOfTheFirstAgentAddress)
{
    EXPECT_EQ(port(), KN_SNMP_DEFAULT_PORT); // no file
    EXPECT_EQ(snmp_service_port_get(nullptr), -1);
    const std::vector<std::pair<std::string, uint16_t>> cases = {
        {"udp:0.0.0.0:1161", 1161}, {"162", 162},
        {"0.0.0.0", 161},           {"udp:161,tcp:1161", 161},
        {"udp:[::1]:1162", 1162},   {"udp:0.0.0.0:0", 161},
        {"udp:70000", 161},         {"tcp:", 161}};
    for (const auto& [address, expected] : cases)
    {
        writeText(conf, "# agentaddress 999\nagentaddress  " + address +
                            "\nagentaddress 7\n");
        EXPECT_EQ(port(), expected) << address;
    }

    // The same port again writes nothing; another one replaces the line.
    writeText(conf, "# agent\nagentaddress udp:0.0.0.0:1161\nview all\n");
    struct stat before = statOf(conf);
    EXPECT_EQ(snmp_service_port_set(1161), 0);
    struct stat after = statOf(conf);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(snmp_service_port_set(2161), 0);
    EXPECT_EQ(readText(conf), "# agent\nagentaddress   2161\nview all\n");
    EXPECT_EQ(snmp_service_port_set(0), -1);
}

TEST_F(Snmp, CommunityRoundTripAndRefusals)
{
    // A new configuration holds secrets: it is readable by its owner alone.
    EXPECT_EQ(snmp_community_get(nullptr, 8), -1);
    EXPECT_EQ(snmp_community_set("public"), 0);
    EXPECT_EQ(statOf(conf).st_mode & 0777, 0600u);
    EXPECT_EQ(readText(conf), "com2sec  mynetwork   default   public\n");

    writeText(conf, "rocommunity x\ncom2sec  mynetwork   default   old\n");
    ASSERT_EQ(::chmod(conf.c_str(), 0640), 0);
    char community[KN_SNMP_TEXT_MAX + 1];
    EXPECT_EQ(snmp_community_get(community, sizeof(community)), 0);
    EXPECT_STREQ(community, "old");
    EXPECT_EQ(snmp_community_set("s3cr3t!"), 0);
    EXPECT_EQ(snmp_community_get(community, sizeof(community)), 0);
    EXPECT_STREQ(community, "s3cr3t!");
    EXPECT_EQ(statOf(conf).st_mode & 0777, 0640u);

    const std::string kept = readText(conf);
    for (const std::string& bad :
         {std::string("pub\nrwcommunity x"), std::string("a b"),
          std::string("a#b"), std::string(""), std::string(128, 'c')})
    {
        EXPECT_EQ(snmp_community_set(bad.c_str()), -1) << bad;
    }
    EXPECT_EQ(readText(conf), kept);
}

// Files of secrets that the caller may not read: errors, and the caller's
// state stays as it was; the port keeps its default; a version's access
// is not reported switched off while its line stays.
TEST_F(Snmp, SettingsThatMayNotBeReadAreErrors)
{
    writeText(conf, "#protocolEnabled=false\nagentaddress 1161\n"
                    "group    my_group       v2c           mynetwork\n");
    fs::create_directories(fs::path(KN_MAIL_CONF).parent_path());
    writeText(KN_MAIL_CONF, "set smtp=smtp://mail:25\n#active=1\n");
    for (const char* file : {KN_SNMP_CONF, KN_MAIL_CONF})
    {
        ASSERT_EQ(::chmod(file, 0600), 0);
    }
    pid_t child = kntest::forkChild([] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
            ::setuid(65534) != 0)
        {
            return 100;
        }
        uint8_t status = 7;
        mail_config config;
        std::memset(&config, 0xAB, sizeof(config));
        mail_config kept = config;
        uint16_t port = 0;
        return (snmp_service_status_get(&status) == -1 && status == 7 ? 0 : 1) |
               (read_email_config(nullptr, &config) == -1 &&
                        std::memcmp(&config, &kept, sizeof(config)) == 0
                    ? 0
                    : 2) |
               (snmp_service_port_get(&port) == 0 && port == 161 ? 0 : 4) |
               (snmp_ver_status_set(SNMP_VERSION_V2C, false) == -1 ? 0 : 8);
    });
    EXPECT_EQ(kntest::waitChild(child), 0);
}

TEST_F(Snmp, VersionGroupLines)
{
    const std::string head = "# First, map the community name into a "
                             "\"security name\"\n"
                             "#       groupName      securityModel "
                             "securityName\n"
                             "view all included .1\n";
    writeText(conf, head);
    uint8_t on = 9;
    EXPECT_EQ(snmp_v2_status_get(&on), 0);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(snmp_ver_status_set(SNMP_VERSION_V2C, true), 0);
    const std::string v2c = "group    my_group       v2c           mynetwork\n";
    const std::string v1 = "group    my_group       v1            mynetwork\n";
    EXPECT_EQ(readText(conf), "# First, map the community name into a "
                              "\"security name\"\n"
                              "#       groupName      securityModel "
                              "securityName\n" +
                                  v2c + "view all included .1\n");
    EXPECT_EQ(snmp_v2_status_get(&on), 0);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(snmp_v1_status_get(&on), 0);
    EXPECT_EQ(on, 0);
    EXPECT_EQ(snmp_ver_status_set(SNMP_VERSION_V2C, false), 0);
    EXPECT_EQ(readText(conf), head);

    // Without the comment the line goes to the end; off removes every line
    // of the version.
    writeText(conf, "view all included .1");
    EXPECT_EQ(snmp_ver_status_set(SNMP_VERSION_V1, true), 0);
    EXPECT_EQ(readText(conf), "view all included .1\n" + v1);
    writeText(conf, v1 + "view all included .1\n\t" + v1 + v2c);
    EXPECT_EQ(snmp_ver_status_set(SNMP_VERSION_V1, false), 0);
    EXPECT_EQ(readText(conf), "view all included .1\n" + v2c);
    // Lines indented with tabs count as the agent reads them.
    writeText(conf, "\t \tcom2sec  mynetwork   default   old\n");
    EXPECT_EQ(snmp_community_set("new"), 0);
    EXPECT_EQ(readText(conf), "com2sec  mynetwork   default   new\n");
    EXPECT_EQ(snmp_ver_status_set(static_cast<SNMP_VERSION>(3), true), -1);
}

TEST_F(Snmp, V3UsersListedAddedAndDeleted)
{
    const std::string phrase40(40, 'p');
    writeText(conf, "createUser alice SHA alicepass1 AES alicepass1\n"
                    "createUser bob SHA-1 bobpass123 AES bobpass123\n"
                    "#createUser hidden SHA x AES x\n"
                    "createUser short SHA\n"
                    "createUser carol md5 " +
                        phrase40 + " des x\n");
    writeText(KN_SNMP_STATE_CONF, "oldEngineID 0x80001f8880\n");
    char engine[64];
    EXPECT_EQ(snmp_v3_engineid_get(engine, sizeof(engine)), 0);
    EXPECT_STREQ(engine, "0x80001f8880");

    SNMP_V3_USER* users = nullptr;
    ASSERT_EQ(snmp_v3_user_get(&users), 0);
    std::vector<std::string> listed;
    for (SNMP_V3_USER* user = users; user != nullptr; user = user->next)
    {
        listed.push_back(
            std::string(user->name) + "/" +
            snmp_v3_authen_itoa(static_cast<SNMP_V3_AUTHEN>(user->authen)) +
            "/" + user->password + "/" +
            snmp_v3_encrypt_itoa(static_cast<SNMP_V3_ENCRYPT>(user->encrypt)));
    }
    EXPECT_EQ(listed, (std::vector<std::string>{
                          "alice/SHA/alicepass1/AES",
                          "carol/MD5/" + phrase40.substr(0, 31) + "/DES"}));
    EXPECT_EQ(snmp_v3_user_free(&users), 0);
    EXPECT_EQ(users, nullptr);

    // Refused before anything runs.
    EXPECT_EQ(snmp_v3_user_add("dave", "davepass1", SNMP_V3_AUTHEN_UNKNOWN,
                               SNMP_V3_ENCRYPT_AES),
              -1);
    EXPECT_EQ(snmp_v3_user_add("a;touch /tmp/x", "davepass1",
                               SNMP_V3_AUTHEN_SHA, SNMP_V3_ENCRYPT_AES),
              -1);
    const std::string longName(32, 'n');
    for (const char* name : {"-A", "", "tab\tname", longName.c_str()})
    {
        EXPECT_EQ(snmp_v3_user_add(name, "davepass1", SNMP_V3_AUTHEN_SHA,
                                   SNMP_V3_ENCRYPT_AES),
                  -1)
            << name;
    }
    EXPECT_EQ(snmp_v3_user_add("dave", "pass#1", SNMP_V3_AUTHEN_SHA,
                               SNMP_V3_ENCRYPT_AES),
              -1);
    EXPECT_TRUE(stubs.calls("net-snmp-create-v3-user").empty());

    EXPECT_EQ(snmp_v3_user_add("dave", "davepass1", SNMP_V3_AUTHEN_SHA256,
                               SNMP_V3_ENCRYPT_AES),
              0);
    EXPECT_EQ(stubs.calls("net-snmp-create-v3-user"),
              (std::vector<std::vector<std::string>>{
                  {"-A", "davepass1", "-X", "davepass1", "-a", "SHA-256", "-x",
                   "AES", "dave"}}));
    stubs.setStatus("net-snmp-create-v3-user", 1);
    EXPECT_EQ(snmp_v3_user_add("erin", "erinpass1", SNMP_V3_AUTHEN_SHA,
                               SNMP_V3_ENCRYPT_DES),
              -1);

    // Delete drops the first createUser line and the first access line.
    writeText(conf, "createUser alice SHA a1 AES a1\n"
                    "rwuser alice\n"
                    "createUser alicea SHA b AES b\n"
                    "createUser alice SHA a2 AES a2\n"
                    "rouser alice\n"
                    "rwuser bob\n");
    EXPECT_EQ(snmp_v3_user_del("alice"), 0);
    EXPECT_EQ(readText(conf), "createUser alicea SHA b AES b\n"
                              "createUser alice SHA a2 AES a2\n"
                              "rouser alice\n"
                              "rwuser bob\n");
    fs::remove(conf);
    EXPECT_EQ(snmp_v3_user_del("alice"), 0);
    EXPECT_EQ(readText(conf), "");
    EXPECT_EQ(statOf(conf).st_mode & 0777, 0600u);
}

// Stop and start run one after the other, in the background; the service's
// state is kept in the platform's file.
TEST_F(Snmp, ServiceStatusBits)
{
    uint8_t status = 9;
    EXPECT_EQ(snmp_service_status_get(&status), 0);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(snmp_service_status_set(KN_SNMP_PROTOCOL_OFF |
                                      KN_SNMP_SERVICE_STOP |
                                      KN_SNMP_SERVICE_START),
              0);
    EXPECT_EQ(snmp_service_status_get(&status), 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(readText(conf), "#protocolEnabled=false\n");
    EXPECT_EQ(readText(KN_OEM_BMC_CONF), "obmc-kn-snmp.service=1\n");
    ASSERT_TRUE(testkit::waitUntil(
        [&] { return stubs.calls("systemctl").size() == 2; }, 20s));
    EXPECT_EQ(stubs.calls("systemctl"),
              (std::vector<std::vector<std::string>>{
                  {"stop", "obmc-kn-snmp.service"},
                  {"start", "obmc-kn-snmp.service"}}));

    EXPECT_EQ(
        snmp_service_status_set(KN_SNMP_PROTOCOL_OFF | KN_SNMP_PROTOCOL_ON), 0);
    EXPECT_EQ(snmp_service_status_get(&status), 0);
    EXPECT_EQ(status, 1);
}

class Traps : public Snmp
{
  protected:
    void SetUp() override
    {
        Snmp::SetUp();
        if (IsSkipped())
        {
            return;
        }
        base = static_cast<uint8_t*>(get_shm_address());
        ASSERT_NE(base, nullptr);
        std::memset(slot(0), 0, KN_SHM_TRAP_SIZE * KN_SHM_TRAP_COUNT);
    }

    uint8_t* slot(int i) const
    {
        return base + KN_SHM_TRAP_OFFSET + KN_SHM_TRAP_SIZE * i;
    }

    uint8_t* base = nullptr;
};

TEST_F(Traps, BusySlotsDropTheTrap)
{
    for (int i = 0; i < KN_SHM_TRAP_COUNT; ++i)
    {
        std::memset(slot(i), 0x5A, KN_SHM_TRAP_SIZE);
        slot(i)[0] = static_cast<uint8_t>(1 + i % 2);
        std::memset(slot(i) + 1, 0, 3);
    }
    std::vector<uint8_t> before(slot(0),
                                slot(0) + KN_SHM_TRAP_SIZE * KN_SHM_TRAP_COUNT);
    EXPECT_EQ(snmpSendTrap(7, 8, 9, "dropped"), 0);
    EXPECT_EQ(std::memcmp(before.data(), slot(0), before.size()), 0);
}

// Senders in several processes at once: each trap in a slot of its own,
// whole and marked ready.
TEST_F(Traps, ConcurrentSendersTakeDistinctSlots)
{
    constexpr int senders = 8;
    kntest::Gate gate;
    std::vector<pid_t> children;
    for (int s = 0; s < senders; ++s)
    {
        children.push_back(kntest::forkChild([&gate, s] {
            get_shm_address();
            gate.wait();
            for (uint32_t k = 0; k < 2; ++k)
            {
                uint32_t id = static_cast<uint32_t>(s) * 2 + k;
                std::string text = "trap " + std::to_string(id) +
                                   std::string(250, 'x'); // cut to 200
                snmpSendTrap(0x01020300 + id, id * 1000,
                             static_cast<uint8_t>(id), text.c_str());
            }
            return 0;
        }));
    }
    gate.open();
    for (pid_t child : children)
    {
        EXPECT_EQ(kntest::waitChild(child), 0);
    }
    std::set<uint32_t> ids;
    for (int i = 0; i < KN_SHM_TRAP_COUNT; ++i)
    {
        const uint8_t* s = slot(i);
        ASSERT_EQ(std::vector<uint8_t>(s, s + 4),
                  (std::vector<uint8_t>{2, 0, 0, 0}))
            << i;
        // Little-endian: id 0x010203nn, value id * 1000.
        uint32_t id = s[4];
        EXPECT_EQ(std::vector<uint8_t>(s + 5, s + 8),
                  (std::vector<uint8_t>{3, 2, 1}));
        uint32_t value =
            s[8] | s[9] << 8 | s[10] << 16 | static_cast<uint32_t>(s[11]) << 24;
        EXPECT_EQ(value, id * 1000);
        EXPECT_EQ(s[12], id);
        std::string text(reinterpret_cast<const char*>(s + 13),
                         KN_TRAP_TEXT_SIZE);
        std::string sent = "trap " + std::to_string(id) + std::string(250, 'x');
        EXPECT_EQ(text, sent.substr(0, KN_TRAP_TEXT_SIZE));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(KN_SHM_TRAP_COUNT));
}

TEST_F(Traps, FifoWithoutAReader)
{
    const std::string fifo = "/tmp/snmp-trap-fifo";
    fs::remove(fifo);
    EXPECT_EQ(checkFIFOFile(fifo.c_str(), 0600), 0);
    EXPECT_EQ(statOf(fifo).st_mode & 07777, 0600u);
    EXPECT_EQ(checkFIFOFile(fifo.c_str(), 0600), 0);
    EXPECT_EQ(checkFIFOFile("/tmp/no/such/fifo", 0600), 1);

    pid_t child = kntest::forkChild([&fifo] {
        // A reader opens and goes, as a trap sender that stops.
        int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        int writer = ::open(fifo.c_str(), O_WRONLY);
        ::close(reader);
        const char message[] = "trap";
        return writer >= 0 && snmpWriteMsg(writer, message, 4) == 1 ? 0 : 1;
    });
    EXPECT_EQ(kntest::waitChild(child), 0) << "128 + 13: killed by SIGPIPE";
    std::string log = readText("/tmp/log");
    EXPECT_NE(log.find("snmpWriteMsg failed. fd: "), std::string::npos);
    EXPECT_NE(log.find(", ret: -1, err: Broken pipe\n"), std::string::npos)
        << log;

    // The trap FIFO is opened once and kept.
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(getSNMPTrapWriteFD(fifo.c_str(), O_WRONLY | O_NONBLOCK, 0), 0);
    fs::remove(fifo);
    EXPECT_EQ(getSNMPTrapWriteFD(fifo.c_str(), O_WRONLY | O_NONBLOCK, 0), 0);
    ::close(reader);
}

} // namespace
