#include "network_adapters.hpp"

#include "adapter_properties.hpp"
#include "sdbus/error.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace nicscout
{

namespace
{

/** The first properties of every adapter, registered in this order from
 *  its first line, so that they stand at these slots of every layout. */
struct LineProperty
{
    const char* name;
    std::size_t field; // the line's field, or none for the derived ones
};
constexpr std::size_t derived = ~std::size_t{0};
constexpr std::array<LineProperty, 9> lineProperties{{
    {"Manufacturer", field::manufacturer},
    {"AdapterType", field::adapterType},
    {"Model", field::model},
    {"Slot", field::slot},
    {"SRIOV", field::sriov},
    {"CPU", field::cpu},
    {"Technology", derived},
    {"PortCount", derived},
    {"DeviceType", derived},
}};
constexpr int technologySlot = 6;
constexpr int portCountSlot = 7;
constexpr int deviceTypeSlot = 8;

/** Whether repairUtf8 would change nothing, for the common ASCII text. */
bool isPlainAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80;
    });
}

/** A decimal number as adapterPath writes one: digits, no leading zero
 *  but for 0 itself, within an int. */
bool readDecimal(std::string_view text, int& value)
{
    if (text.empty() || (text.size() > 1 && text[0] == '0'))
    {
        return false;
    }
    auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() &&
           text[0] != '-';
}

// The layout of a GetManagedObjects reply, a{oa{sa{sv}}}. Every dict
// entry starts at an 8-byte boundary, so its size does not depend on where
// it stands; counting each up to the next boundary adds at most 7 bytes for
// the last of an array.

/** Where sdbus::ObjectServer registers the object manager. */
constexpr const char* managerPath = "/";

/** The interfaces sd-bus lists, without properties, for every object. */
constexpr std::array<std::string_view, 3> standardInterfaces{
    "org.freedesktop.DBus.Peer",
    "org.freedesktop.DBus.Introspectable",
    "org.freedesktop.DBus.Properties",
};

/** The fixed header and its fields (reply serial, signature, and the two
 *  unique names of at most 255 characters). */
constexpr std::size_t headerBytes = 1024;

constexpr std::size_t roundUp(std::size_t n, std::size_t to)
{
    return (n + to - 1) / to * to;
}

/** A dict entry keyed by a string or object path of keyLength, holding an
 *  array whose elements take `elements` bytes. */
constexpr std::size_t arrayEntry(std::size_t keyLength, std::size_t elements)
{
    // The key's length, text and NUL; the array's length at 4, its
    // elements at 8.
    return roundUp(roundUp(roundUp(4 + keyLength + 1, 4) + 4, 8) + elements, 8);
}

/** A {sv} entry holding a string. */
constexpr std::size_t propertyEntry(std::size_t nameLength,
                                    std::size_t valueLength)
{
    // The name; the signature "s" (length, 's', NUL); the value at 4.
    return roundUp(roundUp(4 + nameLength + 1 + 3, 4) + 4 + valueLength + 1, 8);
}

/** An object's entry whose adapter interface has properties taking
 *  `properties` bytes. */
std::size_t objectEntry(std::size_t pathLength, std::size_t properties)
{
    std::size_t interfaces = arrayEntry(std::strlen(interfaceName), properties);
    for (auto name : standardInterfaces)
    {
        interfaces += arrayEntry(name.size(), 0);
    }
    return arrayEntry(pathLength, interfaces);
}

} // namespace

NetworkAdapters::NetworkAdapters(sdbus::Bus& b) : bus(sd_bus_ref(b.get()))
{
    int r = sd_bus_add_node_enumerator(bus, &enumeratorSlot, rootPath,
                                       enumerateAdapters, this);
    if (r < 0)
    {
        sd_bus_unref(bus);
        throw sdbus::SdBusError(-r, "sd_bus_add_node_enumerator");
    }
    r = sd_bus_add_filter(bus, &filterSlot, refuseOversizedReply, this);
    if (r < 0)
    {
        sd_bus_slot_unref(enumeratorSlot);
        sd_bus_unref(bus);
        throw sdbus::SdBusError(-r, "sd_bus_add_filter");
    }
}

NetworkAdapters::~NetworkAdapters()
{
    sd_bus_slot_unref(filterSlot);
    adapterMap.clear();
    sd_bus_slot_unref(fallbackSlot);
    sd_bus_slot_unref(enumeratorSlot);
    sd_bus_unref(bus);
}

