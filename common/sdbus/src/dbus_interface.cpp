#include "sdbus/dbus_interface.hpp"

#include "sdbus/bus.hpp"

namespace sdbus
{

namespace
{

int replyError(sd_bus_error* error, const std::exception_ptr& e)
{
    try
    {
        std::rethrow_exception(e);
    }
    catch (const MethodError& ex)
    {
        return sd_bus_error_set(error, ex.name().c_str(), ex.what());
    }
    catch (const SdBusError& ex)
    {
        return sd_bus_error_set(error, ex.name(), ex.description());
    }
    catch (const std::exception& ex)
    {
        return sd_bus_error_set(error, SD_BUS_ERROR_FAILED, ex.what());
    }
    catch (...)
    {
        return sd_bus_error_set(error, SD_BUS_ERROR_FAILED, "unknown failure");
    }
}

} // namespace

DbusInterface::DbusInterface(sd_bus* b, std::string path, std::string name) :
    bus(sd_bus_ref(b)), objectPath(std::move(path)),
    interfaceName(std::move(name))
{}

DbusInterface::~DbusInterface()
{
    if (initialized)
    {
        sd_bus_emit_interfaces_removed(bus, objectPath.c_str(),
                                       interfaceName.c_str(), nullptr);
        sd_bus_slot_unref(slot);
        if (detail::afterCallHook != nullptr)
        {
            detail::afterCallHook();
        }
    }
    sd_bus_unref(bus);
}

bool DbusInterface::add(std::unique_ptr<detail::PropertyBase> p)
{
    if (initialized || properties.contains(p->name))
    {
        return false;
    }
    order.push_back(p->name);
    properties.emplace(p->name, std::move(p));
    return true;
}

void DbusInterface::initialize()
{
    publish(false);
}

void DbusInterface::initializeAsFallback()
{
    publish(true);
}

int DbusInterface::findSelf(sd_bus*, const char* path, const char*,
                            void* userdata, void** found, sd_bus_error*)
{
    auto* self = static_cast<DbusInterface*>(userdata);
    if (self->objectPath != path)
    {
        return 0;
    }
    *found = self;
    return 1;
}

void DbusInterface::publish(bool asFallback)
{
    if (initialized)
    {
        return;
    }
    vtable.clear();
    vtable.push_back(SD_BUS_VTABLE_START(0));
    for (const auto& name : order)
    {
        const auto& p = *properties.at(name);
        if (p.writable)
        {
            vtable.push_back(SD_BUS_WRITABLE_PROPERTY(
                p.name.c_str(), p.signature.c_str(), onGet, onSet, 0, p.flags));
        }
        else
        {
            vtable.push_back(SD_BUS_PROPERTY(
                p.name.c_str(), p.signature.c_str(), onGet, 0, p.flags));
        }
    }
    for (const auto& [name, m] : methods)
    {
        vtable.push_back(SD_BUS_METHOD(m->name.c_str(), m->in.c_str(),
                                       m->out.c_str(), onMethod, 0));
    }
    vtable.push_back(SD_BUS_VTABLE_END);

    if (asFallback)
    {
        detail::check(sd_bus_add_fallback_vtable(bus, &slot, objectPath.c_str(),
                                                 interfaceName.c_str(),
                                                 vtable.data(), findSelf, this),
                      "sd_bus_add_fallback_vtable");
    }
    else
    {
        detail::check(sd_bus_add_object_vtable(bus, &slot, objectPath.c_str(),
                                               interfaceName.c_str(),
                                               vtable.data(), this),
                      "sd_bus_add_object_vtable");
    }
    initialized = true;

    // Without an object manager above the path there is no one to announce
    // the interface; that is not an error.
    sd_bus_emit_interfaces_added(bus, objectPath.c_str(), interfaceName.c_str(),
                                 nullptr);
    for (const auto& name : order)
    {
        signalChanged(*properties.at(name));
    }
}

void DbusInterface::signalChanged(detail::PropertyBase& p)
{
    if (!initialized || (p.flags & flags::emitsChange) == 0)
    {
        return;
    }
    sd_bus_emit_properties_changed(bus, objectPath.c_str(),
                                   interfaceName.c_str(), p.name.c_str(),
                                   nullptr);
    if (detail::afterCallHook != nullptr)
    {
        detail::afterCallHook();
    }
}

int DbusInterface::onGet(sd_bus*, const char*, const char*,
                         const char* property, sd_bus_message* reply,
                         void* userdata, sd_bus_error* error)
{
    auto* self = static_cast<DbusInterface*>(userdata);
    try
    {
        self->properties.at(property)->get(reply);
        return 1;
    }
    catch (...)
    {
        return replyError(error, std::current_exception());
    }
}

int DbusInterface::onSet(sd_bus*, const char*, const char*,
                         const char* property, sd_bus_message* value,
                         void* userdata, sd_bus_error* error)
{
    auto* self = static_cast<DbusInterface*>(userdata);
    try
    {
        auto& p = *self->properties.at(property);
        if (p.set(value))
        {
            self->signalChanged(p);
        }
        return 1;
    }
    catch (...)
    {
        return replyError(error, std::current_exception());
    }
}

int DbusInterface::onMethod(sd_bus_message* m, void* userdata,
                            sd_bus_error* error)
{
    auto* self = static_cast<DbusInterface*>(userdata);
    try
    {
        Message call(m);
        Message reply = self->methods.at(call.member())->call(call);
        detail::check(sd_bus_send(nullptr, reply.get(), nullptr),
                      "sd_bus_send");
        return 1;
    }
    catch (...)
    {
        return replyError(error, std::current_exception());
    }
}

} // namespace sdbus
