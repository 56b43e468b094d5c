#pragma once

#include "sdbus/error.hpp"
#include "sdbus/message.hpp"
#include "sdbus/types.hpp"

#include <systemd/sd-bus.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace sdbus
{

namespace flags
{
constexpr uint64_t none = 0;
constexpr uint64_t emitsChange = SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE;
constexpr uint64_t constant = SD_BUS_VTABLE_PROPERTY_CONST;
/** Without it, sd-bus refuses writes and calls from unprivileged peers. */
constexpr uint64_t unprivileged = SD_BUS_VTABLE_UNPRIVILEGED;
} // namespace flags

enum class Access
{
    readOnly,
    readWrite,
};

namespace detail
{

template <typename F>
struct FnTraits : FnTraits<decltype(&std::decay_t<F>::operator())>
{};
template <typename C, typename R, typename... A>
struct FnTraits<R (C::*)(A...) const>
{
    using Ret = R;
    using Args = std::tuple<std::decay_t<A>...>;
};
template <typename C, typename R, typename... A>
struct FnTraits<R (C::*)(A...)>
{
    using Ret = R;
    using Args = std::tuple<std::decay_t<A>...>;
};
template <typename R, typename... A>
struct FnTraits<R (*)(A...)>
{
    using Ret = R;
    using Args = std::tuple<std::decay_t<A>...>;
};

template <typename Tuple>
struct TupleSig;
template <typename... Ts>
struct TupleSig<std::tuple<Ts...>>
{
    static std::string sig()
    {
        return signatureOf<Ts...>();
    }
};

template <typename T>
struct IsTuple : std::false_type
{};
template <typename... Ts>
struct IsTuple<std::tuple<Ts...>> : std::true_type
{};

template <typename R>
std::string returnSig()
{
    if constexpr (std::is_void_v<R>)
    {
        return "";
    }
    else if constexpr (IsTuple<R>::value)
    {
        return TupleSig<R>::sig();
    }
    else
    {
        return Traits<R>::sig();
    }
}

struct PropertyBase
{
    PropertyBase(std::string n, std::string s, uint64_t f, bool w) :
        name(std::move(n)), signature(std::move(s)), flags(f), writable(w)
    {}
    virtual ~PropertyBase() = default;
    virtual void get(sd_bus_message* reply) = 0;
    /** Reads and stores a written value; true when the value changed. */
    virtual bool set(sd_bus_message* value) = 0;

    std::string name;
    std::string signature;
    uint64_t flags;
    bool writable;
};

template <typename T>
struct Property : PropertyBase
{
    using Setter = std::function<bool(const T& requested, T& stored)>;
    using Getter = std::function<T(const T& stored)>;

    Property(std::string n, T initial, uint64_t f, bool w, Setter s, Getter g) :
        PropertyBase(std::move(n), Traits<T>::sig(), f, w),
        value(std::move(initial)), setter(std::move(s)), getter(std::move(g))
    {}

    void get(sd_bus_message* reply) override
    {
        if (getter)
        {
            Traits<T>::append(reply, getter(value));
        }
        else
        {
            Traits<T>::append(reply, value);
        }
    }

    bool set(sd_bus_message* m) override
    {
        T requested{};
        Traits<T>::read(m, requested);
        T before = value;
        if (setter)
        {
            if (!setter(requested, value))
            {
                throw MethodError("org.freedesktop.DBus.Error.InvalidArgs",
                                  "The value was refused");
            }
        }
        else
        {
            value = std::move(requested);
        }
        return !(before == value);
    }

    T value;
    Setter setter;
    Getter getter;
};

struct MethodBase
{
    MethodBase(std::string n, std::string i, std::string o) :
        name(std::move(n)), in(std::move(i)), out(std::move(o))
    {}
    virtual ~MethodBase() = default;
    /** Runs the handler and returns the reply to send. */
    virtual Message call(Message& m) = 0;

    std::string name;
    std::string in;
    std::string out;
};

template <typename Handler>
struct Method : MethodBase
{
    using FT = FnTraits<Handler>;
    using Args = typename FT::Args;
    using Ret = typename FT::Ret;

    Method(std::string n, Handler h) :
        MethodBase(std::move(n), TupleSig<Args>::sig(), returnSig<Ret>()),
        handler(std::move(h))
    {}

    Message call(Message& m) override
    {
        Args args{};
        std::apply([&m](auto&... a) { m.read(a...); }, args);
        Message reply = m.newMethodReturn();
        if constexpr (std::is_void_v<Ret>)
        {
            std::apply(handler, std::move(args));
        }
        else
        {
            Ret r = std::apply(handler, std::move(args));
            if constexpr (IsTuple<Ret>::value)
            {
                std::apply([&reply](const auto&... e) { reply.append(e...); },
                           r);
            }
            else
            {
                reply.append(r);
            }
        }
        return reply;
    }

    Handler handler;
};

} // namespace detail

/** One D-Bus interface at one object path: its properties and methods.
 *
 *  Register everything, then initialize(). Handlers run on the thread of
 *  the connection; an exception they throw becomes an error reply (a
 *  MethodError picks the error name) and never ends the process. */
class DbusInterface
{
  public:
    DbusInterface(sd_bus* bus, std::string path, std::string name);
    DbusInterface(const DbusInterface&) = delete;
    DbusInterface& operator=(const DbusInterface&) = delete;
    /** Removes the interface from the bus (InterfacesRemoved). */
    ~DbusInterface();

    /** A property held by the interface; writable ones take any value of
     *  the right type (sd-bus refuses other types itself). */
    template <typename T>
    bool registerProperty(const std::string& name, T initial,
                          Access access = Access::readOnly,
                          uint64_t propFlags = flags::emitsChange)
    {
        return add(std::make_unique<detail::Property<T>>(
            name, std::move(initial), propFlags, access == Access::readWrite,
            nullptr, nullptr));
    }

    /** A writable property whose setter decides: it stores what it accepts
     *  into `stored` and returns false to refuse the write. */
    template <typename T>
    bool registerProperty(const std::string& name, T initial,
                          typename detail::Property<T>::Setter setter,
                          uint64_t propFlags = flags::emitsChange)
    {
        return add(std::make_unique<detail::Property<T>>(
            name, std::move(initial), propFlags, true, std::move(setter),
            nullptr));
    }

    /** A property with a custom getter (and optional setter). */
    template <typename T>
    bool registerProperty(const std::string& name, T initial,
                          typename detail::Property<T>::Setter setter,
                          typename detail::Property<T>::Getter getter,
                          uint64_t propFlags = flags::emitsChange)
    {
        bool writable = static_cast<bool>(setter);
        return add(std::make_unique<detail::Property<T>>(
            name, std::move(initial), propFlags, writable, std::move(setter),
            std::move(getter)));
    }

    /** A method; the handler's parameter and return types give the
     *  signatures (a std::tuple return gives several out arguments). */
    template <typename Handler>
    bool registerMethod(const std::string& name, Handler handler)
    {
        if (initialized || methods.contains(name))
        {
            return false;
        }
        methods.emplace(name, std::make_unique<detail::Method<Handler>>(
                                  name, std::move(handler)));
        return true;
    }

    /** Publishes the interface: vtable, InterfacesAdded, and one
     *  PropertiesChanged per property that emits changes. */
    void initialize();

    /** The same, registered as an sd-bus fallback of its path that answers
     *  for the path alone. sd-bus keeps a path's own vtables apart from
     *  its fallbacks; this lets objects below the path be served by a
     *  fallback vtable of the same path. */
    void initializeAsFallback();

    /** Sets a property from code; emits PropertiesChanged only on change.
     *  Returns false for an unknown property or a type mismatch. */
    template <typename T>
    bool setProperty(const std::string& name, const T& value)
    {
        auto* p = find<T>(name);
        if (p == nullptr)
        {
            return false;
        }
        if (p->value == value)
        {
            return true;
        }
        p->value = value;
        signalChanged(*p);
        return true;
    }

    template <typename T>
    T getProperty(const std::string& name) const
    {
        auto it = properties.find(name);
        auto* p = it == properties.end()
                      ? nullptr
                      : dynamic_cast<detail::Property<T>*>(it->second.get());
        if (p == nullptr)
        {
            throw std::invalid_argument("no property " + name +
                                        " of that type");
        }
        return p->value;
    }

    const std::string& path() const
    {
        return objectPath;
    }
    const std::string& name() const
    {
        return interfaceName;
    }
    bool isInitialized() const
    {
        return initialized;
    }

  private:
    bool add(std::unique_ptr<detail::PropertyBase> p);
    template <typename T>
    detail::Property<T>* find(const std::string& name)
    {
        auto it = properties.find(name);
        if (it == properties.end())
        {
            return nullptr;
        }
        return dynamic_cast<detail::Property<T>*>(it->second.get());
    }
    void signalChanged(detail::PropertyBase& p);

    static int onGet(sd_bus* bus, const char* path, const char* interface,
                     const char* property, sd_bus_message* reply,
                     void* userdata, sd_bus_error* error);
    static int onSet(sd_bus* bus, const char* path, const char* interface,
                     const char* property, sd_bus_message* value,
                     void* userdata, sd_bus_error* error);
    static int onMethod(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int findSelf(sd_bus* bus, const char* path, const char* interface,
                        void* userdata, void** found, sd_bus_error* error);
    void publish(bool asFallback);

    sd_bus* bus;
    std::string objectPath;
    std::string interfaceName;
    std::vector<std::string> order;
    std::map<std::string, std::unique_ptr<detail::PropertyBase>> properties;
    std::map<std::string, std::unique_ptr<detail::MethodBase>> methods;
    std::vector<sd_bus_vtable> vtable;
    sd_bus_slot* slot = nullptr;
    bool initialized = false;
};

} // namespace sdbus
