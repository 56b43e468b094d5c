#include "hub.hpp"

#include "sdbus/error.hpp"
#include "testkit/sandbox.hpp"
#include "testkit/wait.hpp"

#include <cstdlib>
#include <variant>

namespace vigilhub::test
{

namespace
{

bool fieldIs(const Entry& e, const std::string& key, const std::string& value)
{
    auto it = e.find(key);
    return it != e.end() && it->second == value;
}

bool locationIs(const Entry& e, int priority, const std::string& file, int line,
                const std::string& func)
{
    return fieldIs(e, "PRIORITY", std::to_string(priority)) &&
           fieldIs(e, "CODE_FILE", file) &&
           fieldIs(e, "CODE_LINE", std::to_string(line)) &&
           fieldIs(e, "CODE_FUNC", func);
}

} // namespace

EntryMatch entry(int priority, const std::string& file, int line,
                 const std::string& func, const std::string& message)
{
    return [=](const Entry& e) {
        return locationIs(e, priority, file, line, func) &&
               fieldIs(e, "MESSAGE", message);
    };
}

EntryMatch entryStarting(int priority, const std::string& file, int line,
                         const std::string& func, const std::string& prefix)
{
    return [=](const Entry& e) {
        auto it = e.find("MESSAGE");
        return locationIs(e, priority, file, line, func) && it != e.end() &&
               it->second.starts_with(prefix);
    };
}

std::string changed(int idx, int value, int current, int newStatus)
{
    return "properties changed. idx: " + std::to_string(idx) +
           ", value: " + std::to_string(value) +
           ", current: " + std::to_string(current) +
           ", newStatus: " + std::to_string(newStatus);
}

std::string safeAssertText(int current, int asserted)
{
    return "Safe assert. name: system_fault, current: " +
           std::to_string(current) + ", asserted: " + std::to_string(asserted);
}

SignalWatch::SignalWatch() : bus(sdbus::Bus::newSystem())
{
    match = std::make_unique<sdbus::Match>(
        bus,
        "type='signal',interface='org.freedesktop.DBus.Properties',"
        "member='PropertiesChanged',"
        "path_namespace='/xyz/openbmc_project/vigilhub'",
        [this](sdbus::Message& m) {
        Signal s{m.sender(), m.path(), {}, std::nullopt, 0, 0};
        try
        {
            m.read(s.interface);
            m.enterContainer('a', "{sv}");
            while (m.enterContainer('e', "sv"))
            {
                std::string name;
                m.read(name);
                if (name == "Health" && m.peekType().second == "b")
                {
                    s.health = std::get<bool>(m.unpack<std::variant<bool>>());
                }
                else
                {
                    m.skip("v");
                }
                m.exitContainer();
                ++s.changedCount;
            }
            m.exitContainer();
            s.invalidatedCount = m.unpack<std::vector<std::string>>().size();
        }
        catch (const std::exception&)
        {
            // Kept with what could be read: a malformed body of a test.
        }
        seen.push_back(std::move(s));
        });
}

const std::vector<Signal>& SignalWatch::poll()
{
    while (bus.process() > 0)
    {}
    return seen;
}

bool SignalWatch::waitFor(
    const std::function<bool(const std::vector<Signal>&)>& cond,
    std::chrono::milliseconds deadline)
{
    return testkit::waitUntil([&] { return cond(poll()); }, deadline);
}

void HubTest::SetUp()
{
    if (!testkit::sandboxed() || !testkit::journalSandboxed())
    {
        GTEST_SKIP() << "no journal sandbox: " << testkit::sandboxRefusal();
    }
    journal = std::make_unique<testkit::JournalCapture>();
    client.emplace(sdbus::Bus::newSystem());
}

nlohmann::json HubTest::ledConfig(bool asserted)
{
    return {{"services",
             {{{"name", ledService},
               {"objectManager", "/xyz/openbmc_project/led/groups"},
               {"objects",
                {{{"path", faultGroup},
                  {"interfaces",
                   {{"xyz.openbmc_project.Led.Group",
                     {{"properties", {{"Asserted", {"b", asserted}}}}}}}}}}}}}},
            {"mapper", false}};
}

void HubTest::startSim(bool asserted)
{
    sim = std::make_unique<testkit::Simulator>(ledConfig(asserted));
}

std::unique_ptr<testkit::Process> HubTest::launchHub()
{
    const char* exe = std::getenv("VIGILHUB");
    if (exe == nullptr)
    {
        throw std::runtime_error("VIGILHUB is not set");
    }
    return std::make_unique<testkit::Process>(
        testkit::Process::Options{.argv = {exe}, .env = {}, .pathPrepend = {}});
}

void HubTest::startHub()
{
    hub = launchHub();
    ASSERT_TRUE(hub->waitForBusName(hubService)) << hub->err();
    // Start-up ends with the LED group brought into line.
    ASSERT_TRUE(waitEntry([pid = std::to_string(hub->pid())](const Entry& e) {
        return fieldIs(e, "_PID", pid) && fieldIs(e, "CODE_FUNC", "safeAssert");
    })) << hub->err();
}

bool HubTest::waitEntry(const EntryMatch& match,
                        std::chrono::milliseconds deadline)
{
    return journal->waitFor(match, deadline).has_value();
}

std::size_t HubTest::countEntries(const EntryMatch& match)
{
    for (auto& e : journal->entries())
    {
        taken.push_back(std::move(e));
    }
    std::size_t n = 0;
    for (const auto& e : taken)
    {
        n += match(e) ? 1 : 0;
    }
    return n;
}

bool HubTest::health(const std::string& name)
{
    sdbus::Message reply =
        client->callMethod(hubService, hubBase + name, propsIntf, "Get",
                           statusIntf, std::string("Health"));
    if (reply.peekType().second != "b")
    {
        throw std::runtime_error("Health of " + name + " is not a boolean");
    }
    return std::get<bool>(reply.unpack<std::variant<bool>>());
}

void HubTest::setHealth(const std::string& name, bool value)
{
    client->callMethod(hubService, hubBase + name, propsIntf, "Set", statusIntf,
                       std::string("Health"), std::variant<bool>(value));
}

bool HubTest::waitLedCalls(const std::string& member, const std::string& detail,
                           std::size_t n, std::chrono::milliseconds deadline)
{
    return testkit::waitUntil([&] { return sim->count(member, detail) >= n; },
                              deadline) &&
           sim->count(member, detail) == n;
}

} // namespace vigilhub::test
