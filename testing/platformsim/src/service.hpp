#pragma once

#include "call_log.hpp"
#include "model.hpp"
#include "sdbus_ptr.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace platformsim
{

/** One simulated service: its own bus connection, its well-known name and
 *  its objects, served from the in-memory model.
 *
 *  Every method call that reaches the connection is recorded in the call
 *  log and then answered, at once or after the configured delay, with the
 *  injected error, from the standard interfaces (Properties,
 *  Introspectable, ObjectManager) or from the configured methods.
 */
class Service
{
  public:
    /** Answers a configured method itself (the object mapper does). The
     *  call's arguments already match the method's input signature. */
    using MethodHandler =
        std::function<void(sd_bus_message* call, const std::string& member)>;

    /** Opens the connection and, unless the configuration starts the
     *  service absent, requests the name. Throws std::runtime_error. */
    Service(ServiceConfig config, CallLog& log);
    ~Service();

    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    const std::string& name() const
    {
        return config.name;
    }

    sd_bus* bus() const
    {
        return connection.get();
    }

    bool absent() const
    {
        return isAbsent;
    }

    const std::map<std::string, Object>& objects() const
    {
        return config.objects;
    }

    void setMethodHandler(MethodHandler handler)
    {
        methodHandler = std::move(handler);
    }

    /** Releases (true) or requests again (false) the well-known name. */
    void setAbsent(bool absent);

    /** Answers the calls that arrive from now on after this delay. */
    void setDelay(uint32_t milliseconds);

    /** Answers calls of this member with the error; an empty name clears. */
    void setError(const std::string& member, const std::string& errorName,
                  const std::string& message);

    /** Stores the value and always emits PropertiesChanged.
     *  Throws BusError for an unknown object, interface or property. */
    void setProperty(const std::string& path, const std::string& interface,
                     const std::string& property, Property value);

    /** Emits a signal with the given arguments from this connection. */
    void emitRaw(const std::string& path, const std::string& interface,
                 const std::string& member, const std::string& sig,
                 const nlohmann::json& args);

    /** Adds the object (or its new interfaces to an existing object) and
     *  emits InterfacesAdded when an object manager covers it. */
    void addObject(const std::string& path, Object object);

    /** Removes the object; emits InterfacesRemoved when covered. */
    void removeObject(const std::string& path);

    /** Processes what the connection has, until nothing is left.
     *  Returns whether anything was processed; throws on a lost bus. */
    bool process();

    /** When the first delayed call is due (monotonic microseconds), or
     *  UINT64_MAX when none waits. */
    uint64_t nextDue() const;

    /** Answers the delayed calls that are due. */
    void answerDue(uint64_t now);

  private:
    struct Pending
    {
        MessagePtr call;
        uint64_t due;
    };

    static int onMessage(sd_bus_message* m, void* userdata,
                         sd_bus_error* error);
    void receive(sd_bus_message* call);
    void answer(sd_bus_message* call);
    void dispatch(sd_bus_message* call);
    void properties(sd_bus_message* call, const std::string& member);
    void introspect(sd_bus_message* call, const std::string& path);
    void managedObjects(sd_bus_message* call);
    void configuredMethod(sd_bus_message* call, const std::string& path,
                          const std::string& interface,
                          const std::string& member);

    const Object& findObject(const std::string& path) const;
    bool managerCovers(const std::string& path) const;
    std::vector<std::string> children(const std::string& path) const;
    void emitPropertiesChanged(const std::string& path,
                               const std::string& interface,
                               const std::string& name, const Property& value);
    void send(sd_bus_message* signal);

    ServiceConfig config;
    CallLog& log;
    BusPtr connection;
    SlotPtr filter;
    bool isAbsent = false;
    uint64_t delayUsec = 0;
    std::map<std::string, std::pair<std::string, std::string>> errors;
    MethodHandler methodHandler;
    std::deque<Pending> pending; // declared last: released before the bus
};

/** Appends a{sv} of an interface's properties. */
void appendProperties(sd_bus_message* m, const Interface& interface);

/** Appends a{sa{sv}} of an object's interfaces. */
void appendInterfaces(sd_bus_message* m, const Object& object);

} // namespace platformsim
