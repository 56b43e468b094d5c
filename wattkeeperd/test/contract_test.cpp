// What wattkeeperd serves on D-Bus is what its introspection file says.

#include "daemon_fixture.hpp"
#include "testkit/contract.hpp"
#include "testkit/main.hpp"

#include <cstdlib>

#include <gmock/gmock.h>

namespace bmcmon::test
{
namespace
{

TEST_F(DaemonTest, ServesWhatItsIntrospectionFileSays)
{
    testkit::Simulator sim(powerSensorConfig(150000));
    start();
    EXPECT_THAT(testkit::contractDifferences(wattkeeperService,
                                             std::getenv("DBUS_CONTRACT")),
                ::testing::IsEmpty());
}

} // namespace
} // namespace bmcmon::test

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {.overlays = {"/var"}});
}
