// Tests of the device families: I2C, SMBus EEPROMs, the CPLD and GPIO. The
// buses are the fake ones of fake_i2c; the sysfs, log and cache files live
// in a private mount namespace, the switch claims in private IPC.
#include "testkit/main.hpp"

int main(int argc, char** argv)
{
    return testkit::runTests(
        argc, argv,
        {.overlays = {"/run", "/tmp", "/sys/class", "/sys/devices"},
         .mkdirs = {"/run/BMCInfo/Development/Log/bmc", "/sys/class/gpio",
                    "/run/backplane", "/run/obmcinfo/i2c"},
         .ipc = true},
        /*privateBus=*/false);
}
