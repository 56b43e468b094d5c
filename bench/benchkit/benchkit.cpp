#include "benchkit.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <stdexcept>

namespace benchkit
{

double selfCpuSeconds()
{
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN})
    {
        rusage u{};
        getrusage(who, &u);
        total +=
            static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
            static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

double processCpuSeconds(pid_t pid)
{
    // The first field of a thread's schedstat is its time on a CPU in ns.
    const std::filesystem::path tasks =
        "/proc/" + std::to_string(pid) + "/task";
    double nanoseconds = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec))
    {
        std::ifstream stat(task.path() / "schedstat");
        double ns = 0;
        if (stat >> ns)
        {
            nanoseconds += ns;
        }
    }
    return nanoseconds / 1e9;
}

void Samples::add(double value)
{
    values.push_back(value);
    order.clear();
}

std::size_t Samples::size() const
{
    return values.size();
}

const std::vector<double>& Samples::sorted() const
{
    if (values.empty())
    {
        throw std::logic_error("benchkit: no samples");
    }
    if (order.size() != values.size())
    {
        order = values;
        std::sort(order.begin(), order.end());
    }
    return order;
}

double Samples::percentile(double p) const
{
    const auto& s = sorted();
    auto at = static_cast<std::size_t>(static_cast<double>(s.size()) * p / 100);
    return s[std::min(at, s.size() - 1)];
}

double Samples::median() const
{
    return percentile(50);
}

double Samples::mean() const
{
    const auto& s = sorted();
    return std::accumulate(s.begin(), s.end(), 0.0) /
           static_cast<double>(s.size());
}

double Samples::min() const
{
    return sorted().front();
}

double Samples::max() const
{
    return sorted().back();
}

std::string Samples::summary(const char* unit, double scale) const
{
    char line[160];
    std::snprintf(line, sizeof(line),
                  "median %9.3f %s  mean %9.3f %s  min %9.3f %s  max %9.3f %s",
                  median() * scale, unit, mean() * scale, unit, min() * scale,
                  unit, max() * scale, unit);
    return line;
}

} // namespace benchkit
