#pragma once

// The table every benchmark ends with: one row per figure, the daemon's
// value beside the floor service's and their ratio. scripts/bench gathers
// the rows (the lines that start with "| ") of every benchmark into one.

#include <string>
#include <vector>

namespace benchkit
{

/** A private memory growth above this is flagged. */
constexpr long growthFlagKiB = 64;

class Table
{
  public:
    explicit Table(std::string component);

    /** A figure beside the floor's, and their ratio. */
    void add(const std::string& figure, double value, double floor,
             const char* unit, int decimals = 1);
    /** A figure that has no floor figure. */
    void add(const std::string& figure, double value, const char* unit,
             int decimals = 1);
    /** A growth of private memory in kB, beside the floor's; flagged when
     *  above growthFlagKiB. */
    void addGrowth(const std::string& figure, long kib, long floorKib);
    /** The same with no floor figure (code measured in process alone). */
    void addGrowth(const std::string& figure, long kib);
    /** Private memory at start and afterwards ("after the run" unless
     *  named), beside the floor's. */
    void addMemory(long startKib, long floorStartKib, long afterKib,
                   long floorAfterKib,
                   const std::string& after = "after the run");
    /** CPU in percent of one core over a time with nothing asked. */
    void addIdle(const std::string& figure, double seconds, double percent,
                 double floorPercent);

    /** The header and the rows. */
    void print() const;

  private:
    void row(const std::string& figure, const std::string& value,
             const std::string& floor, const std::string& ratio);

    std::string component;
    std::vector<std::string> rows;
};

} // namespace benchkit
