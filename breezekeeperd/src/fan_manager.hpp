#pragma once

#include "bmcmon/read_interface.hpp"
#include "factories.hpp"
#include "fan_events.hpp"
#include "manager_subscriber.hpp"
#include "sdbus/bus.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace bmcmon
{

/** A fan state under confirmation. */
struct PendingFanChange
{
    uint32_t fanId;
    /** The state to be confirmed. */
    bool failed;
    /** When this state was first seen (steady clock). */
    std::chrono::steady_clock::time_point since;
};

/** Turns the failed flags of the fan readers into confirmed fan states.
 *
 *  A flip of a fan's flag is noted when it happens; the next pass puts the
 *  new state under confirmation, and a pass at least 10 s later accepts it
 *  while the host runs and its last power-state change is at least 60 s
 *  old. A confirmed fan state is kept in a marker file per failed fan,
 *  reported as a fan removed or inserted event when it differs from the
 *  recorded one, and counted for the fan redundancy events. */
class FanManager : public ManagerSubscriber
{
  public:
    /** Folder of the marker files, one empty file "f<id>" per failed fan. */
    static constexpr const char* inventoryDir = "/var/inventory/fan";
    /** The power-cap flag file of the fan-control service. */
    static constexpr const char* powerCapFlagFile =
        "/usr/share/breezekeeper/powercap";

    static constexpr std::chrono::seconds confirmDelay{10};
    static constexpr std::chrono::seconds hostSettleDelay{60};
    /** How often a fan without a reader is tried again. */
    static constexpr std::chrono::seconds readerRetryDelay{10};

    /** `bus` is the connection on which the fan readers follow their
     *  sensors; `helperFactory` gives each reader its query helper. */
    explicit FanManager(sdbus::Bus& bus,
                        HelperFactory helperFactory = newSystemHelper,
                        Clocks clocks = {},
                        std::shared_ptr<FanEventReporter> events =
                            std::make_shared<FanEventReporter>());

    FanManager(const FanManager&) = delete;
    FanManager& operator=(const FanManager&) = delete;

    /** Notes a flip of the fan's failed flag; any thread. */
    void notifyStateChanged(uint32_t fanId) override;

    /** One pass of confirmation (see the class). `hostState` is a
     *  HostPowerState code, `hostChangeTime` the steady-clock time of its
     *  last change. Returns whether no fan is confirmed failed. The events
     *  of what it confirms, and then each confirmed fan's marker, wait for
     *  sendFanEvents. A fan without a reader
     *  is not put under confirmation; its marker still counts. */
    bool
        confirmFanChanges(int hostState,
                          std::chrono::steady_clock::time_point hostChangeTime);

    /** Runs the events of the confirmations made since the last call, in
     *  the order they were made, each fan's marker after its event. */
    void sendFanEvents();

    /** Tries again to make the reader of each listed fan that has none,
     *  at most every readerRetryDelay per fan. A reader made notifies, so
     *  its fan is put under confirmation at the next confirmFanChanges. */
    void remakeMissingReaders();

    /** Makes a tachometer reader per fan (sensor "FAN<id>"), lists the ids
     *  in this order, then loads the confirmed states from the marker
     *  files. A fan whose reader cannot be made stays listed without one. */
    void setupFans(const std::vector<uint32_t>& ids);

    /** Confirmed states from the marker files; creates the folder when
     *  missing. */
    void loadFanStates();

    /** Creates (failed) or removes (not failed) the fan's marker file. A
     *  marker that cannot be written, or removed (other than because it is
     *  missing), is reported on standard error. */
    void saveFanState(uint32_t fanId, bool failed);

    /** Switches the fan-control service to `mode` (a FanMode code): writes
     *  the power-cap flag file ("true" for the power-limit mode, "false"
     *  otherwise), then stops it and runs the full-speed script (broken),
     *  or restarts it. False when the flag file cannot be written, except
     *  for the broken mode: the fans go to full speed all the same and the
     *  failure is reported. A failing command is reported and the switch
     *  still counts. */
    bool applyFanMode(int mode);

    /** Writes `text` as the whole power-cap flag file; false on failure,
     *  with errno telling why. */
    bool writePowerCapFlag(const char* text);

    /** Bit n set while fan n is confirmed failed. */
    uint32_t getConfirmed() const
    {
        return confirmed;
    }
    /** The fan ids in the order given, repeats included. */
    const std::vector<uint32_t>& getFanIds() const
    {
        return fanIds;
    }
    /** The readers by fan id; empty entries for unlisted ids. */
    const std::vector<std::unique_ptr<ReadInterface>>& getReaders() const
    {
        return readers;
    }
    /** The states under confirmation, by fan id. */
    const std::map<uint32_t, PendingFanChange>& getPendingChanges() const
    {
        return changes;
    }

  private:
    void makeReader(uint32_t id);
    uint32_t takePending();
    void notePendingChanges(uint32_t flipped,
                            std::chrono::steady_clock::time_point now);
    std::vector<uint32_t>
        confirmSettled(std::chrono::steady_clock::time_point now,
                       std::chrono::steady_clock::time_point deadline);
    void reportRedundancy();

    std::mutex lock;
    uint32_t pending = 0;
    sdbus::Bus& bus;
    std::vector<std::unique_ptr<ReadInterface>> readers;
    uint32_t confirmed = 0;
    uint32_t lastFailedCount = 0;
    std::map<uint32_t, PendingFanChange> changes;
    std::vector<uint32_t> fanIds;
    HelperFactory helperFactory;
    Clocks clocks;
    std::shared_ptr<FanEventReporter> events;
    /** The events and markers of confirmations made, waiting for
     *  sendFanEvents. */
    std::vector<std::function<void()>> unsent;
    /** When the reader of a fan was last tried, by fan id. */
    std::map<uint32_t, std::chrono::steady_clock::time_point> lastTried;
};

} // namespace bmcmon
