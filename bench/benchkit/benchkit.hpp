#pragma once

// Timing for the benchmarks: elapsed wall time, CPU time of this process
// and of others, and the order statistics the figures are printed with.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <ratio>
#include <string>
#include <vector>

namespace benchkit
{

using Clock = std::chrono::steady_clock;

/** Wall time since t0, in seconds or in the unit given (std::milli,
 *  std::micro). */
template <typename Unit = std::ratio<1>>
double since(Clock::time_point t0)
{
    return std::chrono::duration<double, Unit>(Clock::now() - t0).count();
}

/** CPU seconds of this process and of its children that have ended. */
double selfCpuSeconds();

/** CPU seconds of a running process so far, over all of its threads
 *  (nanosecond resolution). */
double processCpuSeconds(pid_t pid);

/** Measured values of one figure, in any unit, and their statistics. */
class Samples
{
  public:
    void add(double value);
    std::size_t size() const;

    /** The p-th percentile (0 to 100): the value at index size * p / 100
     *  of the sorted values (the largest for 100). */
    double percentile(double p) const;
    double median() const;
    double mean() const;
    double min() const;
    double max() const;

    /** "median V U  mean V U  min V U  max V U", every value multiplied by
     *  scale first. */
    std::string summary(const char* unit, double scale = 1.0) const;

  private:
    const std::vector<double>& sorted() const;

    std::vector<double> values;
    mutable std::vector<double> order;
};

} // namespace benchkit
