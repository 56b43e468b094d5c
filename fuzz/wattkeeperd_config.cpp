// config.ini of any content read as at start-up. A threshold that is
// missing, not a number or out of range refuses the start with an
// exception (the JSON library's, or out_of_range), as the daemon's init
// does; anything else escaping is a fault.

#include "fuzz_util.hpp"
#include "power_statistics.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string dir = fuzz::workDir();
    std::remove((dir + "/history.dat").c_str());
    fuzz::writeFile(dir + "/config.ini", data, size);
    bmcmon::PowerStatistics stats(nullptr, nullptr);
    stats.setClock([] { return int64_t{1700000000}; });
    try
    {
        stats.initStatistics(dir);
    }
    catch (const nlohmann::json::exception&)
    {
        return 0;
    }
    catch (const std::out_of_range&)
    {
        return 0;
    }
    stats.getAlarmThreshold();
    return 0;
}