bool NetworkAdapters::updateNetworkAdapters()
{
    std::cerr << "update network adapters" << std::endl;

    InventoryFile file(inventoryPath, fileBuffer);
    if (!file.isOpen())
    {
        return false;
    }

    passRunning = true;
    try
    {
        readLines(file);
    }
    catch (...)
    {
        // The lines before the failing one stay published.
        applyPending();
        throw;
    }
    applyPending();
    // Every published line succeeds and a failing one has thrown; a file
    // that could be opened but not read (an I/O error) is a failure, though
    // the lines read before it stay published.
    return !file.failed();
}

void NetworkAdapters::readLines(InventoryFile& file)
{
    std::size_t number = 0;
    while (true)
    {
        ++number;
        try
        {
            if (!file.readLine(text))
            {
                break;
            }
            if (!line.read(text))
            {
                continue;
            }
        }
        catch (const std::invalid_argument& e)
        {
            throw std::invalid_argument(std::string(inventoryPath) + " line " +
                                        std::to_string(number) + ": " +
                                        e.what());
        }
        catch (const std::out_of_range& e)
        {
            throw std::out_of_range(std::string(inventoryPath) + " line " +
                                    std::to_string(number) + ": " + e.what());
        }

        asciiLine = isPlainAscii(text);
        auto busIt = adapterMap.find(line.bus);
        if (busIt != adapterMap.end() && busIt->second.contains(line.device))
        {
            refreshAdapter(line.bus, line.device, line.fields);
        }
        else
        {
            addAdapter(line);
        }
        asciiLine = false;
    }
}

void NetworkAdapters::applyPending()
{
    passRunning = false;
    asciiLine = false;
    // In the order of the adapters, then of their properties.
    for (auto& [key, held] : pending)
    {
        held.first->setValue(bus, interfaceName, std::get<2>(key), held.second);
    }
    pending.clear();
}

int NetworkAdapters::addAdapter(const InventoryLine& parsed)
{
    auto object =
        std::make_shared<AdapterObject>(adapterPath(parsed.bus, parsed.device));
    adapterMap[parsed.bus][parsed.device] = object;
    try
    {
        int result = refreshAdapter(parsed.bus, parsed.device, parsed.fields);
        // Names for ports 1 to 3, so that their later lines can set them.
        for (int n = 1; n <= 3; ++n)
        {
            setAdapterProperty(parsed.bus, parsed.device,
                               "MACAddress" + std::to_string(n), "");
            setAdapterProperty(parsed.bus, parsed.device,
                               "LinkStatus" + std::to_string(n), "");
        }
        auto [layout, viaFallback] =
            layoutOf(object->registeredNames(), parsed.fields.at(field::port),
                     parsed.port);
        object->publish(bus, interfaceName, std::move(layout), viaFallback);
        return result;
    }
    catch (...)
    {
        auto& devices = adapterMap[parsed.bus];
        devices.erase(parsed.device);
        if (devices.empty())
        {
            adapterMap.erase(parsed.bus);
        }
        throw;
    }
}

std::pair<std::shared_ptr<const PropertyLayout>, bool>
    NetworkAdapters::layoutOf(std::vector<std::string> names,
                              const std::string& portText, int port)
{
    auto it = layouts.find(names);
    if (it == layouts.end())
    {
        auto layout = std::make_shared<PropertyLayout>(names, portText, port);
        it = layouts.emplace(std::move(names), std::move(layout)).first;
    }
    const PropertyLayout* layout = it->second.get();
    if (shared == nullptr && !fallbackRefused)
    {
        // The first layout is served by the fallback at the root path
        // (where the root object is a fallback too). Should sd-bus refuse
        // it, every adapter gets a vtable of its own.
        int r = sd_bus_add_fallback_vtable(bus, &fallbackSlot, rootPath,
                                           interfaceName, layout->vtable(),
                                           findAdapter, this);
        if (r >= 0)
        {
            shared = layout;
        }
        else
        {
            std::cerr << "sd_bus_add_fallback_vtable: " << std::strerror(-r)
                      << std::endl;
            fallbackRefused = true;
        }
    }
    return {it->second, layout == shared};
}

int NetworkAdapters::refreshAdapter(int bus, int device,
                                    const std::vector<std::string>& fields)
{
    publishAdapterProperties(bus, device, fields);
    int n = parseHex(fields.at(field::port), "port");
    return publishFunctionProperties(bus, device, n, fields);
}

