// The SNMP agent's configuration (and its state file) read by every
// getter, then changed by one of the edits, then read again. The input is
// the edit byte and the edit's text (ended by a NUL byte), then the file.

#include "fuzz_util.hpp"

#include <libkn/snmp.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace
{

void readAll()
{
    uint16_t port = 0;
    snmp_service_port_get(&port);
    uint8_t status = 0;
    snmp_service_status_get(&status);
    snmp_v1_status_get(&status);
    snmp_v2_status_get(&status);
    char text[64];
    snmp_community_get(text, sizeof(text));
    snmp_v3_engineid_get(text, sizeof(text));
    SNMP_V3_USER* users = nullptr;
    snmp_v3_user_get(&users);
    snmp_v3_user_free(&users);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // The fixed paths lie in the private /etc and /var of scripts/fuzz.
    static const bool ready = [] {
        ::mkdir("/etc/snmp", 0755);
        ::mkdir("/var/lib/net-snmp", 0755);
        return true;
    }();
    (void)ready;
    fuzz::Reader in(data, size);
    uint8_t edit = in.byte();
    std::string text = in.part();
    std::string file = in.take(size);
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    fuzz::writeFile(KN_SNMP_CONF, bytes, file.size());
    fuzz::writeFile(KN_SNMP_STATE_CONF, bytes, file.size());

    readAll();
    switch (edit % 5)
    {
        case 0:
            snmp_service_port_set(
                static_cast<uint16_t>(std::atoi(text.c_str())));
            break;
        case 1:
            snmp_community_set(text.c_str());
            break;
        case 2:
            snmp_ver_status_set(SNMP_VERSION_V1, (edit & 0x80) != 0);
            break;
        case 3:
            snmp_ver_status_set(SNMP_VERSION_V2C, (edit & 0x80) != 0);
            break;
        default:
            snmp_v3_user_del(text.c_str());
            break;
    }
    readAll();
    return 0;
}
