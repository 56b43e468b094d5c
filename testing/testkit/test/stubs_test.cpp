#include "testkit/commands.hpp"
#include "testkit/main.hpp"
#include "testkit/process.hpp"
#include "testkit/stubs.hpp"

#include <algorithm>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using ::testing::ElementsAre;
using Calls = std::vector<std::vector<std::string>>;

// Runs a command line the way the daemons do: through sh -c, with the
// stubs first on PATH.
testkit::CommandResult shell(const testkit::CommandStubs& stubs,
                             const std::string& line)
{
    testkit::Process p(
        {.argv = {"sh", "-c", line}, .pathPrepend = {stubs.path()}});
    auto status = p.waitExit(std::chrono::seconds(20));
    return {status.value_or(-1), p.out(), p.err()};
}

TEST(StubsTest, RecordsArgumentsAsTheShellSplitThem)
{
    testkit::CommandStubs stubs;
    stubs.add("log-util");
    ASSERT_EQ(shell(stubs, "log-util 'a b' \"c'd\" '' 'x\"y' '$HOME' "
                           "\"tab\there\" 'new\nline'")
                  .status,
              0);
    ASSERT_EQ(shell(stubs, "log-util").status, 0);
    ASSERT_EQ(shell(stubs, "log-util -- second").status, 0);
    EXPECT_THAT(stubs.calls("log-util"),
                ElementsAre(ElementsAre("a b", "c'd", "", "x\"y", "$HOME",
                                        "tab\there", "new\nline"),
                            ElementsAre(), ElementsAre("--", "second")));

    stubs.clear();
    EXPECT_TRUE(stubs.calls("log-util").empty());
    ASSERT_EQ(shell(stubs, "log-util again").status, 0);
    EXPECT_EQ(stubs.calls("log-util"), (Calls{{"again"}}));
}

TEST(StubsTest, StatusAndOutputCanChangeBetweenCalls)
{
    testkit::CommandStubs stubs;
    stubs.add("systemctl", 4);
    auto r = shell(stubs, "systemctl stop fan-speed-control; echo $?");
    EXPECT_EQ(r.out, "4\n");
    stubs.setStatus("systemctl", 0);
    stubs.setOutput("systemctl", "active\n");
    r = shell(stubs, "systemctl is-active x; echo $?");
    EXPECT_EQ(r.out, "active\n0\n");
    EXPECT_EQ(stubs.calls("systemctl").size(), 2U);
    // Another stub's record is its own.
    stubs.add("busctl");
    EXPECT_TRUE(stubs.calls("busctl").empty());
}

TEST(StubsTest, ConcurrentCallsAreAllRecorded)
{
    testkit::CommandStubs stubs;
    stubs.add("log-util");
    auto r = shell(stubs, "i=0; while [ $i -lt 40 ]; do i=$((i + 1)); "
                          "log-util call \"$i\" & done; wait");
    ASSERT_EQ(r.status, 0) << r.err;
    auto calls = stubs.calls("log-util");
    ASSERT_EQ(calls.size(), 40U);
    std::vector<int> numbers;
    for (const auto& c : calls)
    {
        ASSERT_EQ(c.size(), 2U);
        EXPECT_EQ(c[0], "call");
        numbers.push_back(std::stoi(c[1]));
    }
    std::sort(numbers.begin(), numbers.end());
    for (int i = 0; i < 40; ++i)
    {
        EXPECT_EQ(numbers[i], i + 1);
    }
}

TEST(StubsTest, RefusesNamesThatAreNotFileNames)
{
    testkit::CommandStubs stubs;
    EXPECT_THROW(stubs.add("../escape"), std::invalid_argument);
    EXPECT_THROW(stubs.add(""), std::invalid_argument);
    EXPECT_THROW(stubs.add("x", 256), std::invalid_argument);
}

} // namespace

int main(int argc, char** argv)
{
    return testkit::runTests(argc, argv, {}, false);
}
