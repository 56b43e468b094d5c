// The BMC's own network interfaces and its bonding mode.
#include "libkn/net.h"

#include "libkn/conf.h"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

struct NetMode
{
    const char* text;
    const char* bondingText; // in the "Bonding Mode" line
    const char* command;
};

constexpr NetMode netModes[] = {
    {"eth", nullptr, "sh " KN_BONDING_SCRIPT " disable"},
    {"bond0", "round-robin", "sh " KN_BONDING_SCRIPT " enable mode0"},
    {"bond1", "active-backup", "sh " KN_BONDING_SCRIPT " enable mode1"},
    {"bond2", "xor", "sh " KN_BONDING_SCRIPT " enable mode2"},
    {"bond3", "broadcast", "sh " KN_BONDING_SCRIPT " enable mode3"},
    {"bond4", "802.3ad", "sh " KN_BONDING_SCRIPT " enable mode4"},
    {"bond5", "transmit", "sh " KN_BONDING_SCRIPT " enable mode5"},
    {"bond6", "adaptive", "sh " KN_BONDING_SCRIPT " enable mode6"},
};
constexpr int modeCount = sizeof(netModes) / sizeof(netModes[0]);
constexpr int valueSize = 256;
constexpr unsigned runningFlag = IFF_RUNNING;

