#include "network_adapters.hpp"

#include "adapter_properties.hpp"

#include <algorithm>
#include <iostream>
#include <stdexcept>

namespace nicscout
{

NetworkAdapters::NetworkAdapters(sdbus::ObjectServer& s) : server(s) {}

bool NetworkAdapters::updateNetworkAdapters()
{
    std::cerr << "update network adapters" << std::endl;

    InventoryFile file(inventoryPath);
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
    std::string text;
    std::size_t number = 0;
    while (true)
    {
        ++number;
        std::optional<InventoryLine> line;
        try
        {
            if (!file.readLine(text))
            {
                break;
            }
            line = InventoryLine::parse(text);
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
        if (!line)
        {
            continue;
        }

        auto busIt = adapterMap.find(line->bus);
        if (busIt != adapterMap.end() && busIt->second.contains(line->device))
        {
            refreshAdapter(line->bus, line->device, line->fields);
        }
        else
        {
            addAdapter(*line);
        }
    }
}

void NetworkAdapters::applyPending()
{
    passRunning = false;
    for (const auto& [bus, devices] : adapterMap)
    {
        for (const auto& [device, iface] : devices)
        {
            auto it = pending.find(iface.get());
            if (it == pending.end())
            {
                continue;
            }
            for (const auto& [name, value] : it->second)
            {
                iface->setProperty(name, value);
            }
        }
    }
    pending.clear();
}

int NetworkAdapters::addAdapter(const InventoryLine& line)
{
    auto iface =
        server.addInterface(adapterPath(line.bus, line.device), interfaceName);
    adapterMap[line.bus][line.device] = iface;
    try
    {
        int result = refreshAdapter(line.bus, line.device, line.fields);
        // Names for ports 1 to 3, so that their later lines can set them.
        for (int n = 1; n <= 3; ++n)
        {
            setAdapterProperty(line.bus, line.device,
                               "MACAddress" + std::to_string(n), "");
            setAdapterProperty(line.bus, line.device,
                               "LinkStatus" + std::to_string(n), "");
        }
        iface->initialize();
        return result;
    }
    catch (...)
    {
        auto& devices = adapterMap[line.bus];
        devices.erase(line.device);
        if (devices.empty())
        {
            adapterMap.erase(line.bus);
        }
        server.removeInterface(iface);
        throw;
    }
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

    setAdapterProperty(bus, device, "Manufacturer",
                       fields.at(field::manufacturer));
    setAdapterProperty(bus, device, "AdapterType",
                       fields.at(field::adapterType));
    setAdapterProperty(bus, device, "Model", fields.at(field::model));
    setAdapterProperty(bus, device, "Slot", fields.at(field::slot));
    setAdapterProperty(bus, device, "SRIOV", fields.at(field::sriov));
    setAdapterProperty(bus, device, "CPU", fields.at(field::cpu));
    setAdapterProperty(bus, device, "Technology", "Ethernet");
    setAdapterProperty(bus, device, "PortCount", portCount(n));
    setAdapterProperty(bus, device, "DeviceType", deviceType(n));
    setAdapterProperty(bus, device, "MACAddress" + portText,
                       fields.at(field::mac));
    setAdapterProperty(bus, device, "LinkStatus" + portText,
                       fields.at(field::linkStatus));
    return 0;
}

int NetworkAdapters::publishFunctionProperties(
    int bus, int device, int n, const std::vector<std::string>& fields)
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

void NetworkAdapters::setAdapterProperty(int bus, int device,
                                         const std::string& name,
                                         const std::string& value)
{
    auto& iface = adapterMap.at(bus).at(device);
    if (iface->isInitialized())
    {
        // Unknown names are ignored: an object on the bus keeps its set.
        if (!passRunning)
        {
            iface->setProperty(name, repairUtf8(value));
            return;
        }
        auto& values = pending[iface.get()];
        auto it =
            std::find_if(values.begin(), values.end(),
                         [&name](const auto& v) { return v.first == name; });
        if (it == values.end())
        {
            values.emplace_back(name, repairUtf8(value));
        }
        else
        {
            it->second = repairUtf8(value);
        }
    }
    else if (isPublishableName(name))
    {
        iface->registerProperty(name, repairUtf8(value),
                                sdbus::Access::readOnly,
                                sdbus::flags::emitsChange);
    }
}

} // namespace nicscout
