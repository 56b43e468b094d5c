// What vigilhub serves on D-Bus is what its introspection file says.

#include "hub.hpp"
#include "testkit/contract.hpp"

#include <cstdlib>

#include <gmock/gmock.h>

namespace vigilhub::test
{
namespace
{

TEST_F(HubTest, ServesWhatItsIntrospectionFileSays)
{
    startSim();
    startHub();
    EXPECT_THAT(
        testkit::contractDifferences(hubService, std::getenv("DBUS_CONTRACT")),
        ::testing::IsEmpty());
}

} // namespace
} // namespace vigilhub::test
