#include "power_statistics.hpp"

#include "bmcmon/dbus_passive.hpp"
#include "bmcmon/passive_sensor_config.hpp"
#include "events/shell_command.hpp"
#include "file_util.hpp"
#include "files/regular_file.hpp"
#include "power_event.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <optional>
#include <stdexcept>

namespace bmcmon
{

namespace
{

constexpr const char* totalPowerPath =
    "/xyz/openbmc_project/sensors/power/total_power";

int64_t systemNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t steadyNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool fitsInt32(int64_t v)
{
    return v >= std::numeric_limits<int32_t>::min() &&
           v <= std::numeric_limits<int32_t>::max();
}

/** The threshold a config value stands for: a boolean as 0 or 1, a number
 *  truncated toward zero. A number outside 32 bits throws
 *  std::out_of_range, any other type the parser's type error. */
int32_t thresholdOf(const nlohmann::json& v)
{
    if (!v.is_number())
    {
        return v.get<int32_t>();
    }
    std::optional<int32_t> threshold;
    if (v.is_number_unsigned())
    {
        uint64_t n = v.get<uint64_t>();
        if (n <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        {
            threshold = static_cast<int32_t>(n);
        }
    }
    else if (v.is_number_integer())
    {
        int64_t n = v.get<int64_t>();
        if (fitsInt32(n))
        {
            threshold = static_cast<int32_t>(n);
        }
    }
    else
    {
        double d = std::trunc(v.get<double>());
        if (std::isfinite(d) && d >= std::numeric_limits<int32_t>::min() &&
            d <= std::numeric_limits<int32_t>::max())
        {
            threshold = static_cast<int32_t>(d);
        }
    }
    if (!threshold)
    {
        throw std::out_of_range("AlarmThreshold does not fit in 32 bits: " +
                                v.dump());
    }
    return *threshold;
}

} // namespace

PowerStatistics::PowerStatistics(sdbus::Bus* sensorBus,
                                 DbusHelper* dbusHelper) :
    bus(sensorBus),
    helper(dbusHelper), records(recordCount), clock(systemNow),
    steadyClock(steadyNow)
{}

bool PowerStatistics::initStatistics(const std::string& configDir)
{
    const std::string command = "mkdir -p " + events::shellWord(configDir);
    if (command.size() >= events::commandBufferSize)
    {
        std::cerr << "Config path too long: " << configDir << std::endl;
        return false;
    }
    int status = events::boundedSystem(command.c_str());
    if (status != 0)
    {
        std::cerr << "Failed to exec command. Return code: " << status
                  << ", cmd: " << command << std::endl;
        return false;
    }

    configPath = configDir + "/config.ini";
    readConfig();

    records.assign(count, HistoryRecord{});
    historyPath = configDir + "/history.dat";
    loadHistoryFile();

    readerWanted = true;
    readerRetryDelay = std::chrono::seconds(1);
    createReader();
    return true;
}

void PowerStatistics::createReader()
{
    if (bus != nullptr)
    {
        try
        {
            PassiveSensorConfig info{.type = "power",
                                     .readPath = totalPowerPath,
                                     .skipDbusMinMax = true};
            reader = createDbusPassive(
                *bus, "power", "total_power",
                std::make_unique<DbusHelper>(sdbus::Bus::newSystem()), info,
                nullptr);
        }
        catch (const std::exception& e)
        {
            std::cerr << "Failed to create the total power reader: " << e.what()
                      << std::endl;
        }
    }
    if (reader)
    {
        readerRetryDelay = std::chrono::seconds(1);
        return;
    }
    // Counted from the end of the attempt: a peer that answers late must
    // not use up the wait before the next one.
    readerRetryAt = std::chrono::steady_clock::now() + readerRetryDelay;
    readerRetryDelay = std::min<std::chrono::seconds>(
        readerRetryDelay * 2, std::chrono::seconds(readerRetryLimit));
}

void PowerStatistics::takeSample()
{
    if (!reader)
    {
        if (!readerWanted || std::chrono::steady_clock::now() < readerRetryAt)
        {
            return;
        }
        createReader();
        if (!reader)
        {
            return;
        }
    }

    // A service that is gone keeps its last value here: nothing is counted
    // until it returns (and the reader has read it again).
    auto* passive = dynamic_cast<DbusPassive*>(reader.get());
    if (passive != nullptr && !passive->serviceUp())
    {
        if (!serviceGone)
        {
            std::cerr << "Total power service gone, samples left out until "
                         "it returns"
                      << std::endl;
        }
        serviceGone = true;
        return;
    }
    serviceGone = false;

    double watts = reader->read().value;
    double milliwatts = watts * 1000.0;
    if (!(milliwatts > -2147483649.0 && milliwatts < 2147483648.0))
    {
        if (!badSample)
        {
            std::cerr << "Unusable total power reading left out: " << watts
                      << std::endl;
        }
        badSample = true;
        return;
    }
    badSample = false;
    auto power = static_cast<int32_t>(milliwatts);
    checkAlarmThreshold(steadyClock(), power);
    accumulateSample(clock(), power);
}

void PowerStatistics::startWindow(int64_t now, int32_t power)
{
    window.start = now;
    window.end = now + windowLength;
    window.count = 1;
    window.sum = power;
    window.max = power > 0 ? power : 0;
}

void PowerStatistics::accumulateSample(int64_t now, int32_t power)
{
    if (now < window.end)
    {
        window.count += 1;
        window.sum += power;
        window.max = std::max<int64_t>(window.max, power);
        return;
    }
    if (window.count < 1)
    {
        startWindow(now, power);
        return;
    }

    auto average = static_cast<int32_t>(window.sum / window.count);
    uint32_t w = writeIdx;
    HistoryRecord& slot = records[w];
    const bool maxLeaves = slot.timestamp >= 1 && slot.maximum == historyMax;
    if (slot.timestamp >= 1)
    {
        averageSum -= slot.average;
        occupied -= 1;
        if (oldestIdx == w)
        {
            oldestIdx = (w + 1) % count;
        }
    }
    else if (occupied == 0)
    {
        // The first record of an empty ring is its oldest.
        oldestIdx = w;
    }
    slot = {now, average, static_cast<int32_t>(window.max)};
    writeHistoryRecord(w);
    averageSum += slot.average;
    occupied += 1;
    if (maxLeaves)
    {
        findHistoryMax();
    }
    else if (occupied == 1 || slot.maximum > historyMax)
    {
        historyMax = slot.maximum;
    }
    writeIdx = (w + 1) % count;

    startWindow(now, power);
}

void PowerStatistics::readConfig()
{
    storedConfig.reset();
    // Not a regular file (a FIFO, say) counts as unreadable: the daemon
    // must not wait on it.
    std::string text;
    if (!files::readRegular(configPath.c_str(), text))
    {
        return;
    }
    auto config = nlohmann::json::parse(text, nullptr, false);
    if (config.is_discarded())
    {
        std::cerr << "Invalid json - parse failed" << std::endl;
        return;
    }
    // A missing member or one of another type fails the start with the
    // parser's type error: an alarm silently off is worse than a daemon that
    // does not start.
    alarmThreshold = thresholdOf(config["AlarmThreshold"]);
    if (text == configText())
    {
        storedConfig = stampOf(configPath);
    }
}

std::string PowerStatistics::configText() const
{
    nlohmann::json config = {{"AlarmThreshold", alarmThreshold}};
    return config.dump(4);
}

bool PowerStatistics::writeConfig()
{
    storedConfig.reset();
    if (!hasFolder())
    {
        return false;
    }
    if (!writeFileAtomically(configPath, configText()))
    {
        return false;
    }
    storedConfig = stampOf(configPath);
    return true;
}

int32_t PowerStatistics::getAlarmThreshold() const
{
    return alarmThreshold / 1000;
}

bool PowerStatistics::thresholdFits(int32_t watts)
{
    return fitsInt32(static_cast<int64_t>(watts) * 1000);
}

bool PowerStatistics::setAlarmThreshold(int32_t watts)
{
    int64_t milliwatts = static_cast<int64_t>(watts) * 1000;
    if (!thresholdFits(watts))
    {
        std::cerr << "Alarm threshold out of range: " << watts << std::endl;
        return false;
    }
    // The file already holds this threshold: the same bytes are not
    // written and flushed to the storage again.
    if (milliwatts == alarmThreshold && storedConfig &&
        stampOf(configPath) == storedConfig)
    {
        std::cerr << "Config file has been updated." << std::endl;
        return true;
    }
    int32_t before = alarmThreshold;
    alarmThreshold = static_cast<int32_t>(milliwatts);
    if (!writeConfig())
    {
        alarmThreshold = before;
        if (hasFolder())
        {
            std::cerr << "Failed to update config file " << configPath
                      << std::endl;
        }
        else
        {
            std::cerr << "No configuration folder: the threshold is not "
                         "stored"
                      << std::endl;
        }
        return false;
    }
    std::cerr << "Config file has been updated." << std::endl;
    return true;
}

void PowerStatistics::checkAlarmThreshold(int64_t now, int32_t power)
{
    if (alarmThreshold > 0 && power >= alarmThreshold)
    {
        if (!alarm)
        {
            if (now >= nextAlarmTime)
            {
                logPowerOverThreshold(helper, power, alarmThreshold);
                nextAlarmTime = now + rearmPeriod;
            }
            alarm = true;
        }
        return;
    }
    alarm = false;
}

void PowerStatistics::loadHistoryFile()
{
    HistoryFile file(historyPath);
    auto got = file.load(records);
    if (!got)
    {
        resetHistory();
        return;
    }
    if (*got != count)
    {
        std::cerr << "Expect to get " << count << " records, while we got "
                  << *got << std::endl;
        writeHistoryFile();
    }

    averageSum = 0;
    occupied = 0;
    oldestIdx = 0;
    writeIdx = 0;
    int64_t lo = std::numeric_limits<int64_t>::max();
    int64_t hi = 0;
    for (uint32_t i = 0; i < count; ++i)
    {
        HistoryRecord& r = records[i];
        if (r.timestamp < 0)
        {
            // Not a time this daemon writes: the slot counts as empty.
            r = {};
        }
        if (r.timestamp == 0)
        {
            continue;
        }
        if (r.timestamp < lo)
        {
            lo = r.timestamp;
            oldestIdx = i;
        }
        if (r.timestamp > hi)
        {
            hi = r.timestamp;
            writeIdx = (i + 1) % count;
        }
        averageSum += r.average;
        occupied += 1;
    }
    findHistoryMax();
}

void PowerStatistics::findHistoryMax()
{
    historyMax = 0;
    bool first = true;
    for (const HistoryRecord& r : records)
    {
        if (r.timestamp >= 1 && (first || r.maximum > historyMax))
        {
            historyMax = r.maximum;
            first = false;
        }
    }
}

void PowerStatistics::writeHistoryFile()
{
    if (!hasFolder())
    {
        return;
    }
    if (!HistoryFile(historyPath).store(records))
    {
        std::cerr << "Writing history data failed." << std::endl;
    }
}

void PowerStatistics::writeHistoryRecord(uint32_t index)
{
    if (!hasFolder())
    {
        return;
    }
    // One record in place: a few bytes on the flash per closed window. A
    // crash in the write spoils at most this record, which the loader then
    // takes for an empty slot when its time is not positive.
    if (HistoryFile(historyPath).storeRecord(index, records[index]))
    {
        return;
    }
    std::cerr << "Writing partial history data failed." << std::endl;
    writeHistoryFile();
}

void PowerStatistics::resetHistory()
{
    writeHistoryFile();
    writeIdx = 0;
    oldestIdx = 0;
    historyMax = 0;
    averageSum = 0;
    occupied = 0;
}

bool PowerStatistics::cleanHistory()
{
    if (!hasFolder())
    {
        return false;
    }
    records.assign(count, HistoryRecord{});
    resetHistory();
    return true;
}

double PowerStatistics::getAvgPower() const
{
    int64_t total = 0;
    int64_t divisor = 0;
    if (window.count >= 1)
    {
        total = averageSum + window.sum / window.count;
        divisor = occupied + 1;
    }
    else if (occupied == 0)
    {
        return 0.0;
    }
    else
    {
        total = averageSum;
        divisor = occupied;
    }
    // Whole milliwatts, truncated toward zero, then watts.
    const int64_t milliwatts = total / divisor;
    return static_cast<double>(milliwatts) / 1000.0;
}

double PowerStatistics::getMaxPower() const
{
    int64_t max = window.max;
    if (occupied > 0)
    {
        max = std::max<int64_t>(max, historyMax);
    }
    return static_cast<double>(max) / 1000.0;
}

int64_t PowerStatistics::getStatStartTimestamp() const
{
    if (records[oldestIdx].timestamp >= 1)
    {
        return records[oldestIdx].timestamp - windowLength;
    }
    if (window.start >= 1)
    {
        return window.start;
    }
    return clock();
}

std::vector<int64_t> PowerStatistics::getHistoryRange(int64_t start,
                                                      int64_t end) const
{
    // Room for the whole ring at once: one allocation, never moved.
    std::vector<int64_t> out;
    out.reserve(2 * static_cast<std::size_t>(count));
    for (uint32_t n = 0; n < count; ++n)
    {
        const HistoryRecord& r = records[(oldestIdx + n) % count];
        if (r.timestamp < start)
        {
            continue;
        }
        if (r.timestamp > end)
        {
            break;
        }
        uint64_t packed =
            (static_cast<uint64_t>(static_cast<uint32_t>(r.maximum)) << 32) |
            static_cast<uint32_t>(r.average);
        out.push_back(r.timestamp);
        out.push_back(static_cast<int64_t>(packed));
    }
    return out;
}

} // namespace bmcmon
