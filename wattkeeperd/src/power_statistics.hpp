#pragma once

#include "bmcmon/dbus_helper.hpp"
#include "bmcmon/read_interface.hpp"
#include "file_util.hpp"
#include "history_file.hpp"
#include "sdbus/bus.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bmcmon
{

/** The samples of the open accumulation window. */
struct SampleWindow
{
    /** s: samples before this time belong to the window. */
    int64_t end = 0;
    /** s: time of the window's first sample. */
    int64_t start = 0;
    /** mW. */
    int64_t sum = 0;
    int64_t count = 0;
    /** mW, never below 0. */
    int64_t max = 0;
};

/** The total power of the server, folded into 600-second windows that are
 *  kept in a 31-day ring mirrored into "history.dat", with the alarm
 *  threshold kept in "config.ini". Power is in mW, times in s since the
 *  epoch. Used from the daemon's one thread only. */
class PowerStatistics
{
  public:
    /** Seconds: since the epoch for the record times, of the steady clock
     *  for the alarm re-arm, which lives only in memory and which a step of
     *  the wall clock must not stretch. */
    using Clock = std::function<int64_t()>;

    static constexpr uint32_t recordCount = 4464;
    static constexpr int64_t windowLength = 600;
    static constexpr int64_t alarmRearmPeriod = 300;
    /** Longest wait between two attempts to create the total-power reader. */
    static constexpr int64_t readerRetryLimit = 60;

    /** `bus` is the event loop's connection the total-power reader follows
     *  (none: no reader is made). */
    PowerStatistics(sdbus::Bus* bus, DbusHelper* helper);

    PowerStatistics(const PowerStatistics&) = delete;
    PowerStatistics& operator=(const PowerStatistics&) = delete;

    /** Creates the folder, reads the threshold, loads the history and makes
     *  the total-power reader. False when the folder cannot be made (then
     *  nothing else is set up). Throws when "config.ini" holds no threshold
     *  that fits in 32 bits (see readConfig). */
    bool initStatistics(const std::string& configDir);

    /** One tick of the sampling timer. */
    void takeSample();
    void accumulateSample(int64_t now, int32_t power);

    /** Takes the threshold from "config.ini". No file, or one that is no
     *  JSON, leaves it as it is; an "AlarmThreshold" that is missing, of
     *  another type or outside 32 bits throws. */
    void readConfig();
    /** False when the file could not be written (it is left as it was) or
     *  there is no configuration folder. */
    bool writeConfig();
    /** Watts, truncated toward zero. */
    int32_t getAlarmThreshold() const;
    /** Takes a threshold in watts and stores it in the file. False, with the
     *  threshold unchanged, when it does not fit in mW or cannot be
     *  stored. The threshold already held, with the file still as this
     *  daemon last read or wrote it, is not written again. */
    bool setAlarmThreshold(int32_t watts);
    /** `now` in seconds of the steady clock. */
    void checkAlarmThreshold(int64_t now, int32_t power);
    /** Whether a threshold of so many watts fits in mW. */
    static bool thresholdFits(int32_t watts);

    void loadHistoryFile();
    /** Replaces the whole file with the ring (see writeFileAtomically). */
    void writeHistoryFile();
    /** Writes record `index` of the ring at its place in the file; when
     *  that fails, the whole file is written instead. */
    void writeHistoryRecord(uint32_t index);
    void resetHistory();
    /** Empties the ring and the file. False, with nothing changed, when
     *  there is no configuration folder. */
    bool cleanHistory();

    /** Whether the configuration folder was made: no file is read or
     *  written without it. */
    bool hasFolder() const
    {
        return !historyPath.empty();
    }

    /** W. */
    double getAvgPower() const;
    /** W. */
    double getMaxPower() const;
    int64_t getStatStartTimestamp() const;
    /** Pairs of timestamp and packed record (average in the low 32 bits,
     *  maximum in the high 32 bits) from start to end, oldest first. */
    std::vector<int64_t> getHistoryRange(int64_t start, int64_t end) const;

    void setClock(Clock c)
    {
        clock = std::move(c);
    }
    void setSteadyClock(Clock c)
    {
        steadyClock = std::move(c);
    }
    /** Puts a reader in place of the total-power reader. */
    void setReader(std::unique_ptr<ReadInterface> r)
    {
        reader = std::move(r);
    }
    bool hasReader() const
    {
        return reader != nullptr;
    }
    bool alarmRaised() const
    {
        return alarm;
    }
    const std::vector<HistoryRecord>& historyRecords() const
    {
        return records;
    }
    uint32_t writeIndex() const
    {
        return writeIdx;
    }
    uint32_t oldestIndex() const
    {
        return oldestIdx;
    }
    const SampleWindow& sampleWindow() const
    {
        return window;
    }

  private:
    /** Tries to make the total-power reader; on failure the next try is
     *  put off on the steady clock, twice as long each time up to
     *  readerRetryLimit. */
    void createReader();
    void startWindow(int64_t now, int32_t power);
    /** historyMax from the occupied records. */
    void findHistoryMax();
    /** The text writeConfig writes for the threshold. */
    std::string configText() const;

    sdbus::Bus* bus;
    std::unique_ptr<ReadInterface> reader;
    DbusHelper* helper;
    int32_t alarmThreshold = 0;
    std::string configPath;
    /** The stamp of "config.ini" when it was last found or made to hold
     *  exactly configText(); none while that is not known. */
    std::optional<FileStamp> storedConfig;
    std::string historyPath;
    int64_t rearmPeriod = alarmRearmPeriod;
    int64_t nextAlarmTime = 0;
    bool alarm = false;
    uint32_t count = recordCount;
    std::vector<HistoryRecord> records;
    uint32_t writeIdx = 0;
    uint32_t oldestIdx = 0;
    SampleWindow window;
    /** The greatest maximum of the occupied records, while there is one:
     *  found again by a pass over the ring only when the record that held
     *  it is overwritten. */
    int32_t historyMax = 0;
    int64_t averageSum = 0;
    int64_t occupied = 0;

    Clock clock;
    Clock steadyClock;
    /** Whether a reader is wanted (the set-up got that far). */
    bool readerWanted = false;
    std::chrono::steady_clock::time_point readerRetryAt;
    std::chrono::seconds readerRetryDelay{1};
    /** Whether the last reading was left out as unusable. */
    bool badSample = false;
    /** The total power service was found gone, and that was written. */
    bool serviceGone = false;
};

} // namespace bmcmon
