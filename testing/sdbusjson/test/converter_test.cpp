#include "sdbus/bus.hpp"
#include "sdbusjson/converter.hpp"
#include "sdbusjson/signature.hpp"

#include <systemd/sd-bus.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace sdbusjson
{
namespace
{

using nlohmann::json;
using namespace std::string_literals;

TEST(Signature, SplitsIntoCompleteTypes)
{
    EXPECT_EQ(signature::split("sa{sv}as"),
              (std::vector<std::string>{"s", "a{sv}", "as"}));
    EXPECT_EQ(signature::split("(ia(sv))aa{ob}v"),
              (std::vector<std::string>{"(ia(sv))", "aa{ob}", "v"}));
    EXPECT_TRUE(signature::split("").empty());
}

TEST(Signature, RefusesMalformedSignatures)
{
    for (const char* bad :
         {"a", "(", "()", "(i", "{sv}", "a{vs}", "a{s}", "a{sss}", "z", "i)"})
    {
        EXPECT_THROW(signature::split(bad), std::invalid_argument) << bad;
    }
    EXPECT_THROW(signature::split(std::string(33, 'a') + "i"),
                 std::invalid_argument);
    EXPECT_TRUE(signature::isSingleType("a{sa{sv}}"));
    EXPECT_FALSE(signature::isSingleType("ii"));
}

TEST(Normalize, ChecksIntegerRanges)
{
    EXPECT_EQ(Converter::normalize("y", 255), json(255));
    EXPECT_THROW(Converter::normalize("y", 256), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("y", -1), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("n", 32768), std::invalid_argument);
    EXPECT_EQ(Converter::normalize("n", -32768), json(-32768));
    EXPECT_THROW(Converter::normalize("u", -1), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("i", 2147483648LL),
                 std::invalid_argument);
    EXPECT_EQ(Converter::normalize("t", 18446744073709551615ULL),
              json(18446744073709551615ULL));
    EXPECT_THROW(Converter::normalize("x", 9223372036854775808ULL),
                 std::invalid_argument);
    EXPECT_THROW(Converter::normalize("i", 1.5), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("i", "1"), std::invalid_argument);
}

TEST(Normalize, ChecksOtherBasicTypes)
{
    EXPECT_EQ(Converter::normalize("d", 3), json(3.0));
    EXPECT_THROW(Converter::normalize("b", 1), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("o", "no/slash"), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("o", "/trailing/"),
                 std::invalid_argument);
    EXPECT_THROW(Converter::normalize("g", "a{"), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("s", std::string("a\0b", 3)),
                 std::invalid_argument);
    EXPECT_THROW(Converter::normalize("h", 0), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("ii", json::array({1, 2})),
                 std::invalid_argument);
}

TEST(Normalize, WritesDictionariesAsPairs)
{
    EXPECT_EQ(Converter::normalize("a{sv}", json{{"A", {"b", true}}}),
              json::parse(R"([["A", ["b", true]]])"));
    // Keys of other types come from the object's key text.
    EXPECT_EQ(Converter::normalize("a{ys}", json{{"7", "x"}}),
              json::parse(R"([[7, "x"]])"));
    EXPECT_THROW(Converter::normalize("a{ys}", json{{"300", "x"}}),
                 std::invalid_argument);
    EXPECT_THROW(Converter::normalize("a{ys}", json{{"seven", "x"}}),
                 std::invalid_argument);
    EXPECT_THROW(Converter::normalize("a{ss}", json::parse(R"([["a"]])")),
                 std::invalid_argument);
}

TEST(Normalize, TakesAStringForBytes)
{
    EXPECT_EQ(Converter::normalize("ay", std::string("A\0\xff", 3)),
              json::array({65, 0, 255}));
    EXPECT_EQ(Converter::normalize("a{say}", json{{"k", "AB"}}),
              json::parse(R"([["k", [65, 66]]])"));
    EXPECT_EQ(Converter::normalize("ay", json::array({1, 2})),
              json::array({1, 2}));
    EXPECT_THROW(Converter::normalize("an", "AB"), std::invalid_argument);
    EXPECT_THROW(Converter::normalize("as", "AB"), std::invalid_argument);
}

TEST(Normalize, ChecksStructuresAndVariants)
{
    EXPECT_EQ(Converter::normalize("(is)", json::array({1, "a"})),
              json::array({1, "a"}));
    EXPECT_THROW(Converter::normalize("(is)", json::array({1})),
                 std::invalid_argument);
    EXPECT_THROW(Converter::normalize("v", json::array({"i", "x"})),
                 std::invalid_argument);
    EXPECT_THROW(Converter::normalize("v", json::array({"ii", 1})),
                 std::invalid_argument);
    EXPECT_THROW(Converter::normalize("v", 5), std::invalid_argument);
}

TEST(Render, PrintsValuesLikeBusctl)
{
    EXPECT_EQ(Converter::render("b", true), "true");
    EXPECT_EQ(Converter::render("d", 1.0), "1");
    EXPECT_EQ(Converter::render("d", 0.1), "0.1");
    EXPECT_EQ(Converter::render("x", -3), "-3");
    EXPECT_EQ(Converter::render("s", "say \"hi\"\n"), R"("say \"hi\"\n")");
    EXPECT_EQ(Converter::render("as", json::array()), "0");
    EXPECT_EQ(Converter::render("a{sv}",
                                json::parse(R"([["k", ["as", ["a", "b"]]]])")),
              R"(1 "k" as 2 "a" "b")");
    EXPECT_EQ(Converter::render("(ob)", json::array({"/a", false})),
              R"("/a" false)");
    EXPECT_EQ(Converter::renderArgs("si", json::array({"abc", 5})),
              R"(s "abc" i 5)");
    EXPECT_EQ(Converter::renderArgs("", json::array()), "");
}

TEST(DefaultValue, IsEmptyOfEachType)
{
    EXPECT_EQ(Converter::defaultValue("i"), json(0));
    EXPECT_EQ(Converter::defaultValue("b"), json(false));
    EXPECT_EQ(Converter::defaultValue("o"), json("/"));
    EXPECT_EQ(Converter::defaultValue("a{sv}"), json::array());
    EXPECT_EQ(Converter::defaultValue("(sd)"), json::array({"", 0.0}));
    // Every default fits its own type.
    for (const char* sig : {"y", "s", "g", "v", "(ia{ss}v)", "aai"})
    {
        EXPECT_NO_THROW(Converter::normalize(sig, Converter::defaultValue(sig)))
            << sig;
    }
}

class RoundTrip : public ::testing::Test
{
  protected:
    RoundTrip()
    {
        if (sd_bus_open_system(&bus) < 0)
        {
            throw std::runtime_error("no system bus");
        }
    }

    ~RoundTrip() override
    {
        sd_bus_flush_close_unref(bus);
    }

    struct Unref
    {
        void operator()(sd_bus_message* m) const
        {
            sd_bus_message_unref(m);
        }
    };
    using Message = std::unique_ptr<sd_bus_message, Unref>;

    Message newCall()
    {
        sd_bus_message* m = nullptr;
        EXPECT_GE(
            sd_bus_message_new_method_call(bus, &m, "a.b", "/a", "a.b", "M"),
            0);
        return Message(m);
    }

    /** Seals the message and reads its body back with its signature. */
    static std::pair<std::string, json> sealAndRead(sd_bus_message* m)
    {
        EXPECT_GE(sd_bus_message_seal(m, 1, 0), 0);
        const char* sig = sd_bus_message_get_signature(m, 1);
        return {sig ? sig : "", Converter::readBody(m)};
    }

    /** Appends the arguments, seals the message and reads it back. */
    json roundTrip(const std::string& sig, const json& args)
    {
        auto m = newCall();
        Converter::appendArgs(m.get(), sig, args);
        auto [sealed, out] = sealAndRead(m.get());
        EXPECT_EQ(sealed, sig);
        return out;
    }

    sd_bus* bus = nullptr;
};

TEST_F(RoundTrip, KeepsEveryBasicType)
{
    json args = json::parse(R"([255, true, -32768, 65535, -2147483648,
        4294967295, -9223372036854775808, 18446744073709551615, 2.5,
        "text", "/a/b", "a{sv}"])");
    EXPECT_EQ(roundTrip("ybnqiuxtdsog", args), args);
}

TEST_F(RoundTrip, KeepsNestedContainers)
{
    json args = json::parse(R"j([
        [["b", ["x", "y"]], ["a", ["z"]]],
        [1, [["k", ["a{sv}", {"inner": ["(id)", [3, 0.5]]}]]]],
        ["av", [["i", 1], ["s", "two"]]],
        [[], [1, 2]]
    ])j");
    json out = roundTrip("a{sas}(ia{sv})vaai", args);
    // Dictionaries keep their entry order.
    EXPECT_EQ(out[0], args[0]);
    EXPECT_EQ(out[1], json::parse(R"j(
        [1, [["k", ["a{sv}", [["inner", ["(id)", [3, 0.5]]]]]]]])j"));
    EXPECT_EQ(out[2], args[2]);
    EXPECT_EQ(out[3], args[3]);
}

TEST_F(RoundTrip, RefusesArgumentsThatDoNotFit)
{
    sd_bus_message* m = nullptr;
    ASSERT_GE(sd_bus_message_new_method_call(bus, &m, "a.b", "/a", "a.b", "M"),
              0);
    EXPECT_THROW(Converter::appendArgs(m, "si", json::array({"a"})),
                 std::invalid_argument);
    EXPECT_THROW(Converter::appendArgs(m, "s", json::array({1})),
                 std::invalid_argument);
    sd_bus_message_unref(m);
}

TEST_F(RoundTrip, AppendJsonTakesALoneValueForOneType)
{
    auto one = newCall();
    appendJson(one.get(), "a{sv}", json{{"k", {"ay", "hi"}}});
    EXPECT_EQ(
        sealAndRead(one.get()),
        std::pair("a{sv}"s, json::parse(R"([[["k", ["ay", [104, 105]]]]])")));

    auto several = newCall();
    appendJson(several.get(), "sb", json::array({"x", true}));
    EXPECT_EQ(sealAndRead(several.get()),
              std::pair("sb"s, json::array({"x", true})));

    auto none = newCall();
    appendJson(none.get(), "", nullptr);
    appendJson(none.get(), "", json::array());
    EXPECT_THROW(appendJson(none.get(), "", json::array({1})),
                 std::invalid_argument);
    EXPECT_THROW(appendJson(none.get(), "sb", "x"), std::invalid_argument);
    EXPECT_THROW(appendJson(none.get(), "a{", 1), std::invalid_argument);
    EXPECT_EQ(sealAndRead(none.get()), std::pair(""s, json::array()));
}

TEST_F(RoundTrip, ValuesThatDoNotFitLeaveTheMessageAlone)
{
    auto m = newCall();
    // The bad member comes last: nothing of the value may be appended.
    EXPECT_THROW(appendJson(m.get(), "(sao)", json::array({"a", {"/ok", "x"}})),
                 std::invalid_argument);
    EXPECT_THROW(appendJson(m.get(), "s", std::string("a\0b", 3)),
                 std::invalid_argument);
    appendJson(m.get(), "u", 7);
    EXPECT_EQ(sealAndRead(m.get()), std::pair("u"s, json::array({7})));

    // sd-bus's own refusal (here: the message is sealed) is a system error,
    // which callers also catch as a runtime error.
    EXPECT_THROW(appendJson(m.get(), "u", 8), std::system_error);
}

// The daemons' own message layer on the other side: what it writes is read
// here, and what is written here it reads, so neither half of the converter
// is checked only against the other.
TEST(DaemonMessages, AreReadAndWrittenAsTheDaemonsDo)
{
    auto bus = sdbus::Bus::newSystem();
    using Entries =
        std::map<std::string, std::vector<std::tuple<int32_t, std::string>>>;
    using Value = std::variant<std::string, uint16_t>;
    const Entries entries{{"a", {{1, "one"}, {-2, "tw\"o"}}}, {"empty", {}}};
    const std::vector<uint8_t> bytes{0, 255, 7};

    auto built = bus.newMethodCall("a.b", "/a", "a.b", "M");
    built.append(entries, bytes, sdbus::ObjectPath("/x/y"), uint64_t{1} << 63,
                 int16_t{-5}, 2.5, true, Value{uint16_t{9}},
                 std::pair<std::string, double>{"p", -0.5});
    ASSERT_GE(sd_bus_message_seal(built.get(), 1, 0), 0);
    ASSERT_STREQ(sd_bus_message_get_signature(built.get(), 1),
                 "a{sa(is)}ayotndbv(sd)");
    EXPECT_EQ(Converter::readBody(built.get()), json::parse(R"([
        [["a", [[1, "one"], [-2, "tw\"o"]]], ["empty", []]],
        [0, 255, 7], "/x/y", 9223372036854775808, -5, 2.5, true,
        ["q", 9], ["p", -0.5]])"));

    auto written = bus.newMethodCall("a.b", "/a", "a.b", "M");
    Converter::appendArgs(
        written.get(), "a{sa(is)}ayotndbv(sd)",
        json::parse(R"([{"a": [[1, "one"], [-2, "tw\"o"]], "empty": []},
            [0, 255, 7], "/x/y", 9223372036854775808, -5, 2.5, true,
            ["s", "text"], ["p", -0.5]])"));
    ASSERT_GE(sd_bus_message_seal(written.get(), 1, 0), 0);
    auto [e, b, path, big, small, d, flag, v, pair] =
        written.unpack<Entries, std::vector<uint8_t>, sdbus::ObjectPath,
                       uint64_t, int16_t, double, bool, Value,
                       std::pair<std::string, double>>();
    EXPECT_EQ(e, entries);
    EXPECT_EQ(b, bytes);
    EXPECT_EQ(path.str, "/x/y");
    EXPECT_EQ(big, uint64_t{1} << 63);
    EXPECT_EQ(small, -5);
    EXPECT_EQ(d, 2.5);
    EXPECT_TRUE(flag);
    EXPECT_EQ(v, Value{"text"});
    EXPECT_EQ(pair, (std::pair<std::string, double>{"p", -0.5}));
    EXPECT_TRUE(written.atEnd(true));
}

} // namespace
} // namespace sdbusjson
