#pragma once

// A PowerStatistics on a folder of its own, without a bus, with a clock the
// test sets.

#include "bmcmon/read_interface.hpp"
#include "file_helpers.hpp"
#include "history_file.hpp"
#include "power_statistics.hpp"
#include "testkit/tempdir.hpp"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace bmcmon::test
{

/** Hands out whatever value the test put in. */
class FakeReader : public ReadInterface
{
  public:
    explicit FakeReader(double* source) : source(source) {}
    SensorReading read() override
    {
        return {*source, {}};
    }
    bool isFailed() override
    {
        return false;
    }

  private:
    double* source;
};

class StatsTest : public ::testing::Test
{
  protected:
    static constexpr uint32_t N = PowerStatistics::recordCount;

    std::string historyPath() const
    {
        return (dir.path() / "history.dat").string();
    }
    std::string configPath() const
    {
        return (dir.path() / "config.ini").string();
    }

    /** A fresh statistics object on the folder, as after a start. */
    std::unique_ptr<PowerStatistics> start()
    {
        auto s = std::make_unique<PowerStatistics>(nullptr, nullptr);
        s->setClock([this] { return now; });
        EXPECT_TRUE(s->initStatistics(dir.path().string()));
        return s;
    }

    /** Writes a history file holding `records` in slots 0 and up, the rest
     *  empty. */
    void writeHistory(const std::vector<HistoryRecord>& records)
    {
        std::vector<HistoryRecord> ring(N);
        std::copy(records.begin(), records.end(), ring.begin());
        writeFile(historyPath(), HistoryFile::encode(ring));
    }

    /** Closes windows of one sample each at t0 + 600 k, k = 1..n, after the
     *  first sample at t0; power p(k) of the window closed k-th. */
    template <typename F>
    void fillWindows(PowerStatistics& s, int64_t t0, int n, F power)
    {
        s.accumulateSample(t0, power(1));
        for (int k = 1; k <= n; ++k)
        {
            s.accumulateSample(t0 + 600 * k, power(k + 1));
        }
    }

    testkit::TempDir dir{"wattkeeper-unit"};
    int64_t now = 1'700'000'000;
};

} // namespace bmcmon::test
