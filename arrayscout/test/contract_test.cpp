// What arrayscout serves on D-Bus is what its introspection file says: the
// root object, the resource object and controllers on two buses, one with
// drives and volumes, one without.

#include "storesim_description.hpp"
#include "testkit/contract.hpp"
#include "testkit/main.hpp"
#include "testkit/process.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/stubs.hpp"

#include <cstdlib>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using arrayscout_test::card;
using arrayscout_test::controller;
using arrayscout_test::json;

constexpr const char* service = "xyz.openbmc_project.Raid";

TEST(Arrayscout, ServesWhatItsIntrospectionFileSays)
{
    // The inventory files are only ever written inside the sandbox.
    if (!testkit::sandboxed())
    {
        GTEST_SKIP() << testkit::sandboxRefusal();
    }
    arrayscout_test::Description sim;
    sim.write(
        {{"buses", json::array({card(14, json::array({controller(0, 4, 2)})),
                                card(15, json::array({controller(1, 0)}))})}});
    testkit::CommandStubs stubs;
    stubs.add("log-util");
    const char* asan = std::getenv("ASAN_OPTIONS");
    testkit::Process daemon(testkit::Process::Options{
        .argv = {std::getenv("ARRAYSCOUT")},
        .env = {{"STORESIM_CONFIG", sim.path()},
                {"STORESIM_LOG", sim.logPath()},
                {"LD_PRELOAD", std::getenv("ARRAYSCOUT_I2CSIM")},
                {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") +
                                     ":verify_asan_link_order=0"}},
        .pathPrepend = {stubs.path()}});
    ASSERT_TRUE(daemon.waitForBusName(service));
    EXPECT_THAT(
        testkit::contractDifferences(service, std::getenv("DBUS_CONTRACT")),
        ::testing::IsEmpty());
}

} // namespace

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {.overlays = {"/var"}});
}
