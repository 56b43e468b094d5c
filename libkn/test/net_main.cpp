// Tests of the network families: the whole process runs in a network
// namespace of its own (only its own veth pairs and loopback to change),
// with private /run, /tmp and /etc.
#include "net_namespace.hpp"
#include "testkit/main.hpp"

#include <sched.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kntest
{

std::string networkRefusal = "not tried";

bool privateNetwork()
{
    return networkRefusal.empty();
}

} // namespace kntest

int main(int argc, char** argv)
{
    kntest::networkRefusal =
        ::unshare(CLONE_NEWNET) == 0
            ? ""
            : std::string("no network namespace: ") + std::strerror(errno);
    return testkit::runTests(argc, argv,
                             {.overlays = {"/run", "/tmp", "/etc"},
                              .mkdirs = {"/etc/default/obmc/bonding"}},
                             /*privateBus=*/false);
}
