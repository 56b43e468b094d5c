// Owns a bus name on the system bus until SIGTERM: a stand-in for a daemon
// in the test kit's own tests.
#include <systemd/sd-bus.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace
{
volatile std::sig_atomic_t stop = 0;
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s NAME\n", argv[0]);
        return 2;
    }
    std::signal(SIGTERM, [](int) { stop = 1; });
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r >= 0)
    {
        r = sd_bus_request_name(bus, argv[1], 0);
    }
    if (r < 0)
    {
        std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(-r));
        sd_bus_unref(bus);
        return 1;
    }
    while (stop == 0)
    {
        r = sd_bus_process(bus, nullptr);
        if (r < 0)
        {
            break;
        }
        if (r == 0)
        {
            sd_bus_wait(bus, 100'000);
        }
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
