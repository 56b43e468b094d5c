#include "table.hpp"

#include "measure.hpp"

#include <cstdio>
#include <utility>

namespace benchkit
{

namespace
{

std::string format(double value, const char* unit, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f %s", decimals, value, unit);
    return text;
}

std::string signedKiB(long kib)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%+ld kB", kib);
    return text;
}

std::string growthFlag(long kib)
{
    return kib > growthFlagKiB ? "GREW >64 kB" : "ok";
}

} // namespace

Table::Table(std::string component) : component(std::move(component)) {}

void Table::row(const std::string& figure, const std::string& value,
                const std::string& floor, const std::string& ratio)
{
    char line[256];
    std::snprintf(line, sizeof(line), "| %-13s | %-60s | %12s | %12s | %11s |",
                  component.c_str(), figure.c_str(), value.c_str(),
                  floor.c_str(), ratio.c_str());
    rows.emplace_back(line);
}

void Table::add(const std::string& figure, double value, double floor,
                const char* unit, int decimals)
{
    std::string ratio = "-";
    if (floor > 0)
    {
        char text[32];
        const double r = value / floor;
        std::snprintf(text, sizeof(text), r < 0.1 ? "%.4f" : "%.2f", r);
        ratio = text;
    }
    row(figure, format(value, unit, decimals), format(floor, unit, decimals),
        ratio);
}

void Table::add(const std::string& figure, double value, const char* unit,
                int decimals)
{
    row(figure, format(value, unit, decimals), "-", "-");
}

void Table::addGrowth(const std::string& figure, long kib, long floorKib)
{
    row(figure + (quick() ? " (quick run)" : ""), signedKiB(kib),
        signedKiB(floorKib), growthFlag(kib));
}

void Table::addGrowth(const std::string& figure, long kib)
{
    row(figure + (quick() ? " (quick run)" : ""), signedKiB(kib), "-",
        growthFlag(kib));
}

void Table::addMemory(long startKib, long floorStartKib, long afterKib,
                      long floorAfterKib, const std::string& after)
{
    add("private memory at start", static_cast<double>(startKib),
        static_cast<double>(floorStartKib), "kB", 0);
    add("private memory " + after, static_cast<double>(afterKib),
        static_cast<double>(floorAfterKib), "kB", 0);
}

void Table::addIdle(const std::string& figure, double seconds, double percent,
                    double floorPercent)
{
    add(figure + " over " + std::to_string(static_cast<int>(seconds)) + " s",
        percent, floorPercent, "%", 3);
}

void Table::print() const
{
    std::printf("| %-13s | %-60s | %12s | %12s | %11s |\n", "daemon", "figure",
                "value", "floor", "ratio");
    std::printf("|%s|%s|%s|%s|%s|\n", std::string(15, '-').c_str(),
                std::string(62, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(13, '-').c_str());
    for (const auto& r : rows)
    {
        std::printf("%s\n", r.c_str());
    }
    std::fflush(stdout);
}

} // namespace benchkit
