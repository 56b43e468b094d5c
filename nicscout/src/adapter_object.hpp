#pragma once

#include <systemd/sd-bus.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace nicscout
{

/** The names of an adapter object's properties, in the order they were
 *  registered, and the sd-bus vtable that serves them. The names come
 *  from the line that created the adapter, so adapters whose first lines
 *  name the same port share one. */
class PropertyLayout
{
  public:
    /** Where the properties a line sets stand in the layout (-1: the
     *  object has no such name, and the line's value is dropped). */
    struct PortSlots
    {
        int mac = -1;
        int link = -1;
    };

    PropertyLayout(std::vector<std::string> names, std::string portText,
                   int port);
    PropertyLayout(const PropertyLayout&) = delete;
    PropertyLayout& operator=(const PropertyLayout&) = delete;

    const std::vector<std::string>& names() const
    {
        return propertyNames;
    }
    const sd_bus_vtable* vtable() const
    {
        return table.data();
    }

    /** The position of a name, -1 when there is none. */
    int find(std::string_view name) const;

    /** The positions of "MACAddress" and "LinkStatus" + the port field. */
    PortSlots portSlots(std::string_view portText) const;

    /** The positions of the "Function" + n properties in the order of
     *  PciFieldTable; all -1 for another n than the creating line's. */
    const std::array<int, 8>* functionSlots(int n) const;

  private:
    std::vector<std::string> propertyNames;
    std::vector<sd_bus_vtable> table;
    /** Indices of propertyNames in name order, for find. */
    std::vector<int> sorted;

    std::string creatingPortText;
    PortSlots creating;
    /** MACAddress1 to 3 and LinkStatus1 to 3, always registered. */
    std::array<PortSlots, 3> placeholders;
    int creatingPort;
    std::array<int, 8> functions{};
};

/** One adapter's object: its path and the values of its string properties,
 *  served on the bus with a PropertyLayout. Before publish() properties
 *  are registered; afterwards only values change. */
class AdapterObject
{
  public:
    explicit AdapterObject(std::string path);
    AdapterObject(const AdapterObject&) = delete;
    AdapterObject& operator=(const AdapterObject&) = delete;
    ~AdapterObject();

    const std::string& path() const
    {
        return objectPath;
    }
    bool isInitialized() const
    {
        return layout != nullptr;
    }

    /** Before publish(): adds a property with its first value; false when
     *  the name is already there. */
    bool registerProperty(std::string_view name, std::string_view value);
    /** Before publish(): the names in the order registered. */
    std::vector<std::string> registeredNames() const;

    /** Takes the values registered into the layout's order and puts the
     *  object on the bus: through its own vtable unless a fallback of the
     *  layout serves it. Then announces it (InterfacesAdded, and
     *  PropertiesChanged for each property). Throws on an sd-bus
     *  failure, leaving the object unpublished. */
    void publish(sd_bus* bus, const char* interface,
                 std::shared_ptr<const PropertyLayout> propertyLayout,
                 bool servedByFallback);

    const PropertyLayout& properties() const
    {
        return *layout;
    }
    const std::string& value(int slot) const
    {
        return values[static_cast<std::size_t>(slot)];
    }
    /** What the getters of the vtable read (their offsets index it). */
    std::string* valueBase()
    {
        return values.get();
    }

    /** Stores a value; PropertiesChanged when it differs. */
    void setValue(sd_bus* bus, const char* interface, int slot,
                  std::string_view text);

  private:
    std::string objectPath;
    std::shared_ptr<const PropertyLayout> layout;
    std::unique_ptr<std::string[]> values;
    sd_bus_slot* ownSlot = nullptr;
    /** Names and values registered before publish(). */
    std::vector<std::pair<std::string, std::string>> registered;
};

} // namespace nicscout
