// The window, the ring and its file, and the queries built on them.

#include "stats_fixture.hpp"

#include <filesystem>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr int64_t packed(int32_t average, int32_t maximum)
{
    return static_cast<int64_t>(
        (static_cast<uint64_t>(static_cast<uint32_t>(maximum)) << 32) |
        static_cast<uint32_t>(average));
}

TEST_F(StatsTest, NothingSampledGivesZerosAndNow)
{
    auto s = start();
    EXPECT_EQ(s->getAvgPower(), 0.0);
    EXPECT_EQ(s->getMaxPower(), 0.0);
    EXPECT_EQ(s->getStatStartTimestamp(), now);
}

TEST_F(StatsTest, OpenWindowGivesRunningAverageAndMaximum)
{
    auto s = start();
    s->accumulateSample(1000, 100000);
    s->accumulateSample(1001, 200000);
    s->accumulateSample(1002, 50001);
    EXPECT_DOUBLE_EQ(s->getAvgPower(), 116.667);
    EXPECT_DOUBLE_EQ(s->getMaxPower(), 200.0);
    EXPECT_EQ(s->getStatStartTimestamp(), 1000);
}

TEST_F(StatsTest, LateSampleClosesTheWindowWithItsOwnTime)
{
    auto s = start();
    s->accumulateSample(1000, 100000);
    s->accumulateSample(1599, 300000);
    s->accumulateSample(1605, 7000);

    EXPECT_EQ(s->historyRecords()[0], (HistoryRecord{1605, 200000, 300000}));
    EXPECT_EQ(s->writeIndex(), 1U);
    // The closing sample opens the next window.
    EXPECT_EQ(s->sampleWindow().start, 1605);
    EXPECT_EQ(s->sampleWindow().count, 1);
    EXPECT_EQ(s->sampleWindow().end, 2205);
    // The first record is the oldest: statistics start a window before it.
    EXPECT_EQ(s->oldestIndex(), 0U);
    EXPECT_EQ(s->getStatStartTimestamp(), 1005);
    EXPECT_THAT(s->getHistoryRange(1, 5000),
                ElementsAre(1605, packed(200000, 300000)));
}

TEST_F(StatsTest, NegativeSamplesKeepAMaximumOfZero)
{
    auto s = start();
    s->accumulateSample(1000, -5000);
    s->accumulateSample(1010, -3000);
    s->accumulateSample(1600, 1000);
    EXPECT_EQ(s->historyRecords()[0], (HistoryRecord{1600, -4000, 0}));
}

TEST_F(StatsTest, OpenWindowCountsAsOneMoreRecord)
{
    auto s = start();
    s->accumulateSample(1000, 100000);
    s->accumulateSample(1600, 200000);
    s->accumulateSample(2200, 400000);
    s->accumulateSample(2201, 500000);
    // Records 100 W and 200 W, open window 450 W.
    EXPECT_DOUBLE_EQ(s->getAvgPower(), 250.0);
    EXPECT_DOUBLE_EQ(s->getMaxPower(), 500.0);
}

TEST_F(StatsTest, RangeSelectsByTimeAndPadsEmptySlotsForStartZero)
{
    auto s = start();
    fillWindows(*s, 1000, 3, [](int k) { return 1000 * k; });
    // Records at 1600, 2200, 2800 with 1, 2 and 3 W.
    EXPECT_THAT(
        s->getHistoryRange(2000, 2800),
        ElementsAre(2200, packed(2000, 2000), 2800, packed(3000, 3000)));
    EXPECT_THAT(s->getHistoryRange(1, 2199),
                ElementsAre(1600, packed(1000, 1000)));
    EXPECT_THAT(s->getHistoryRange(2800, 2200), IsEmpty());

    auto all = s->getHistoryRange(0, std::numeric_limits<int64_t>::max());
    ASSERT_EQ(all.size(), 2 * N);
    EXPECT_THAT(std::vector<int64_t>(all.begin(), all.begin() + 8),
                ElementsAre(1600, packed(1000, 1000), 2200, packed(2000, 2000),
                            2800, packed(3000, 3000), 0, 0));
    EXPECT_EQ(all.back(), 0);
}

