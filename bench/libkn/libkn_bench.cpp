// Times ipmi_parse_sel_entry over a mix of SEL records (threshold events
// with converted readings, sensor-specific events found by event data 2,
// drive presence, an OEM record and a time since initialisation), on a
// zeroed stand-in for the main segment. Each figure is the median of its
// rounds. The library has no service of its own, so no floor figure; the
// private memory of this process is followed over many parses.
#include "libkn/sel-parse.h"
#include "libkn/shm.h"

#include "measure.hpp"
#include "table.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using Record = std::vector<uint8_t>;

const int rounds = benchkit::count(201, 21);
constexpr int callsPerRound = 2000;

Record record(uint8_t type, uint8_t sensorType, uint8_t number,
              uint8_t eventType, uint8_t data1, uint8_t data2, uint8_t data3)
{
    return {0x21, 0x00, type,       0xE1,   0xA2,      0xFF,  0x4E,  0x20,
            0x00, 0x04, sensorType, number, eventType, data1, data2, data3};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Nanoseconds per call of each round over the records in turn.
std::vector<double> time(const std::vector<Record>& records,
                         std::vector<uint8_t>& base)
{
    std::vector<double> perCall;
    std::vector<char> out(KN_SEL_TEXT_ROOM);
    size_t length = 0;
    for (int round = 0; round < rounds; ++round)
    {
        auto t0 = Clock::now();
        for (int call = 0; call < callsPerRound; ++call)
        {
            out[0] = '\0';
            const Record& r =
                records[static_cast<size_t>(call) % records.size()];
            ipmi_parse_sel_entry(r.data(), 0, base.data(), out.data());
            length += std::strlen(out.data());
        }
        perCall.push_back(
            std::chrono::duration<double, std::nano>(Clock::now() - t0)
                .count() /
            callsPerRound);
    }
    if (length == 0)
    {
        std::fprintf(stderr, "no text rendered\n");
        std::exit(1);
    }
    return perCall;
}

} // namespace

int main()
{
    ::setenv("TZ", "UTC0", 1);
    tzset();
    std::vector<uint8_t> base(KN_SHM_EVENT_INFO_OFFSET +
                              KN_SHM_EVENT_INFO_SIZE);
    sensor_record sensor{};
    sensor.m = 2;
    sensor.b = 1.5;
    sensor.r_exponent = -1;
    sensor.base_unit = 1;
    std::strcpy(sensor.sensor_name, "CPU0_Temp");
    std::memcpy(base.data() + KN_SHM_SENSOR_OFFSET + KN_SHM_SENSOR_SIZE * 0x31,
                &sensor, sizeof(sensor));

    const std::vector<std::pair<const char*, std::vector<Record>>> kinds = {
        {"threshold, reading and threshold",
         {record(0x02, 0x01, 0x31, 0x01, 0x57, 50, 45)}},
        {"sensor-specific, by event data 2",
         {record(0x02, 0x0F, 0x10, 0x6F, 0xC2, 0x13, 0),
          record(0x02, 0x2B, 0x11, 0x6F, 0xC7, 0x17, 4)}},
        {"drive presence", {record(0x02, 0x0D, 0x12, 0x08, 0x01, 0x23, 5)}},
        {"OEM, no time", {record(0xE5, 0xC4, 0x13, 0x6F, 0x08, 0, 0)}},
    };
    std::vector<Record> mix;
    for (const auto& [name, records] : kinds)
    {
        mix.insert(mix.end(), records.begin(), records.end());
    }
    Record preInit = record(0x02, 0x2C, 0x14, 0x6F, 0x04, 0, 0);
    preInit[3] = 0x00;
    preInit[4] = 0x01;
    preInit[5] = preInit[6] = 0x00;
    mix.push_back(preInit);

    time(mix, base); // warm-up
    benchkit::Table table("libkn");
    table.add("ipmi_parse_sel_entry over a mix of " +
                  std::to_string(mix.size()) + " records",
              median(time(mix, base)), "ns", 0);
    for (const auto& [name, records] : kinds)
    {
        table.add(std::string("  ") + name, median(time(records, base)), "ns",
                  0);
    }

    const int growthOps = benchkit::count(100000, 2000);
    std::vector<char> out(KN_SEL_TEXT_ROOM);
    const long before = benchkit::privateKiB(getpid());
    for (int i = 0; i < growthOps; ++i)
    {
        const Record& r = mix[static_cast<size_t>(i) % mix.size()];
        out[0] = '\0';
        ipmi_parse_sel_entry(r.data(), 0, base.data(), out.data());
    }
    table.addGrowth("private memory growth over " + std::to_string(growthOps) +
                        " parses",
                    benchkit::privateKiB(getpid()) - before);
    table.print();
    return 0;
}
