#pragma once

#include "bmcmon/dbus_helper.hpp"
#include "power_statistics.hpp"
#include "sdbus/asio_connection.hpp"
#include "sdbus/dbus_interface.hpp"
#include "sdbus/object_server.hpp"

#include <memory>
#include <string>

namespace bmcmon
{

inline constexpr const char* wattkeeperService =
    "xyz.openbmc_project.wattkeeper";
inline constexpr const char* wattkeeperPath = "/xyz/openbmc_project/wattkeeper";
inline constexpr const char* wattkeeperInterface =
    "xyz.openbmc_project.Wattkeeper";

/** The power daemon's state and its one D-Bus object: the statistics of
 *  the total power, the alarm threshold and the history methods. */
class GlobalManager
{
  public:
    /** The total-power reader follows `sensorConn`; the object is served on
     *  `serviceConn`. */
    GlobalManager(sdbus::AsioConnection& sensorConn,
                  std::shared_ptr<sdbus::AsioConnection> serviceConn,
                  DbusHelper* helper);

    GlobalManager(const GlobalManager&) = delete;
    GlobalManager& operator=(const GlobalManager&) = delete;

    /** Takes the bus name, publishes the object, then prepares the
     *  statistics in `configDir` (whose failure does not fail this). False,
     *  with the reason on standard error, when the object could not be
     *  published. The interval is not used. */
    bool init(int interval, const std::string& configDir);

    /** One tick of the sampling timer. */
    void sample();

    /** "<start>,<avg W>,<max W>,<now>" as GetStatSummary answers it. */
    std::string statSummary();

    PowerStatistics& statistics()
    {
        return stats;
    }

  private:
    /** The four properties in their order; false when one is refused. */
    bool registerProperties();
    void registerMethods();
    /** Body of a Set of AlarmThreshold: InvalidArgs for a value that does
     *  not fit in mW, InternalFailure for one that cannot be stored. */
    void setAlarmThreshold(int32_t watts);
    /** Body of CleanPowerHistoryData: InternalFailure without the
     *  configuration folder. */
    void cleanHistory();

    sdbus::AsioConnection& sensorConnection;
    std::shared_ptr<sdbus::AsioConnection> serviceConnection;
    PowerStatistics stats;
    std::unique_ptr<sdbus::ObjectServer> server;
    std::shared_ptr<sdbus::DbusInterface> iface;
};

} // namespace bmcmon
