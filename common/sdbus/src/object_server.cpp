#include "sdbus/object_server.hpp"

#include <algorithm>

namespace sdbus
{

ObjectServer::ObjectServer(AsioConnection& conn, bool objectManager) :
    ObjectServer(conn.bus(), objectManager)
{}

ObjectServer::ObjectServer(Bus& b, bool objectManager) :
    bus(sd_bus_ref(b.get()))
{
    if (objectManager)
    {
        int r = sd_bus_add_object_manager(bus, &managerSlot, "/");
        if (r < 0)
        {
            sd_bus_unref(bus);
            throw SdBusError(-r, "sd_bus_add_object_manager");
        }
    }
}

ObjectServer::~ObjectServer()
{
    interfaces.clear();
    sd_bus_slot_unref(managerSlot);
    sd_bus_unref(bus);
}

std::shared_ptr<DbusInterface>
    ObjectServer::addInterface(const std::string& path, const std::string& name)
{
    auto iface = std::make_shared<DbusInterface>(bus, path, name);
    interfaces.push_back(iface);
    return iface;
}

bool ObjectServer::removeInterface(const std::shared_ptr<DbusInterface>& iface)
{
    auto it = std::find(interfaces.begin(), interfaces.end(), iface);
    if (it == interfaces.end())
    {
        return false;
    }
    interfaces.erase(it);
    return true;
}

} // namespace sdbus
