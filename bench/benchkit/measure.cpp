#include "measure.hpp"

#include "floor.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"
#include "sdbus/message.hpp"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

namespace benchkit
{

namespace
{

using namespace std::chrono_literals;

constexpr auto startDeadline = 30s;

void keepOrEnd(std::unique_ptr<testkit::Process> process,
               std::unique_ptr<testkit::Process>* keep)
{
    if (keep != nullptr)
    {
        *keep = std::move(process);
    }
    else
    {
        process->terminate();
    }
}

[[noreturn]] void didNotStart(const testkit::Process::Options& options,
                              testkit::Process& process)
{
    std::cerr << options.argv.front() << " did not start: " << process.err()
              << "\n";
    std::exit(1);
}

} // namespace

bool quick()
{
    const char* q = std::getenv("BENCH_QUICK");
    return q != nullptr && *q != '\0' && std::string(q) != "0";
}

int count(int full, int quickly)
{
    return quick() ? quickly : full;
}

long privateKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.rfind("Anonymous:", 0) == 0)
        {
            return std::stol(line.substr(10));
        }
    }
    return -1;
}

double timeToName(const testkit::Process::Options& options,
                  const std::string& name,
                  std::unique_ptr<testkit::Process>* keep)
{
    sdbus::Bus bus = sdbus::Bus::newSystem();
    bool owned = false;
    Clock::time_point at;
    sdbus::Match match(bus,
                       "type='signal',sender='org.freedesktop.DBus',"
                       "member='NameOwnerChanged',arg0='" +
                           name + "'",
                       [&](sdbus::Message& m) {
        auto [n, from, to] = m.unpack<std::string, std::string, std::string>();
        if (!to.empty() && !owned)
        {
            owned = true;
            at = Clock::now();
        }
    });
    const auto start = Clock::now();
    auto process = std::make_unique<testkit::Process>(options);
    while (!owned)
    {
        if (bus.process() > 0)
        {
            continue;
        }
        if (!process->running() || Clock::now() - start > startDeadline)
        {
            didNotStart(options, *process);
        }
        sd_bus_wait(bus.get(), 10'000);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(at - start).count();
    keepOrEnd(std::move(process), keep);
    return ms;
}

double timeToOutput(const testkit::Process::Options& options,
                    const std::string& needle,
                    std::unique_ptr<testkit::Process>* keep)
{
    const auto start = Clock::now();
    auto process = std::make_unique<testkit::Process>(options);
    // Polled every 100 us: the figure is that much coarser than the bus
    // name's.
    while (process->err().find(needle) == std::string::npos)
    {
        if (!process->running() || Clock::now() - start > startDeadline)
        {
            didNotStart(options, *process);
        }
        std::this_thread::sleep_for(100us);
    }
    const double ms = since<std::milli>(start);
    keepOrEnd(std::move(process), keep);
    return ms;
}

std::pair<Result, Result> interleave(int ops, int batch, int warmUp,
                                     const Side& daemon, const Side& floor)
{
    for (const Side* side : {&daemon, &floor})
    {
        for (int i = 0; i < warmUp; ++i)
        {
            if (side->prepare)
            {
                side->prepare(i);
            }
            side->operation(i);
        }
        if (side->afterBatch)
        {
            side->afterBatch();
        }
    }
    Result d;
    Result f;
    d.kibBefore = privateKiB(daemon.pid);
    f.kibBefore = privateKiB(floor.pid);
    const double cpuD = processCpuSeconds(daemon.pid);
    const double cpuF = processCpuSeconds(floor.pid);
    for (int done = 0; done < ops; done += batch)
    {
        const int n = std::min(batch, ops - done);
        for (auto [side, result] :
             {std::pair{&daemon, &d}, std::pair{&floor, &f}})
        {
            for (int i = done; i < done + n; ++i)
            {
                if (side->prepare)
                {
                    side->prepare(warmUp + i);
                }
                const auto t0 = Clock::now();
                side->operation(warmUp + i);
                result->us.add(since<std::micro>(t0));
            }
            if (side->afterBatch)
            {
                side->afterBatch();
            }
        }
    }
    d.cpuPerOpUs = (processCpuSeconds(daemon.pid) - cpuD) * 1e6 / ops;
    f.cpuPerOpUs = (processCpuSeconds(floor.pid) - cpuF) * 1e6 / ops;
    d.kibAfter = privateKiB(daemon.pid);
    f.kibAfter = privateKiB(floor.pid);
    return {std::move(d), std::move(f)};
}

std::pair<Samples, Samples> startups(int rounds,
                                     const std::function<double()>& daemon)
{
    Samples d;
    Samples f;
    for (int i = 0; i < rounds; ++i)
    {
        d.add(daemon());
        // Under a name of its own: a floor service may be running.
        auto options = Floor::options();
        options.argv.emplace_back(std::string(floorService) + ".start");
        f.add(timeToName(options, options.argv.back()));
    }
    return {std::move(d), std::move(f)};
}

void addRun(Table& table, const std::string& what,
            const std::pair<Result, Result>& run)
{
    const auto& [d, f] = run;
    const std::string n = std::to_string(d.us.size());
    table.add(what + ": round trip, median of " + n, d.us.median(),
              f.us.median(), "us");
    table.add(what + ": round trip, p99", d.us.percentile(99),
              f.us.percentile(99), "us");
    table.add(what + ": CPU per call", d.cpuPerOpUs, f.cpuPerOpUs, "us");
}

std::pair<double, double> idleCpuPercent(pid_t daemon, pid_t floor,
                                         double seconds)
{
    const double d0 = processCpuSeconds(daemon);
    const double f0 = processCpuSeconds(floor);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = since(t0);
    return {(processCpuSeconds(daemon) - d0) * 100 / elapsed,
            (processCpuSeconds(floor) - f0) * 100 / elapsed};
}

double bareWriteMs(const std::string& folder, int rounds)
{
    const std::string path = folder + "/floor-write.dat";
    int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
    {
        std::cerr << "cannot create " << path << "\n";
        std::exit(1);
    }
    const char record[16] = "floor record 16";
    Samples ms;
    for (int i = 0; i < rounds; ++i)
    {
        const auto t0 = Clock::now();
        if (::pwrite(fd, record, sizeof(record),
                     static_cast<off_t>(i % 64) * 16) !=
                static_cast<ssize_t>(sizeof(record)) ||
            ::fdatasync(fd) != 0)
        {
            std::cerr << "cannot write " << path << "\n";
            std::exit(1);
        }
        ms.add(since<std::milli>(t0));
    }
    ::close(fd);
    ::unlink(path.c_str());
    return ms.median();
}

} // namespace benchkit
