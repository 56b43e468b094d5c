// registerOrSetProperty, the device map and the presence tests.

#include "property_cache.hpp"
#include "unit_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace arrayscout;
using arrayscout_test::DaemonState;
using ::testing::HasSubstr;
using ::testing::Not;

using Cache = DaemonState;

TEST_F(Cache, FirstRefreshRegistersLaterOnesSet)
{
    auto iface = addDevice(1, 0, 0);
    registerOrSetProperty(1, 0, 0, "PD_names",
                          std::vector<std::string>{"disk0"});
    // A second store before the object is announced replaces the value.
    registerOrSetProperty(1, 0, 0, "PD_names",
                          std::vector<std::string>{"disk0", "disk1"});
    EXPECT_EQ(iface->getProperty<std::vector<std::string>>("PD_names"),
              (std::vector<std::string>{"disk0", "disk1"}));
    EXPECT_EQ(value<std::vector<std::string>>(collected(1, 0), "PD_names"),
              (std::vector<std::string>{"disk0", "disk1"}));
    EXPECT_TRUE(_cacheUpdated);

    iface->initialize();
    _cacheUpdated = false;
    _collectingCache.clear();
    // The same value again: stored, flag set.
    registerOrSetProperty(1, 0, 0, "PD_names",
                          std::vector<std::string>{"disk0", "disk1"});
    EXPECT_TRUE(_cacheUpdated);
    EXPECT_TRUE(hasDriveNames(1, 0, 0, _collectingCache));

    // A property the first refresh did not register can never be set.
    registerOrSetProperty(1, 0, 0, "Model", std::string("X"));
    EXPECT_THAT(out.str(), HasSubstr("set_property Model failed!\n"));
    EXPECT_FALSE(collected(1, 0).contains("Model"));
    // Nor one of another type.
    registerOrSetProperty(1, 0, 0, "PD_names", int32_t{3});
    EXPECT_EQ(iface->getProperty<std::vector<std::string>>("PD_names"),
              (std::vector<std::string>{"disk0", "disk1"}));
}

TEST_F(Cache, InvalidNameIsNeitherPublishedNorCached)
{
    auto iface = addDevice(1, 0, 0);
    registerOrSetProperty(1, 0, 0, "PD-names", int32_t{1});
    EXPECT_THAT(out.str(), HasSubstr("register_property PD-names failed!\n"));
    EXPECT_FALSE(_cacheUpdated);
    EXPECT_EQ(findDevice(_collectingCache, 1, 0, 0), nullptr);
    EXPECT_THROW(iface->getProperty<int32_t>("PD-names"),
                 std::invalid_argument);
}

TEST_F(Cache, EveryValueTypeKeepsItsAlternative)
{
    addDevice(0, 0, 0);
    registerOrSetProperty(0, 0, 0, "x", int64_t{-5});
    registerOrSetProperty(0, 0, 0, "i", int32_t{7});
    registerOrSetProperty(0, 0, 0, "s", std::string("t"));
    registerOrSetProperty(0, 0, 0, "ai", std::vector<int32_t>{1});
    registerOrSetProperty(0, 0, 0, "as", std::vector<std::string>{"a"});
    registerOrSetProperty(0, 0, 0, "aai",
                          std::vector<std::vector<int32_t>>{{1, 5}});
    registerOrSetProperty(0, 0, 0, "ax", std::vector<int64_t>{1LL << 40});
    const auto& m = collected(0, 0);
    EXPECT_EQ(m.at("x").index(), 0U);
    EXPECT_EQ(m.at("i").index(), 1U);
    EXPECT_EQ(m.at("s").index(), 2U);
    EXPECT_EQ(m.at("ai").index(), 3U);
    EXPECT_EQ(m.at("as").index(), 4U);
    EXPECT_EQ(m.at("aai").index(), 5U);
    EXPECT_EQ(m.at("ax").index(), 6U);
}

TEST_F(Cache, PresenceAndDropping)
{
    addDevice(1, 1, 0);
    EXPECT_FALSE(isInBusMap(1, 0, 0));
    EXPECT_EQ(out.str(), "This resource already in BusMap[1]!\n");
    out.str("");
    EXPECT_TRUE(isInBusMap(1, 1, 0));
    EXPECT_THAT(out.str(),
                HasSubstr("This driver already in BusMap[1][1][0]!"));

    // Dropping one of two controllers leaves the other.
    addDevice(1, 0, 0);
    dropStaleDevices(1, 0, 0);
    EXPECT_TRUE(BusMap.at(1).contains(1));
    EXPECT_FALSE(BusMap.at(1).contains(0));

    // The only controller of a resource takes the resource with it, and
    // what it stored stays cached.
    addDevice(2, 0, 0);
    registerOrSetProperty(2, 0, 0, "PDcount", int32_t{1});
    dropStaleDevices(2, 0, 0);
    EXPECT_FALSE(BusMap.contains(2));
    EXPECT_NE(findDevice(_collectingCache, 2, 0, 0), nullptr);
    // Dropping what is not there changes nothing.
    dropStaleDevices(3, 0, 0);
    EXPECT_EQ(BusMap.size(), 1U);
}

TEST_F(Cache, ResourceDevice)
{
    addDevice(0, 0, 0);
    EXPECT_EQ(updateResourceDevice({2}), 0);
    EXPECT_EQ(value<int32_t>(collected(0, 0), "resourceNum"), 1);
    EXPECT_EQ(value<std::vector<int32_t>>(collected(0, 0), "resourceI2CList"),
              std::vector<int32_t>{2});
    EXPECT_FALSE(hasPublishedDriveNames(0, 0, 0));
}
