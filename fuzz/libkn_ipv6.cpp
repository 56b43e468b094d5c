// IPv6 address texts, and the rule check that compares two of them.

#include <libkn/common.h>
#include <libkn/net.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    uint32_t words[8] = {};
    ipv6_parse(text.c_str(), words);
    std::size_t sep = text.find(' ');
    if (sep != std::string::npos)
    {
        uint8_t prefix = size > 0 ? data[0] : 0;
        ipCheckRule(text.substr(0, sep), text.substr(sep + 1), prefix);
    }
    return 0;
}
