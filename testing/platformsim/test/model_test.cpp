#include "model.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace platformsim
{
namespace
{

using nlohmann::json;
using ::testing::HasSubstr;

std::string refusal(const json& config)
{
    try
    {
        parseConfig(config);
    }
    catch (const std::invalid_argument& e)
    {
        return e.what();
    }
    return "";
}

TEST(Config, ReadsServicesObjectsAndMethods)
{
    auto config = parseConfig(json::parse(R"({
        "mapper": false,
        "services": [{
            "name": "a.b", "objectManager": "/a", "absent": true,
            "objects": [{"path": "/a/x", "interfaces": {"a.b.I": {
                "properties": {"P": ["a{sv}", {"k": ["i", 1]}]},
                "methods": {
                    "M": {"in": "s", "out": "ib", "reply": [4, true]},
                    "D": {"out": "sas"},
                    "E": {"error": {"name": "a.b.Error.No", "message": "m"}}
                }}}}]}]})"));
    EXPECT_FALSE(config.mapper);
    ASSERT_EQ(config.services.size(), 1U);
    const auto& service = config.services[0];
    EXPECT_TRUE(service.absent);
    EXPECT_EQ(service.objectManager, "/a");
    const auto& interface = service.objects.at("/a/x").interfaces.at("a.b.I");
    EXPECT_EQ(interface.properties.at("P").value,
              json::parse(R"([["k", ["i", 1]]])"));
    EXPECT_EQ(interface.methods.at("M").reply, json::parse("[4, true]"));
    EXPECT_EQ(interface.methods.at("D").reply, json::parse(R"(["", []])"));
    EXPECT_EQ(interface.methods.at("E").errorName, "a.b.Error.No");
}

TEST(Config, NamesTheFaultyPlace)
{
    auto bad = [](const char* object) {
        return refusal(json::parse(
            std::string(R"({"services": [{"name": "a.b", "objects": [)") +
            object + "]}]}"));
    };
    EXPECT_THAT(bad(R"({"path": "/x", "interfaces": {"a.I": {"properties":
                    {"P": ["y", 256]}}}})"),
                HasSubstr("services[0] (a.b): objects[0] (/x): interface a.I: "
                          "property P"));
    EXPECT_THAT(bad(R"({"path": "x"})"), HasSubstr("invalid object path"));
    EXPECT_THAT(bad(R"({"path": "/x", "interface": {}})"),
                HasSubstr("unknown key \"interface\""));
    EXPECT_THAT(bad(R"({"path": "/x", "interfaces": {"NoDots": {}}})"),
                HasSubstr("invalid interface name"));
    EXPECT_THAT(bad(R"({"path": "/x", "interfaces": {
                    "org.freedesktop.DBus.Properties": {}}})"),
                HasSubstr("standard interfaces"));
    EXPECT_THAT(bad(R"({"path": "/x", "interfaces": {"a.I": {"methods":
                    {"M": {"out": "i", "reply": ["x"]}}}}})"),
                HasSubstr("method M: reply"));
    EXPECT_THAT(bad(R"({"path": "/x", "interfaces": {"a.I": {"methods":
                    {"M": {"in": "a{"}}}}})"),
                HasSubstr("not a valid signature"));
    EXPECT_THAT(bad(R"({"path": "/x"}, {"path": "/x"})"),
                HasSubstr("listed twice"));
}

TEST(Config, RefusesBadServices)
{
    EXPECT_THAT(refusal(json::parse(R"({"services": [{"name": ":1.5"}]})")),
                HasSubstr("invalid service name"));
    EXPECT_THAT(refusal(json::parse(
                    R"({"services": [{"name": "a.b"}, {"name": "a.b"}]})")),
                HasSubstr("listed twice"));
    EXPECT_THAT(refusal(json::parse(R"({"mapper": 1})")),
                HasSubstr("\"mapper\" must be a boolean"));
    EXPECT_THAT(refusal(json::parse(R"({"callLogLimit": 0})")),
                HasSubstr("must be a positive integer"));
    EXPECT_THAT(refusal(json::parse(R"([])")), HasSubstr("JSON object"));
}

} // namespace
} // namespace platformsim