TEST_F(StatsTest, FullRingOverwritesTheOldestRecord)
{
    std::vector<HistoryRecord> ring(N);
    for (uint32_t i = 0; i < N; ++i)
    {
        ring[i] = {100000 + 600 * static_cast<int64_t>(i), 1000, 2000};
    }
    // The two largest maxima are equal; the oldest record holds one.
    ring[0].maximum = 9000;
    ring[7].maximum = 9000;
    writeHistory(ring);

    auto s = start();
    EXPECT_EQ(s->oldestIndex(), 0U);
    EXPECT_EQ(s->writeIndex(), 0U);
    EXPECT_EQ(s->getStatStartTimestamp(), 100000 - 600);

    const int64_t last = ring[N - 1].timestamp;
    s->accumulateSample(last + 10, 3000);
    s->accumulateSample(last + 610, 3000);

    EXPECT_EQ(s->historyRecords()[0], (HistoryRecord{last + 610, 3000, 3000}));
    EXPECT_EQ(s->oldestIndex(), 1U);
    EXPECT_EQ(s->writeIndex(), 1U);
    EXPECT_EQ(s->getStatStartTimestamp(), ring[1].timestamp - 600);
    // The other record with the same maximum is still there.
    EXPECT_DOUBLE_EQ(s->getMaxPower(), 9.0);
    auto all = s->getHistoryRange(0, std::numeric_limits<int64_t>::max());
    ASSERT_EQ(all.size(), 2 * N);
    EXPECT_EQ(all.front(), ring[1].timestamp);
    EXPECT_EQ(all[2 * N - 2], last + 610);

    // Once record 7 has gone too, the largest maximum is 3 W (the window).
    for (int k = 2; k <= 8; ++k)
    {
        s->accumulateSample(last + 600 * k + 10, 1500);
    }
    EXPECT_DOUBLE_EQ(s->getMaxPower(), 3.0);
}

TEST_F(StatsTest, CleanEmptiesRingAndFile)
{
    auto s = start();
    fillWindows(*s, 1000, 2, [](int) { return 5000; });
    s->cleanHistory();

    EXPECT_EQ(s->getStatStartTimestamp(), 2200);
    EXPECT_DOUBLE_EQ(s->getAvgPower(), 5.0);
    EXPECT_THAT(s->getHistoryRange(1, 1'000'000), IsEmpty());
    EXPECT_TRUE(fileHolds(historyPath(),
                          HistoryFile::encode(std::vector<HistoryRecord>(N))));
}

TEST_F(StatsTest, EveryClosedWindowReachesTheFile)
{
    auto s = start();
    fillWindows(*s, 1000, 2, [](int k) { return 1000 * k; });

    std::string file = readFile(historyPath());
    ASSERT_EQ(file.size(), 8 + 16 * N);
    EXPECT_EQ(file.substr(0, 8), std::string("\xE7\x45\x54\x7E\x01\0\0\0", 8));
    // Record 1: timestamp 2200, average and maximum 2000 mW (0x7D0).
    EXPECT_EQ(file.substr(8 + 16, 16),
              std::string("\x98\x08\0\0\0\0\0\0\xD0\x07\0\0\xD0\x07\0\0", 16));
    EXPECT_FALSE(std::filesystem::exists(historyPath() + ".tmp"));
}

TEST_F(StatsTest, RestartContinuesFromTheFile)
{
    {
        auto s = start();
        fillWindows(*s, 1000, 3, [](int k) { return 1000 * k; });
    }
    auto s = start();
    EXPECT_EQ(s->writeIndex(), 3U);
    EXPECT_EQ(s->oldestIndex(), 0U);
    EXPECT_DOUBLE_EQ(s->getAvgPower(), 2.0);
    EXPECT_DOUBLE_EQ(s->getMaxPower(), 3.0);
    EXPECT_EQ(s->getStatStartTimestamp(), 1000);
    fillWindows(*s, 5000, 1, [](int) { return 1; });
    EXPECT_EQ(s->historyRecords()[3].timestamp, 5600);
}

TEST_F(StatsTest, SingleLoadedRecordIsNotOverwritten)
{
    writeHistory({{1600, 1000, 1000}});
    auto s = start();
    EXPECT_EQ(s->writeIndex(), 1U);
    fillWindows(*s, 2000, 1, [](int) { return 2000; });
    EXPECT_EQ(s->historyRecords()[0], (HistoryRecord{1600, 1000, 1000}));
    EXPECT_EQ(s->historyRecords()[1].timestamp, 2600);
}

TEST_F(StatsTest, MissingFileIsCreatedEmpty)
{
    auto s = start();
    EXPECT_TRUE(fileHolds(historyPath(),
                          HistoryFile::encode(std::vector<HistoryRecord>(N))));
}