int NetworkAdapters::publishAdapterProperties(
    int bus, int device, const std::vector<std::string>& fields)
{
    const std::string& portText = fields.at(field::port);
    int n = parseHex(portText, "port");
    auto& object = *adapterMap.at(bus).at(device);

    if (!object.isInitialized())
    {
        for (const auto& p : lineProperties)
        {
            if (p.field != derived)
            {
                setAdapterProperty(bus, device, p.name, fields.at(p.field));
            }
        }
        setAdapterProperty(bus, device, "Technology", "Ethernet");
        setAdapterProperty(bus, device, "PortCount", portCount(n));
        setAdapterProperty(bus, device, "DeviceType", deviceType(n));
        setAdapterProperty(bus, device, "MACAddress" + portText,
                           fields.at(field::mac));
        setAdapterProperty(bus, device, "LinkStatus" + portText,
                           fields.at(field::linkStatus));
        return 0;
    }

    // A published object: the same values by the slots of its layout.
    for (std::size_t slot = 0; slot < lineProperties.size(); ++slot)
    {
        if (lineProperties[slot].field != derived)
        {
            store(object, bus, device, static_cast<int>(slot),
                  fields.at(lineProperties[slot].field));
        }
    }
    store(object, bus, device, technologySlot, "Ethernet");
    store(object, bus, device, portCountSlot, portCount(n));
    store(object, bus, device, deviceTypeSlot, deviceType(n));
    auto port = object.properties().portSlots(portText);
    store(object, bus, device, port.mac, fields.at(field::mac));
    store(object, bus, device, port.link, fields.at(field::linkStatus));
    return 0;
}

int NetworkAdapters::publishFunctionProperties(
    int bus, int device, int n, const std::vector<std::string>& fields)
{
    auto& object = *adapterMap.at(bus).at(device);
    if (!object.isInitialized())
    {
        const std::string prefix = "Function" + std::to_string(n);
        for (const auto& row : PciFieldTable)
        {
            if (row.offset >= 0)
            {
                setAdapterProperty(bus, device, prefix + row.name, "");
            }
        }
        setAdapterProperty(bus, device, prefix + "FunctionType", "Physical");
        setAdapterProperty(bus, device, prefix + "DeviceClass",
                           fields.at(field::adapterType));
        return 0;
    }

    // Only the creating line's port has these names.
    const auto* slots = object.properties().functionSlots(n);
    if (slots == nullptr)
    {
        return 0;
    }
    for (std::size_t k = 0; k < PciFieldTable.size(); ++k)
    {
        const auto& row = PciFieldTable[k];
        std::string_view value;
        if (row.offset < 0)
        {
            value = std::string_view(row.name) == "FunctionType"
                        ? std::string_view("Physical")
                        : std::string_view(fields.at(field::adapterType));
        }
        store(object, bus, device, (*slots)[k], value);
    }
    return 0;
}

void NetworkAdapters::setAdapterProperty(int bus, int device,
                                         const std::string& name,
                                         const std::string& value)
{
    auto& object = *adapterMap.at(bus).at(device);
    if (object.isInitialized())
    {
        // Unknown names are ignored: an object on the bus keeps its set.
        store(object, bus, device, object.properties().find(name), value);
    }
    else if (isPublishableName(name))
    {
        object.registerProperty(name, repairUtf8(value));
    }
}

void NetworkAdapters::store(AdapterObject& object, int bus, int device,
                            int slot, std::string_view value)
{
    if (slot < 0)
    {
        return;
    }
    if (!asciiLine && !isPlainAscii(value))
    {
        repaired = repairUtf8(std::string(value));
        value = repaired;
    }
    if (!passRunning)
    {
        object.setValue(this->bus, interfaceName, slot, value);
        return;
    }
    if (!pending.empty())
    {
        auto it = pending.find({bus, device, slot});
        if (it != pending.end())
        {
            it->second.second.assign(value);
            return;
        }
    }
    if (object.value(slot) != value)
    {
        pending.emplace(std::tuple{bus, device, slot},
                        std::pair{&object, std::string(value)});
    }
}

