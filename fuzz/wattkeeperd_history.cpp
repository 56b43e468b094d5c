// history.dat of any length and content, loaded as at start-up, then the
// history it gave read back.

#include "fuzz_util.hpp"
#include "history_file.hpp"
#include "power_statistics.hpp"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string dir = fuzz::workDir();
    std::remove((dir + "/config.ini").c_str());
    fuzz::writeFile(dir + "/history.dat", data, size);

    std::vector<bmcmon::HistoryRecord> records(16);
    bmcmon::HistoryFile(dir + "/history.dat").load(records);

    fuzz::writeFile(dir + "/history.dat", data, size);
    bmcmon::PowerStatistics stats(nullptr, nullptr);
    stats.setClock([] { return int64_t{1700000000}; });
    if (stats.initStatistics(dir))
    {
        stats.getAvgPower();
        stats.getMaxPower();
        stats.getHistoryRange(0, int64_t{1} << 40);
    }
    return 0;
}
