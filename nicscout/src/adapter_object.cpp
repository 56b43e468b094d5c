#include "adapter_object.hpp"

#include "adapter_properties.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/error.hpp"

#include <algorithm>
#include <stdexcept>

namespace nicscout
{

namespace
{

/** The getter of every adapter property: sd-bus hands it the object's
 *  values plus the property's offset, so it holds the value itself. */
int getValue(sd_bus*, const char*, const char*, const char*,
             sd_bus_message* reply, void* userdata, sd_bus_error*)
{
    return sd_bus_message_append_basic(
        reply, 's', static_cast<const std::string*>(userdata)->c_str());
}

/** Lets the event loop send what the signals queued. */
void afterEmit()
{
    if (sdbus::detail::afterCallHook != nullptr)
    {
        sdbus::detail::afterCallHook();
    }
}

} // namespace

PropertyLayout::PropertyLayout(std::vector<std::string> names,
                               std::string portText, int port) :
    propertyNames(std::move(names)),
    creatingPortText(std::move(portText)), creatingPort(port)
{
    table.reserve(propertyNames.size() + 2);
    table.push_back(SD_BUS_VTABLE_START(0));
    for (std::size_t i = 0; i < propertyNames.size(); ++i)
    {
        table.push_back(SD_BUS_PROPERTY(propertyNames[i].c_str(), "s", getValue,
                                        i * sizeof(std::string),
                                        SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE));
    }
    table.push_back(SD_BUS_VTABLE_END);

    sorted.resize(propertyNames.size());
    for (std::size_t i = 0; i < sorted.size(); ++i)
    {
        sorted[i] = static_cast<int>(i);
    }
    std::sort(sorted.begin(), sorted.end(), [this](int a, int b) {
        return propertyNames[static_cast<std::size_t>(a)] <
               propertyNames[static_cast<std::size_t>(b)];
    });

    creating = {find("MACAddress" + creatingPortText),
                find("LinkStatus" + creatingPortText)};
    for (std::size_t n = 0; n < placeholders.size(); ++n)
    {
        const std::string suffix = std::to_string(n + 1);
        placeholders[n] = {find("MACAddress" + suffix),
                           find("LinkStatus" + suffix)};
    }
    const std::string prefix = "Function" + std::to_string(creatingPort);
    for (std::size_t k = 0; k < PciFieldTable.size(); ++k)
    {
        functions[k] = find(prefix + PciFieldTable[k].name);
    }
}

int PropertyLayout::find(std::string_view name) const
{
    auto it = std::lower_bound(sorted.begin(), sorted.end(), name,
                               [this](int i, std::string_view n) {
        return propertyNames[static_cast<std::size_t>(i)] < n;
    });
    if (it == sorted.end() ||
        propertyNames[static_cast<std::size_t>(*it)] != name)
    {
        return -1;
    }
    return *it;
}

PropertyLayout::PortSlots
    PropertyLayout::portSlots(std::string_view portText) const
{
    // An object has these names for its creating line's port and for
    // ports 1 to 3, and no other.
    if (portText == creatingPortText)
    {
        return creating;
    }
    if (portText.size() == 1 && portText[0] >= '1' && portText[0] <= '3')
    {
        return placeholders[static_cast<std::size_t>(portText[0] - '1')];
    }
    return {};
}

const std::array<int, 8>* PropertyLayout::functionSlots(int n) const
{
    return n == creatingPort ? &functions : nullptr;
}

AdapterObject::AdapterObject(std::string path) : objectPath(std::move(path)) {}

AdapterObject::~AdapterObject()
{
    sd_bus_slot_unref(ownSlot);
}

bool AdapterObject::registerProperty(std::string_view name,
                                     std::string_view value)
{
    for (const auto& [n, v] : registered)
    {
        if (n == name)
        {
            return false;
        }
    }
    registered.emplace_back(name, value);
    return true;
}

std::vector<std::string> AdapterObject::registeredNames() const
{
    std::vector<std::string> names;
    names.reserve(registered.size());
    for (const auto& [n, v] : registered)
    {
        names.push_back(n);
    }
    return names;
}

void AdapterObject::publish(
    sd_bus* bus, const char* interface,
    std::shared_ptr<const PropertyLayout> propertyLayout, bool servedByFallback)
{
    const auto& names = propertyLayout->names();
    auto stored = std::make_unique<std::string[]>(names.size());
    for (auto& [name, value] : registered)
    {
        stored[static_cast<std::size_t>(propertyLayout->find(name))] =
            std::move(value);
    }
    values = std::move(stored);
    if (!servedByFallback)
    {
        int r = sd_bus_add_object_vtable(bus, &ownSlot, objectPath.c_str(),
                                         interface, propertyLayout->vtable(),
                                         values.get());
        if (r < 0)
        {
            values.reset();
            throw sdbus::SdBusError(-r, "sd_bus_add_object_vtable");
        }
    }
    layout = std::move(propertyLayout);
    std::vector<std::pair<std::string, std::string>>().swap(registered);

    // As every object of this daemon is announced: the interface, then
    // each property that emits changes. Without a listener or a bus these
    // go nowhere, which is not an error.
    sd_bus_emit_interfaces_added(bus, objectPath.c_str(), interface, nullptr);
    for (const auto& name : names)
    {
        sd_bus_emit_properties_changed(bus, objectPath.c_str(), interface,
                                       name.c_str(), nullptr);
    }
    afterEmit();
}

void AdapterObject::setValue(sd_bus* bus, const char* interface, int slot,
                             std::string_view text)
{
    auto& stored = values[static_cast<std::size_t>(slot)];
    if (stored == text)
    {
        return;
    }
    stored.assign(text);
    sd_bus_emit_properties_changed(
        bus, objectPath.c_str(), interface,
        layout->names()[static_cast<std::size_t>(slot)].c_str(), nullptr);
    afterEmit();
}

} // namespace nicscout