// A datagram socket for interface requests.
kn::Descriptor requestSocket()
{
    return kn::Descriptor(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
}

ifreq requestFor(const char* name)
{
    ifreq request{};
    kn::copyText(request.ifr_name, sizeof(request.ifr_name), name);
    return request;
}

// The interface's flags, or -1.
int readFlags(int fd, const char* name)
{
    ifreq request = requestFor(name);
    if (::ioctl(fd, SIOCGIFFLAGS, &request) < 0)
    {
        return -1;
    }
    return static_cast<unsigned short>(request.ifr_flags);
}

int writeFlags(int fd, const char* name, int flags)
{
    ifreq request = requestFor(name);
    request.ifr_flags = static_cast<short>(flags);
    return ::ioctl(fd, SIOCSIFFLAGS, &request) < 0 ? -1 : 0;
}

// A flag of the interface: 1 set, 0 clear, -1 failure.
int flagOf(const char* name, unsigned flag)
{
    if (name == nullptr)
    {
        return -1;
    }
    kn::Descriptor socket = requestSocket();
    if (!socket.isOpen())
    {
        return -1;
    }
    int flags = readFlags(socket.get(), name);
    if (flags < 0)
    {
        return -1;
    }
    return (static_cast<unsigned>(flags) & flag) != 0 ? 1 : 0;
}

bool containsIgnoringCase(std::string text, std::string part)
{
    for (auto* s : {&text, &part})
    {
        for (char& c : *s)
        {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return text.find(part) != std::string::npos;
}

} // namespace

int if_updown(const char* name, int up)
{
    if (name == nullptr)
    {
        return -1;
    }
    kn::Descriptor socket = requestSocket();
    if (!socket.isOpen())
    {
        std::perror("socket");
        return -1;
    }
    // Flags that could not be read are never written back.
    int flags = readFlags(socket.get(), name);
    if (flags < 0)
    {
        std::perror("SIOCGIFFLAGS");
        return -1;
    }
    if (up == 0)
    {
        flags &= ~IFF_UP;
    }
    else if (up == 1)
    {
        flags |= IFF_UP;
    }
    if (writeFlags(socket.get(), name, flags) < 0)
    {
        std::perror("SIOCSIFFLAGS");
        return -1;
    }
    return 0;
}

int set_mac_addr(const char* name, const uint8_t* mac)
{
    if (name == nullptr || mac == nullptr)
    {
        return -1;
    }
    kn::Descriptor socket = requestSocket();
    if (!socket.isOpen())
    {
        return -1;
    }
    ifreq request = requestFor(name);
    request.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    std::memcpy(request.ifr_hwaddr.sa_data, mac, 6);
    int result = ::ioctl(socket.get(), SIOCSIFHWADDR, &request);
    if (result < 0)
    {
        std::perror("SIOCSIFHWADDR");
    }
    return result;
}

int net_index_get(const char* name)
{
    if (name == nullptr)
    {
        return -1;
    }
    kn::Descriptor socket = requestSocket();
    if (!socket.isOpen())
    {
        return -1;
    }
    ifreq request = requestFor(name);
    if (::ioctl(socket.get(), SIOCGIFINDEX, &request) < 0)
    {
        return -1;
    }
    return request.ifr_ifindex;
}

int net_enable_get(const char* name)
{
    return flagOf(name, IFF_UP);
}

int net_enable_set(const char* name, int enable)
{
    if (name == nullptr || (enable != 0 && enable != 1))
    {
        return -1;
    }
    // An alias acts on its base interface.
    std::string base(name, std::strcspn(name, ":"));
    kn::Descriptor socket = requestSocket();
    if (!socket.isOpen())
    {
        return -1;
    }
    int flags = readFlags(socket.get(), base.c_str());
    if (flags < 0)
    {
        return -1;
    }
    if (((flags & IFF_UP) != 0) == (enable == 1))
    {
        return 0;
    }
    flags = enable == 1 ? (flags | IFF_UP) : (flags & ~IFF_UP);
    return writeFlags(socket.get(), base.c_str(), flags);
}

int net_link_get(const char* name)
{
    return flagOf(name, runningFlag);
}

int net_speed_get(const char* name)
{
    if (name == nullptr)
    {
        return -1;
    }
    kn::Descriptor socket = requestSocket();
    if (!socket.isOpen())
    {
        return -1;
    }
    ethtool_cmd settings{};
    settings.cmd = ETHTOOL_GSET;
    ifreq request = requestFor(name);
    request.ifr_data = reinterpret_cast<char*>(&settings);
    if (::ioctl(socket.get(), SIOCETHTOOL, &request) < 0)
    {
        return -1;
    }
    return static_cast<int>(static_cast<uint32_t>(settings.speed_hi) << 16 |
                            settings.speed);
}

int net_mode_atoi(const char* text)
{
    if (text != nullptr)
    {
        for (int code = 0; code < modeCount; ++code)
        {
            if (strcasecmp(text, netModes[code].text) == 0)
            {
                return code;
            }
        }
    }
    return KN_NET_MODE_UNKNOWN;
}

const char* net_mode_itoa(int code)
{
    return code >= 0 && code < modeCount ? netModes[code].text : "unknow";
}

int net_mode_get(void)
{
    if (!kn::pathExists(KN_BONDING_STATUS))
    {
        return KN_NET_MODE_ETH;
    }
    char value[valueSize];
    if (read_conf_value_safe(KN_BONDING_STATUS, "Bonding Mode", value,
                             sizeof(value), ':') != 0)
    {
        return KN_NET_MODE_UNKNOWN;
    }
    for (int code = 1; code < modeCount; ++code)
    {
        if (containsIgnoringCase(value, netModes[code].bondingText))
        {
            return code;
        }
    }
    return KN_NET_MODE_UNKNOWN;
}

int net_mode_set(int code)
{
    if (code < 0 || code >= modeCount)
    {
        return 0;
    }
    int status = std::system(netModes[code].command);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0
                                                                         : -1;
}

int net_bond_active_slave(char* buffer, int size)
{
    return read_conf_value_safe(KN_BONDING_STATUS, "Currently Active Slave",
                                buffer, size, ':');
}

int ipv6_parse(const char* text, uint32_t* words)
{
    if (text == nullptr || words == nullptr)
    {
        return -1;
    }
    std::string address(text, std::strcspn(text, "%"));
    uint8_t bytes[16];
    if (::inet_pton(AF_INET6, address.c_str(), bytes) != 1)
    {
        return -1;
    }
    for (std::size_t k = 0; k < 4; ++k)
    {
        words[k] = static_cast<uint32_t>(bytes[4 * k]) << 24 |
                   static_cast<uint32_t>(bytes[4 * k + 1]) << 16 |
                   static_cast<uint32_t>(bytes[4 * k + 2]) << 8 |
                   static_cast<uint32_t>(bytes[4 * k + 3]);
    }
    return 0;
}
