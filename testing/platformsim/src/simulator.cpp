#include "simulator.hpp"

#include "bus_error.hpp"
#include "clock.hpp"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace platformsim
{

Simulator::Simulator(Config config, bool verbose) :
    callLog(verbose, config.callLogLimit)
{
    for (const auto& service : config.services)
    {
        if (service.name == Control::serviceName)
        {
            throw std::invalid_argument(std::string("the name ") +
                                        Control::serviceName +
                                        " is the simulator's own");
        }
        if (config.mapper && service.name == Mapper::serviceName)
        {
            throw std::invalid_argument(
                std::string("the service ") + Mapper::serviceName +
                " is built in; set \"mapper\": false to configure it");
        }
    }
    if (config.mapper)
    {
        mapper = std::make_unique<Mapper>([this] {
            std::vector<const Service*> present;
            for (const auto& service : services)
            {
                if (!service->absent() &&
                    service->name() != Mapper::serviceName)
                {
                    present.push_back(service.get());
                }
            }
            return present;
        });
        services.push_back(
            std::make_unique<Service>(Mapper::serviceConfig(), callLog));
        services.back()->setMethodHandler(
            [this](sd_bus_message* call, const std::string& member) {
            mapper->answer(call, member);
        });
    }
    for (auto& service : config.services)
    {
        services.push_back(
            std::make_unique<Service>(std::move(service), callLog));
    }
    control = std::make_unique<Control>(*this);
}

Simulator::~Simulator()
{
    // The control service goes first, so that nobody takes the simulator
    // for ready while the others close.
    control.reset();
    services.clear();
}

Service& Simulator::service(const std::string& name)
{
    for (auto& service : services)
    {
        if (service->name() == name)
        {
            return *service;
        }
    }
    throw BusError(error::invalidArgs, "no simulated service " + name);
}

bool Simulator::processAll()
{
    bool any = false;
    for (auto& service : services)
    {
        any = service->process() || any;
    }
    any = control->process() || any;
    uint64_t now = monotonicUsec();
    for (auto& service : services)
    {
        service->answerDue(now);
    }
    return any;
}

int Simulator::run(int signalFd)
{
    std::vector<sd_bus*> buses;
    for (auto& service : services)
    {
        buses.push_back(service->bus());
    }
    buses.push_back(control->bus());

    for (;;)
    {
        // A connection may hold queued messages while its socket no longer
        // looks readable, so process everything until nothing moves.
        while (processAll())
        {}

        std::vector<pollfd> fds;
        uint64_t wake = UINT64_MAX;
        for (sd_bus* bus : buses)
        {
            int events = sd_bus_get_events(bus);
            if (events < 0)
            {
                throw std::runtime_error(
                    std::string("a bus connection failed: ") +
                    std::strerror(-events));
            }
            fds.push_back({sd_bus_get_fd(bus), static_cast<short>(events), 0});
            uint64_t timeout = UINT64_MAX;
            if (sd_bus_get_timeout(bus, &timeout) >= 0)
            {
                wake = std::min(wake, timeout);
            }
        }
        for (auto& service : services)
        {
            wake = std::min(wake, service->nextDue());
        }
        fds.push_back({signalFd, POLLIN, 0});

        int timeoutMs = -1;
        if (wake != UINT64_MAX)
        {
            uint64_t now = monotonicUsec();
            timeoutMs = wake <= now ? 0
                                    : static_cast<int>(std::min<uint64_t>(
                                          (wake - now + 999) / 1000, 60000));
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0)
        {
            if (errno == EINTR)
            {
                continue;
            }
            throw std::runtime_error(std::string("poll failed: ") +
                                     std::strerror(errno));
        }
        if (fds.back().revents & POLLIN)
        {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof(info)) < 0)
            {
                // The signal is pending all the same; leave.
            }
            return 0;
        }
    }
}

} // namespace platformsim
