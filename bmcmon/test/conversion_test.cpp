// Records, value conversion and decoding, sensor paths, match rules,
// scaling and the name tables.

#include "bmcmon/dbus_types.hpp"
#include "bmcmon/property_decode.hpp"
#include "bmcmon/sensor_util.hpp"
#include "test_message.hpp"

#include <cmath>
#include <limits>
#include <regex>

#include <gtest/gtest.h>

namespace bmcmon::test
{
namespace
{

TEST(Conversion, NumbersAndBooleansBecomeDoubles)
{
    EXPECT_EQ(toDouble(DbusPropertyValue(int64_t{42})), 42.0);
    EXPECT_EQ(toDouble(DbusPropertyValue(2.5)), 2.5);
    EXPECT_EQ(toDouble(DbusPropertyValue(true)), 1.0);
    EXPECT_EQ(toDouble(DbusPropertyValue(false)), 0.0);
    EXPECT_EQ(toDouble(ChangedPropertyValue(int64_t{-7})), -7.0);
    EXPECT_EQ(toDouble(ChangedPropertyValue(true)), 1.0);
}

TEST(Conversion, StringIsRefused)
{
    try
    {
        toDouble(DbusPropertyValue(std::string("3000")));
        FAIL() << "no exception";
    }
    catch (const std::invalid_argument& e)
    {
        EXPECT_STREQ(e.what(), "Cannot translate type to double");
    }
}

TEST(Conversion, HostStateCodes)
{
    EXPECT_EQ(hostStateCode("xyz.openbmc_project.State.Host.HostState.Running"),
              1);
    EXPECT_EQ(hostStateCode("xyz.openbmc_project.State.Host.HostState.Off"), 2);
    EXPECT_EQ(
        hostStateCode("xyz.openbmc_project.State.Host.HostState.Quiesced"), 0);
    EXPECT_EQ(hostStateCode(""), 0);
}

TEST(Conversion, ThermalModeCodesAreExact)
{
    EXPECT_EQ(thermalModeCode("energy-save"), 2);
    EXPECT_EQ(thermalModeCode("low-noise"), 3);
    EXPECT_EQ(thermalModeCode("high-perf"), 4);
    EXPECT_EQ(thermalModeCode("custom"), 5);
    EXPECT_EQ(thermalModeCode("Custom"), 0);
    EXPECT_EQ(thermalModeCode("custom "), 0);
}

class Decode : public ::testing::Test
{
  protected:
    /** A message whose body is one a{sv} holding `name` = value of type T. */
    template <typename T>
    sdbus::Message mapOf(const std::string& name, const T& value)
    {
        sdbus::Message m = bus.newSignal("/test", "test.Decode", "Map");
        m.append(std::map<std::string, std::variant<T>>{{name, value}});
        return sealed(m);
    }

