// Peer addresses: the MAC of an IPv4 client from the ARP tables of the
// interfaces.
#include "libkn/common.h"
#include "libkn/log.h"

#include "access/report.hpp"
#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>

namespace
{

std::string macText(const unsigned char* bytes)
{
    char text[KN_MAC_TEXT_SIZE];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5]);
    return text;
}

// The complete ARP entry of the address on the device; 0 or an errno.
int arpEntry(int fd, in_addr address, const std::string& device,
             std::string& mac)
{
    arpreq request{};
    auto* protocol = reinterpret_cast<sockaddr_in*>(&request.arp_pa);
    protocol->sin_family = AF_INET;
    protocol->sin_addr = address;
    kn::copyText(request.arp_dev, sizeof(request.arp_dev), device);
    if (::ioctl(fd, SIOCGARP, &request) != 0)
    {
        return errno;
    }
    if ((request.arp_flags & ATF_COM) == 0)
    {
        return ENXIO; // still being resolved: no address yet
    }
    mac = macText(reinterpret_cast<unsigned char*>(request.arp_ha.sa_data));
    return 0;
}

} // namespace

std::set<std::string> getAllNetdevice()
{
    std::set<std::string> names;
    ifaddrs* first = nullptr;
    if (::getifaddrs(&first) != 0)
    {
        kestrelon_log("%s, getifaddrs error. %s", "getAllNetdevice",
                      std::strerror(errno));
        return names;
    }
    // Freed also when an insert throws.
    std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> list(first,
                                                            &::freeifaddrs);
    for (ifaddrs* entry = first; entry != nullptr; entry = entry->ifa_next)
    {
        if (entry->ifa_addr != nullptr &&
            entry->ifa_addr->sa_family == AF_INET &&
            std::strcmp(entry->ifa_name, "lo") != 0)
        {
            names.insert(entry->ifa_name);
        }
    }
    return names;
}

int getMacByIp(const char* ip, char* mac, const char* /*device*/)
{
    if (ip == nullptr || mac == nullptr)
    {
        return 1;
    }
    try
    {
        std::string text(ip);
        size_t colon = text.rfind(':');
        std::string v4 =
            colon == std::string::npos ? text : text.substr(colon + 1);
        in_addr address{};
        if (::inet_pton(AF_INET, v4.c_str(), &address) != 1)
        {
            kestrelon_log("%s, convert ip to mac failed. %s", "getMacByIp", ip);
            return 1;
        }
        // Closed also when the search throws.
        kn::Descriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!fd.isOpen())
        {
            kestrelon_log("open socket error: %s", std::strerror(errno));
            return 1;
        }
        for (const auto& device : getAllNetdevice())
        {
            std::string found;
            if (arpEntry(fd.get(), address, device, found) == 0)
            {
                kn::copyText(mac, KN_MAC_TEXT_SIZE, found);
                return 0;
            }
        }
        return 1;
    }
    catch (const std::exception& e)
    {
        kn::access::reportException("getMacByIp", e);
        return 1;
    }
}

int getMacBySockfd(int sockfd, std::string& mac, const std::string& device)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    in_addr address{};
    int error = 0;
    if (::getpeername(sockfd, reinterpret_cast<sockaddr*>(&peer), &length) != 0)
    {
        error = errno;
    }
    else if (peer.ss_family == AF_INET)
    {
        address = reinterpret_cast<sockaddr_in*>(&peer)->sin_addr;
    }
    else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
             peer.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
    {
        std::memcpy(&address, &v6->sin6_addr.s6_addr[12], sizeof(address));
    }
    else
    {
        error = EAFNOSUPPORT;
    }
    if (error != 0)
    {
        kestrelon_log("sockfd: %d, get peer name wrong: %s", sockfd,
                      std::strerror(error));
        return error;
    }
    kn::Descriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.isOpen())
    {
        return errno;
    }
    std::string found;
    error = arpEntry(fd.get(), address, device, found);
    fd.close();
    if (error != 0)
    {
        kestrelon_log("sockfd: %d,  ioctl SIOCGARP wrong: %s", sockfd,
                      std::strerror(error));
        return error;
    }
    mac = found;
    return 0;
}
