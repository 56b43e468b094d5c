#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "sdbus/bus.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace bmcmon
{

/** The D-Bus queries of the daemons, made on a connection of its own.
 *
 *  Every call waits at most callTimeoutUsec for its reply: a peer that
 *  hangs holds the daemon's loop no longer than that, and the timeout is a
 *  failed call like any other. A failed call of a read is written to the
 *  journal (priority 3, with the error in WHAT; the same call at most once
 *  a minute) and rethrown as sdbus::SdBusError; writeHealth and
 *  postLogEntry write a line on standard error instead and carry on.
 *
 *  The connection is read only inside a call: what a call reads besides
 *  its reply is dropped when it returns. */
class DbusHelper : public DbusHelperInterface
{
  public:
    /** Longest wait for the reply of any call, in microseconds. */
    static constexpr uint64_t callTimeoutUsec = 2'000'000;

    /** Takes over the connection for the helper's life. */
    explicit DbusHelper(sdbus::Bus&& bus);
    ~DbusHelper() override = default;

    DbusHelper(const DbusHelper&) = delete;
    DbusHelper& operator=(const DbusHelper&) = delete;

    std::string lookupService(const std::string& intf,
                              const std::string& path) override;
    void readSensorValue(const std::string& service, const std::string& path,
                         SensorValueProperties& prop) override;
    void readPowerCap(const std::string& service, const std::string& path,
                      PowerCapSetting& setting) override;
    void readHostState(const std::string& service, const std::string& path,
                       int& state) override;
    void readThermalMode(const std::string& service, const std::string& path,
                         int& mode) override;
    void readHealth(const std::string& service, const std::string& path,
                    int& code) override;
    void writeHealth(const std::string& service, const std::string& path,
                     const int& code) override;
    bool readCriticalAlarms(const std::string& service,
                            const std::string& path) override;
    void postLogEntry(const std::string& message) override;

  private:
    /** Calls within callTimeoutUsec, then drops what else was read. */
    sdbus::Message call(sdbus::Message& message);
    void dropReadAhead();

    /** GetAll of `intf`, decoded. A failed call or an undecodable reply is
     *  written to the journal as `failure` and rethrown; without `failure`
     *  it gives nothing instead. A call that cannot be built throws. */
    template <typename V>
    std::optional<std::map<std::string, V>>
        getAll(const std::string& service, const std::string& path,
               const std::string& intf, const char* failure);

    sdbus::Bus bus;
};

/** The helper of the process, made by initDbusHelper. */
extern std::unique_ptr<DbusHelper> globalDbusHelper;

/** Opens a new connection to the system bus and makes a helper on it the
 *  process's, replacing any earlier one. Daemons call it first thing in
 *  main. Throws sdbus::SdBusError when the bus cannot be reached. */
DbusHelper& initDbusHelper();

} // namespace bmcmon