TEST_F(StatsTest, ShortFileIsReportedKeptAndCompleted)
{
    std::vector<HistoryRecord> first(100);
    for (int i = 0; i < 100; ++i)
    {
        first[i] = {1600 + 600 * i, 1000, 1000 + i};
    }
    writeHistory(first);
    std::string file = readFile(historyPath());
    writeFile(historyPath(), file.substr(0, 8 + 16 * 100 + 5));

    testing::internal::CaptureStderr();
    auto s = start();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_THAT(err,
                HasSubstr("Expect to get 4464 records, while we got 100\n"));
    EXPECT_TRUE(fileHolds(historyPath(), file));
    EXPECT_EQ(s->writeIndex(), 100U);
    EXPECT_DOUBLE_EQ(s->getMaxPower(), 1.099);
}

TEST_F(StatsTest, ForeignFileIsReplaced)
{
    writeFile(historyPath(), std::string(8 + 16 * N, '\x11'));
    testing::internal::CaptureStderr();
    auto s = start();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(
        err, HasSubstr("Expect to get 4464 records, while we got 4294967295"));
    EXPECT_TRUE(fileHolds(historyPath(),
                          HistoryFile::encode(std::vector<HistoryRecord>(N))));
}

TEST_F(StatsTest, RecordWithNegativeTimeCountsAsEmpty)
{
    writeHistory({{1600, 1000, 1000}, {-5, 7000, 7000}, {2800, 3000, 3000}});
    auto s = start();
    EXPECT_DOUBLE_EQ(s->getMaxPower(), 3.0);
    EXPECT_DOUBLE_EQ(s->getAvgPower(), 2.0);
    EXPECT_EQ(s->historyRecords()[1], HistoryRecord{});
}

TEST_F(StatsTest, UnwritableRecordFallsBackToTheWholeFile)
{
    auto s = start();
    // Neither the record nor a replacement can be written: the file's name
    // and the temporary name are folders.
    std::filesystem::remove(historyPath());
    std::filesystem::create_directory(historyPath());
    std::filesystem::create_directory(historyPath() + ".tmp");

    testing::internal::CaptureStderr();
    fillWindows(*s, 1000, 1, [](int) { return 4000; });
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_THAT(err, HasSubstr("Writing partial history data failed.\n"
                               "Writing history data failed.\n"));
    EXPECT_TRUE(std::filesystem::is_directory(historyPath()));
    EXPECT_EQ(s->historyRecords()[0].timestamp, 1600);

    // With the file gone, the next record is written as a whole file that
    // holds the ring.
    std::filesystem::remove(historyPath());
    std::filesystem::remove(historyPath() + ".tmp");
    testing::internal::CaptureStderr();
    fillWindows(*s, 2000, 1, [](int) { return 4000; });
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Writing partial history data failed.\n");
    std::vector<HistoryRecord> back(N);
    ASSERT_EQ(HistoryFile(historyPath()).load(back), N);
    EXPECT_EQ(back[0].timestamp, 1600);
    EXPECT_EQ(back[1].timestamp, 2600);
}

TEST_F(StatsTest, SamplesComeFromTheReaderInMilliwatts)
{
    auto s = start();
    double watts = 100.9999;
    s->setReader(std::make_unique<FakeReader>(&watts));
    s->takeSample();
    EXPECT_EQ(s->sampleWindow().sum, 100999);

    // Readings that are no power are left out, with one message.
    testing::internal::CaptureStderr();
    watts = std::numeric_limits<double>::quiet_NaN();
    s->takeSample();
    watts = 1e12;
    s->takeSample();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s->sampleWindow().count, 1);
    EXPECT_THAT(err, HasSubstr("Unusable total power reading left out: nan"));
    EXPECT_EQ(err.find("Unusable", 10), std::string::npos);

    watts = -2.5;
    s->takeSample();
    EXPECT_EQ(s->sampleWindow().count, 2);
    EXPECT_EQ(s->sampleWindow().sum, 100999 - 2500);
}

TEST_F(StatsTest, NoReaderSkipsTheTick)
{
    auto s = start();
    EXPECT_FALSE(s->hasReader());
    s->takeSample();
    EXPECT_EQ(s->sampleWindow().count, 0);
}

TEST_F(StatsTest, UnusableFolderSetsNothingUp)
{
    const std::string file = (dir.path() / "plain").string();
    writeFile(file, "x");
    PowerStatistics s(nullptr, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(s.initStatistics(file + "/sub"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Failed to exec command. Return code: 256, "
                               "cmd: mkdir -p " +
                               file + "/sub\n"));
    // Queries still answer from the empty ring.
    EXPECT_THAT(s.getHistoryRange(1, 100), IsEmpty());
    EXPECT_EQ(s.getMaxPower(), 0.0);
}

} // namespace
} // namespace bmcmon::test