    sdbus::Bus bus = sdbus::Bus::newSystem();
};

TEST_F(Decode, EveryIntegerTypeReadsAsInteger)
{
    auto check = [this](auto v, int64_t expected) {
        sdbus::Message m = mapOf("Value", v);
        auto map = readVariantMap<DbusPropertyValue>(m);
        ASSERT_TRUE(std::holds_alternative<int64_t>(map.at("Value")));
        EXPECT_EQ(std::get<int64_t>(map.at("Value")), expected);
    };
    check(uint8_t{200}, 200);
    check(int16_t{-300}, -300);
    check(uint16_t{60000}, 60000);
    check(int32_t{3000}, 3000);
    check(uint32_t{4000000000U}, 4000000000LL);
    check(int64_t{-5}, -5);
    check(uint64_t{7}, 7);
}

TEST_F(Decode, HugeUnsignedBecomesDouble)
{
    sdbus::Message m = mapOf("Value", std::numeric_limits<uint64_t>::max());
    auto map = readVariantMap<ChangedPropertyValue>(m);
    ASSERT_TRUE(std::holds_alternative<double>(map.at("Value")));
    EXPECT_DOUBLE_EQ(std::get<double>(map.at("Value")), 18446744073709551615.0);
}

TEST_F(Decode, OtherTypesKeepTheirRule)
{
    // Exact types go to their own alternative.
    sdbus::Message s = mapOf("Unit", std::string("RPMS"));
    EXPECT_EQ(
        std::get<std::string>(readVariantMap<DbusPropertyValue>(s).at("Unit")),
        "RPMS");
    // A type that no alternative has reads as the first one's default.
    sdbus::Message o = mapOf("Value", sdbus::ObjectPath("/a/b"));
    EXPECT_EQ(
        std::get<int64_t>(readVariantMap<DbusPropertyValue>(o).at("Value")), 0);
    sdbus::Message str = mapOf("Value", std::string("x"));
    EXPECT_EQ(std::get<int64_t>(
                  readVariantMap<ChangedPropertyValue>(str).at("Value")),
              0);
    // Without an integer alternative, integers are no exception.
    sdbus::Message i = mapOf("PowerCap", int32_t{500});
    auto cap = readVariantMap<std::variant<uint32_t, bool>>(i);
    EXPECT_EQ(std::get<uint32_t>(cap.at("PowerCap")), 0U);
    sdbus::Message u = mapOf("PowerCap", uint32_t{500});
    EXPECT_EQ(
        std::get<uint32_t>(
            readVariantMap<std::variant<uint32_t, bool>>(u).at("PowerCap")),
        500U);
}

TEST_F(Decode, ContainersAreSkippedWhole)
{
    sdbus::Message m = bus.newSignal("/test", "test.Decode", "Map");
    m.append(std::map<std::string, std::variant<std::vector<int32_t>, double>>{
        {"A", std::vector<int32_t>{1, 2, 3}}, {"B", 4.5}});
    sealed(m);
    auto map = readVariantMap<DbusPropertyValue>(m);
    EXPECT_EQ(std::get<int64_t>(map.at("A")), 0);
    EXPECT_EQ(std::get<double>(map.at("B")), 4.5);
}

TEST_F(Decode, WrongBodyIsABusError)
{
    sdbus::Message m = bus.newSignal("/test", "test.Decode", "Map");
    m.append(std::string("not a map"));
    sealed(m);
    EXPECT_THROW(readVariantMap<DbusPropertyValue>(m), sdbus::SdBusError);
}

TEST(SensorPaths, ByType)
{
    EXPECT_EQ(getSensorPath("fan", "FAN3"),
              "/xyz/openbmc_project/sensors/fan_tach/FAN3");
    EXPECT_EQ(getSensorPath("temp", "cpu0"),
              "/xyz/openbmc_project/sensors/temperature/cpu0");
    EXPECT_EQ(getSensorPath("margin", "cpu0"),
              "/xyz/openbmc_project/sensors/temperature/cpu0");
    EXPECT_EQ(getSensorPath("power", "total_power"),
              "/xyz/openbmc_project/sensors/power/total_power");
    EXPECT_EQ(getSensorPath("powercap", "ignored"),
              "/xyz/openbmc_project/control/host0/power_cap");
    EXPECT_EQ(getSensorPath("host", "host0"),
              "/xyz/openbmc_project/state/host0");
    EXPECT_EQ(getSensorPath("ThermalMode", "ignored"),
              "/xyz/openbmc_project/control/thermal");
    EXPECT_EQ(getSensorPath("Fan", "x"),
              "/xyz/openbmc_project/sensors/unknown/x");
}

TEST(SensorPaths, ValidTypes)
{
    for (const char* t : {"fan", "temp", "margin", "power"})
    {
        EXPECT_TRUE(validType(t)) << t;
    }
    for (const char* t : {"Fan", "powercap", "host", "ThermalMode", ""})
    {
        EXPECT_FALSE(validType(t)) << t;
    }
}

TEST(SensorPaths, MatchRule)
{
    EXPECT_EQ(getMatch("host", "host0"),
              "type='signal',interface='org.freedesktop.DBus.Properties',"
              "member='PropertiesChanged',"
              "path='/xyz/openbmc_project/state/host0'");
}

TEST(Scaling, RangeNormalisation)
{
    auto scaled = [](double min, double max, double v) {
        scaleSensorReading(min, max, v);
        return v;
    };
    EXPECT_EQ(scaled(0, 0, 50), 50);
    EXPECT_EQ(scaled(10, 10, 50), 50);
    EXPECT_EQ(scaled(20, 10, 50), 50);
    EXPECT_EQ(scaled(-10, -5, 50), 50);
    EXPECT_EQ(scaled(0, 200, 50), 0.25);
    EXPECT_EQ(scaled(0, 200, 400), 2.0);
    EXPECT_EQ(scaled(100, 200, 50), -0.5);
    EXPECT_TRUE(std::isnan(scaled(0, std::nan(""), 50)));
}

TEST(NameTables, AssignNameIdTakesLowestFree)
{
    std::map<std::string, uint64_t> table{{"a", 0}, {"b", 2}};
    EXPECT_EQ(assignNameId("b", table, 0), 2U);
    EXPECT_EQ(assignNameId("c", table, 0), 1U);
    EXPECT_EQ(table.at("c"), 1U);
    EXPECT_EQ(assignNameId("d", table, 2), 3U);
    EXPECT_EQ(assignNameId("e", table, 0), 4U);
}

TEST(NameTables, FindPathsByNameMatchesTheEnd)
{
    std::unordered_map<std::string, std::string> table{
        {"/xyz/openbmc_project/sensors/fan_tach/FAN1", "one"},
        {"/xyz/openbmc_project/sensors/fan_tach/FAN10", "ten"},
        {"/xyz/openbmc_project/sensors/FAN1/other", "dir"}};
    auto found = findPathsByName("FAN1", table);
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].second, "one");
    EXPECT_EQ(findPathsByName("FAN1.", table).size(), 1U);
    EXPECT_THROW(findPathsByName("FAN(", table), std::regex_error);
}

} // namespace
} // namespace bmcmon::test
