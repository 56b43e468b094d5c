// config.ini of any content read as at start-up.

#include "fuzz_util.hpp"
#include "power_statistics.hpp"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string dir = fuzz::workDir();
    std::remove((dir + "/history.dat").c_str());
    fuzz::writeFile(dir + "/config.ini", data, size);
    bmcmon::PowerStatistics stats(nullptr, nullptr);
    stats.setClock([] { return int64_t{1700000000}; });
    stats.initStatistics(dir);
    stats.getAlarmThreshold();
    return 0;
}
