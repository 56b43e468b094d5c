#pragma once

#include "inventory_file.hpp"
#include "inventory_line.hpp"
#include "sdbus/dbus_interface.hpp"
#include "sdbus/object_server.hpp"

#include <boost/container/flat_map.hpp>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace nicscout
{

/** The adapters published from the inventory file, one object per PCI bus
 *  and device. Adapters are added and updated, never removed. */
class NetworkAdapters
{
  public:
    using DeviceMap =
        boost::container::flat_map<int, std::shared_ptr<sdbus::DbusInterface>>;
    using AdapterMap = boost::container::flat_map<int, DeviceMap>;

    explicit NetworkAdapters(sdbus::ObjectServer& server);

    /** Reads the whole inventory file and publishes its lines in order.
     *  False only when the file cannot be opened or read, or is not a
     *  regular file. A bad line (see InventoryLine::parse, and a line
     *  longer than InventoryFile::maxLineLength) ends the pass with
     *  std::invalid_argument or std::out_of_range; the lines before it stay
     *  published and the bad line changes nothing. */
    bool updateNetworkAdapters();

    /** Publishes one line's fields on its adapter, which is in the map. */
    int refreshAdapter(int bus, int device,
                       const std::vector<std::string>& fields);
    int publishAdapterProperties(int bus, int device,
                                 const std::vector<std::string>& fields);
    int publishFunctionProperties(int bus, int device, int n,
                                  const std::vector<std::string>& fields);

    /** Before the adapter's object is initialized: registers a read-only
     *  string property (names D-Bus would refuse are skipped). Afterwards:
     *  sets the property if the object has it, emitting PropertiesChanged
     *  on change, and does nothing otherwise. During a pass the value is
     *  stored when the pass ends, so that the lines of several ports of one
     *  adapter, which each set PortCount and DeviceType, signal only the
     *  final value and only when it differs from the published one. */
    void setAdapterProperty(int bus, int device, const std::string& name,
                            const std::string& value);

    const AdapterMap& adapters() const
    {
        return adapterMap;
    }

  private:
    /** Reads the lines of the inventory file and publishes them. */
    void readLines(InventoryFile& file);

    /** Stores the values held back during a pass; ends the pass. */
    void applyPending();

    /** Creates, fills and initializes the object of a new adapter. Nothing
     *  is left behind if that fails. */
    int addAdapter(const InventoryLine& line);

    sdbus::ObjectServer& server;
    AdapterMap adapterMap;

    /** Values held back during a pass, per adapter object: each name once,
     *  in the order first set, with the last value set. */
    using Values = std::vector<std::pair<std::string, std::string>>;
    std::map<sdbus::DbusInterface*, Values> pending;
    bool passRunning = false;
};

} // namespace nicscout
