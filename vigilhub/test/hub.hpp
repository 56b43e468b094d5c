#pragma once

// What the vigilhub end-to-end tests share: the simulated LED group
// manager, the daemon as a child process, its journal entries and the
// PropertiesChanged signals it sends.

#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"
#include "testkit/journal.hpp"
#include "testkit/process.hpp"
#include "testkit/simulator.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vigilhub::test
{

using namespace std::chrono_literals;

inline const std::string hubService = "xyz.openbmc_project.vigilhub";
inline const std::string hubBase = "/xyz/openbmc_project/vigilhub/";
inline const std::string statusIntf = "xyz.openbmc_project.Status";
inline const std::string propsIntf = "org.freedesktop.DBus.Properties";
inline const std::string ledService = "xyz.openbmc_project.LED.GroupManager";
inline const std::string faultGroup =
    "/xyz/openbmc_project/led/groups/system_fault";

using Entry = testkit::JournalEntry;
using EntryMatch = std::function<bool(const Entry&)>;

/** An entry with these fields; MESSAGE compared in full. */
EntryMatch entry(int priority, const std::string& file, int line,
                 const std::string& func, const std::string& message);
/** An entry with these fields whose MESSAGE starts with `prefix`. */
EntryMatch entryStarting(int priority, const std::string& file, int line,
                         const std::string& func, const std::string& prefix);

/** The text of propertiesChanged's entry for a processed signal. */
std::string changed(int idx, int value, int current, int newStatus);
/** The text of safeAssert's entry. */
std::string safeAssertText(int current, int asserted);

/** One PropertiesChanged seen under the service's path. */
struct Signal
{
    std::string sender;
    std::string path;
    std::string interface;
    /** The Health value, when the body held a boolean one. */
    std::optional<bool> health;
    std::size_t changedCount = 0;
    std::size_t invalidatedCount = 0;
};

/** Collects the PropertiesChanged signals under /xyz/openbmc_project/vigilhub
 *  on a connection of the test. */
class SignalWatch
{
  public:
    SignalWatch();
    /** Everything received so far. */
    const std::vector<Signal>& poll();
    /** Waits until `cond` holds for what was received. */
    bool waitFor(const std::function<bool(const std::vector<Signal>&)>& cond,
                 std::chrono::milliseconds deadline = 10s);

  private:
    sdbus::Bus bus;
    std::vector<Signal> seen;
    std::unique_ptr<sdbus::Match> match;
};

class HubTest : public ::testing::Test
{
  protected:
    void SetUp() override;

    /** The simulated LED group manager with the system_fault group. */
    static nlohmann::json ledConfig(bool asserted);

    /** Starts the simulator with the group in this state. */
    void startSim(bool asserted = false);
    /** A vigilhub process; waits for nothing. */
    static std::unique_ptr<testkit::Process> launchHub();
    /** Starts vigilhub into `hub` and waits until its start-up is done. */
    void startHub();

    /** Waits for a journal entry (entries stay available). */
    bool waitEntry(const EntryMatch& match,
                   std::chrono::milliseconds deadline = 10s);
    /** How many of the entries received so far match. */
    std::size_t countEntries(const EntryMatch& match);

    /** Health of "fan", "power" or "disk", read over D-Bus. */
    bool health(const std::string& name);
    /** Writes Health over D-Bus; throws sdbus::SdBusError when refused. */
    void setHealth(const std::string& name, bool value);
    /** Waits until the LED group manager got exactly `n` calls of `member`
     *  with `detail` (and not more). */
    bool waitLedCalls(const std::string& member, const std::string& detail,
                      std::size_t n, std::chrono::milliseconds deadline = 10s);

    std::unique_ptr<testkit::JournalCapture> journal;
    std::vector<Entry> taken;
    std::unique_ptr<testkit::Simulator> sim;
    std::unique_ptr<testkit::Process> hub;
    std::optional<sdbus::Bus> client;
};

} // namespace vigilhub::test