AdapterObject* NetworkAdapters::servedAt(std::string_view path) const
{
    const std::string_view prefix = "/enp";
    std::string_view rootText = rootPath;
    if (path.substr(0, rootText.size()) != rootText)
    {
        return nullptr;
    }
    path.remove_prefix(rootText.size());
    if (path.substr(0, prefix.size()) != prefix)
    {
        return nullptr;
    }
    path.remove_prefix(prefix.size());
    auto s = path.find('s');
    int busNumber = 0;
    int deviceNumber = 0;
    if (s == std::string_view::npos ||
        !readDecimal(path.substr(0, s), busNumber) ||
        !readDecimal(path.substr(s + 1), deviceNumber))
    {
        return nullptr;
    }
    auto busIt = adapterMap.find(busNumber);
    if (busIt == adapterMap.end())
    {
        return nullptr;
    }
    auto deviceIt = busIt->second.find(deviceNumber);
    if (deviceIt == busIt->second.end())
    {
        return nullptr;
    }
    AdapterObject* object = deviceIt->second.get();
    return object->isInitialized() && &object->properties() == shared ? object
                                                                      : nullptr;
}

int NetworkAdapters::findAdapter(sd_bus*, const char* path, const char*,
                                 void* userdata, void** found, sd_bus_error*)
{
    auto* self = static_cast<NetworkAdapters*>(userdata);
    AdapterObject* object = self->servedAt(path);
    if (object == nullptr)
    {
        return 0;
    }
    *found = object->valueBase();
    return 1;
}

int NetworkAdapters::enumerateAdapters(sd_bus*, const char*, void* userdata,
                                       char*** nodes, sd_bus_error*)
{
    // sd-bus frees the list and its strings with free().
    auto* self = static_cast<NetworkAdapters*>(userdata);
    std::size_t count = 0;
    for (const auto& [b, devices] : self->adapterMap)
    {
        count += devices.size();
    }
    auto** list = static_cast<char**>(std::calloc(count + 1, sizeof(char*)));
    if (list == nullptr)
    {
        return -ENOMEM;
    }
    std::size_t n = 0;
    for (const auto& [b, devices] : self->adapterMap)
    {
        for (const auto& [d, object] : devices)
        {
            if (!object->isInitialized() ||
                &object->properties() != self->shared)
            {
                continue;
            }
            list[n] = strdup(object->path().c_str());
            if (list[n] == nullptr)
            {
                for (std::size_t i = 0; i < n; ++i)
                {
                    std::free(list[i]);
                }
                std::free(list);
                return -ENOMEM;
            }
            ++n;
        }
    }
    *nodes = list;
    return 0;
}

std::size_t NetworkAdapters::managedObjectsSize() const
{
    // The array's length, its first element at 8, and the root object.
    std::size_t size = headerBytes + 8 + objectEntry(std::strlen(rootPath), 0);
    for (const auto& [b, devices] : adapterMap)
    {
        for (const auto& [d, object] : devices)
        {
            if (!object->isInitialized())
            {
                continue;
            }
            const auto& names = object->properties().names();
            std::size_t properties = 0;
            for (std::size_t slot = 0; slot < names.size(); ++slot)
            {
                properties +=
                    propertyEntry(names[slot].size(),
                                  object->value(static_cast<int>(slot)).size());
            }
            size += objectEntry(object->path().size(), properties);
        }
    }
    return size;
}

int NetworkAdapters::refuseOversizedReply(sd_bus_message* m, void* userdata,
                                          sd_bus_error*)
{
    // sd-bus answers GetManagedObjects on the manager's own path only.
    const char* path = sd_bus_message_get_path(m);
    if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus.ObjectManager",
                                      "GetManagedObjects") <= 0 ||
        path == nullptr || std::strcmp(path, managerPath) != 0)
    {
        return 0;
    }
    auto* self = static_cast<NetworkAdapters*>(userdata);
    std::size_t size = self->managedObjectsSize();
    if (size <= maxMessageSize)
    {
        self->replyRefused = false;
        return 0;
    }
    // Sent, it would make the bus drop this connection.
    std::array<char, 160> why{};
    std::snprintf(why.data(), why.size(),
                  "GetManagedObjects reply of %zu bytes refused: the bus "
                  "carries messages of at most %zu bytes",
                  size, maxMessageSize);
    if (!self->replyRefused)
    {
        std::cerr << why.data() << std::endl;
        self->replyRefused = true;
    }
    sd_bus_reply_method_errorf(m, SD_BUS_ERROR_LIMITS_EXCEEDED, "%s",
                               why.data());
    return 1;
}

} // namespace nicscout
