// The extension bus behind a switch channel, looked up in the capture of
// the kernel's I2C messages (or in a cache file). The input is the bus and
// index bytes, a byte that picks the cache file, then the file's bytes.

#include "fuzz_util.hpp"

#include <libkn/gpio.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    // /var/run lies in the private /run of scripts/fuzz.
    static const bool ready = [] {
        ::mkdir("/var/run/obmcinfo", 0755);
        ::mkdir("/var/run/obmcinfo/i2c", 0755);
        return true;
    }();
    (void)ready;
    fuzz::Reader in(data, size);
    uint8_t bus = in.byte();
    uint8_t index = in.byte();
    bool cached = (in.byte() & 1) != 0;
    std::string file = in.take(size);
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    char cache[64];
    std::snprintf(cache, sizeof(cache), "/var/run/obmcinfo/i2c/i2c-%d-%d", bus,
                  index);
    // The capture is always there: the shell that would make it never runs.
    if (cached)
    {
        fuzz::writeFile(cache, bytes, file.size());
        fuzz::writeFile("/var/run/obmcinfo/i2c_dmesg", nullptr, 0);
    }
    else
    {
        std::remove(cache);
        fuzz::writeFile("/var/run/obmcinfo/i2c_dmesg", bytes, file.size());
    }
    CmmFunGetI2CExtBus(bus, index);
    return 0;
}
