#pragma once

#include "sdbus/asio_connection.hpp"
#include "sdbus/dbus_interface.hpp"

#include <memory>
#include <string>
#include <vector>

namespace sdbus
{

/** Serves objects on one connection, with an optional object manager at
 *  "/" so clients list everything with GetManagedObjects. */
class ObjectServer
{
  public:
    explicit ObjectServer(AsioConnection& conn, bool objectManager = true);
    explicit ObjectServer(Bus& bus, bool objectManager = true);
    ObjectServer(const ObjectServer&) = delete;
    ObjectServer& operator=(const ObjectServer&) = delete;
    ~ObjectServer();

    /** A new interface at a path; register its members, then initialize. */
    std::shared_ptr<DbusInterface> addInterface(const std::string& path,
                                                const std::string& name);
    /** Drops the server's reference; the interface leaves the bus when the
     *  last reference goes. */
    bool removeInterface(const std::shared_ptr<DbusInterface>& iface);

  private:
    sd_bus* bus;
    sd_bus_slot* managerSlot = nullptr;
    std::vector<std::shared_ptr<DbusInterface>> interfaces;
};

} // namespace sdbus
