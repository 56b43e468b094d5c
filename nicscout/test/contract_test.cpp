// What nicscout serves on D-Bus is what its introspection file says: the
// root object and adapters of one and of two ports.

#include "testkit/contract.hpp"
#include "testkit/main.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"

#include <cstdlib>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

constexpr const char* service = "xyz.openbmc_project.NetworkAdapter";

TEST(Nicscout, ServesWhatItsIntrospectionFileSays)
{
    // The inventory path is only ever written inside the sandbox.
    if (!testkit::sandboxed())
    {
        GTEST_SKIP() << testkit::sandboxRefusal();
    }
    std::ofstream("/var/lib/smbios/network")
        << "1\tenp\t3c:fd:fe:a1:10:00\tIntel\tEthernet\tX710\t3b\t0\t0\tUp"
           "\tEnabled\tSlot1\tCPU0\n"
           "1\tenp\t3c:fd:fe:a1:10:01\tIntel\tEthernet\tX710\t3b\t0\t1\tDown"
           "\tEnabled\tSlot1\tCPU0\n"
           "1\tenp\tb4:96:91:00:00:00\tBroadcom\tEthernet\tBCM5720\t5e\t0\t0"
           "\tUp\tDisabled\tSlot3\tCPU1\n";
    testkit::Process daemon(
        testkit::Process::Options{.argv = {std::getenv("NICSCOUT")}});
    ASSERT_TRUE(daemon.waitForBusName(service)) << daemon.err();
    EXPECT_THAT(
        testkit::contractDifferences(service, std::getenv("DBUS_CONTRACT")),
        ::testing::IsEmpty());
}

} // namespace

int main(int argc, char** argv)
{
    return testkit::runTests(
        argc, argv, {.overlays = {"/var"}, .mkdirs = {"/var/lib/smbios"}});
}
