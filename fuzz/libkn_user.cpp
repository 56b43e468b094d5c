// The user-rule and privilege files checked for a login. The input is NUL
// separated: the privilege file, the rules file, the user, the client
// address and MAC; the byte after them picks the interface.

#include "fuzz_util.hpp"

#include <libkn/common.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    fuzz::Reader in(data, size);
    std::string privilege = in.part();
    std::string rules = in.part();
    std::string user = in.part();
    std::string ip = in.part();
    std::string mac = in.part();
    int interface = in.byte() % 8;
    // The files' fixed paths lie in the private mount namespace that
    // scripts/fuzz runs the targets in.
    fuzz::writeFile(KN_USER_PRIVILEGE_FILE,
                    reinterpret_cast<const uint8_t*>(privilege.data()),
                    privilege.size());
    fuzz::writeFile(KN_USER_RULES_FILE,
                    reinterpret_cast<const uint8_t*>(rules.data()),
                    rules.size());
    checkUser(user.c_str(), ip.c_str(), mac.c_str(), interface);
    return 0;
}
