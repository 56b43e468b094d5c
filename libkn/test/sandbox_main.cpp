// Tests of the families that use fixed paths, semaphores and System V
// segments: they run in a private mount and IPC namespace.
#include "testkit/main.hpp"

int main(int argc, char** argv)
{
    return testkit::runTests(
        argc, argv,
        {.overlays = {"/run", "/var", "/media", "/tmp", "/etc"},
         .mkdirs = {"/run/BMCInfo/Development/Log/bmc",
                    "/var/BMCInfo/Development/Log/bmc",
                    "/media/card/BMCInfo/Development/Log/bmc"},
         .ipc = true},
        /*privateBus=*/false);
}
