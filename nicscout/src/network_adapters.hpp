#pragma once

#include "adapter_object.hpp"
#include "inventory_file.hpp"
#include "inventory_line.hpp"
#include "sdbus/bus.hpp"

#include <systemd/sd-bus.h>

#include <boost/container/flat_map.hpp>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace nicscout
{

/** The adapters published from the inventory file, one object per PCI bus
 *  and device. Adapters are added and updated, never removed.
 *
 *  The adapters whose first lines named the same port as the first
 *  adapter's (most of them: every adapter's first line is usually its
 *  port 0) are served together by one sd-bus fallback vtable under the
 *  root object, which costs sd-bus nothing per adapter; any other adapter
 *  gets a vtable of its own. */
class NetworkAdapters
{
  public:
    using DeviceMap =
        boost::container::flat_map<int, std::shared_ptr<AdapterObject>>;
    using AdapterMap = boost::container::flat_map<int, DeviceMap>;

    explicit NetworkAdapters(sdbus::Bus& bus);
    NetworkAdapters(const NetworkAdapters&) = delete;
    NetworkAdapters& operator=(const NetworkAdapters&) = delete;
    ~NetworkAdapters();

    /** Reads the whole inventory file and publishes its lines in order.
     *  False only when the file cannot be opened or read, or is not a
     *  regular file. A bad line (see InventoryLine::parse, and a line
     *  longer than InventoryFile::maxLineLength or reaching past its
     *  maxFileSize) ends the pass with std::invalid_argument or
     *  std::out_of_range; the lines before it stay published and the bad
     *  line changes nothing. */
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

    /** The largest message the system bus carries: dbus-daemon's default
     *  max_message_size (sd-bus's own bound is larger). Sending one beyond
     *  it costs the sender its connection. */
    static constexpr std::size_t maxMessageSize = std::size_t{32} * 1024 * 1024;

    /** The bytes of the GetManagedObjects reply that lists the adapters,
     *  its header included; never less than sd-bus makes it. */
    std::size_t managedObjectsSize() const;

  private:
    /** Reads the lines of the inventory file and publishes them. */
    void readLines(InventoryFile& file);

    /** Stores the values held back during a pass; ends the pass. */
    void applyPending();

    /** Creates, fills and initializes the object of a new adapter. Nothing
     *  is left behind if that fails. */
    int addAdapter(const InventoryLine& line);

    /** The value of one property of a published adapter (slot -1: it has
     *  no such property, nothing is done), held back during a pass. */
    void store(AdapterObject& object, int bus, int device, int slot,
               std::string_view value);

    /** The layout of these names, shared with the adapters that have the
     *  same; whether the fallback vtable serves it. */
    std::pair<std::shared_ptr<const PropertyLayout>, bool>
        layoutOf(std::vector<std::string> names, const std::string& portText,
                 int port);

    /** The published adapter at a path when the fallback serves it. */
    AdapterObject* servedAt(std::string_view path) const;

    static int findAdapter(sd_bus* bus, const char* path, const char* interface,
                           void* userdata, void** found, sd_bus_error* error);
    static int enumerateAdapters(sd_bus* bus, const char* prefix,
                                 void* userdata, char*** nodes,
                                 sd_bus_error* error);
    /** Sees every incoming message before sd-bus dispatches it: answers a
     *  GetManagedObjects whose reply the bus would not carry with
     *  LimitsExceeded, leaving every other message to sd-bus. */
    static int refuseOversizedReply(sd_bus_message* m, void* userdata,
                                    sd_bus_error* error);

    sd_bus* bus;
    AdapterMap adapterMap;
    std::map<std::vector<std::string>, std::shared_ptr<const PropertyLayout>>
        layouts;
    /** The layout the fallback vtable serves (null until the first
     *  adapter, or when sd-bus refused the fallback). */
    const PropertyLayout* shared = nullptr;
    sd_bus_slot* fallbackSlot = nullptr;
    bool fallbackRefused = false;
    sd_bus_slot* enumeratorSlot = nullptr;
    sd_bus_slot* filterSlot = nullptr;
    /** Whether the last GetManagedObjects was refused: the refusal is
     *  written once until a reply fits again. */
    bool replyRefused = false;

    /** Values held back during a pass, by bus, device and slot, with their
     *  adapter: only those that differ from the published ones. */
    std::map<std::tuple<int, int, int>, std::pair<AdapterObject*, std::string>>
        pending;
    bool passRunning = false;

    /** Buffers reused from line to line and pass to pass. */
    std::string fileBuffer;
    std::string text;
    InventoryLine line;
    std::string repaired;
    /** Whether the line being published is all ASCII: then its values
     *  need no repair. */
    bool asciiLine = false;
};

} // namespace nicscout
