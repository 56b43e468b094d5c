#include "bmcmon/dbus_passive_redundancy.hpp"

#include "bmcmon/property_decode.hpp"
#include "journal/journal.hpp"
#include "sdbus/error.hpp"
#include "sdbus/name_owner_watch.hpp"

#include <syslog.h>

#include <chrono>
#include <iostream>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

namespace bmcmon
{

namespace
{

constexpr const char* redundancyInterface =
    "xyz.openbmc_project.Control.FanRedundancy";
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";
/** How long the sender of a signal may take to answer for its collection:
 *  any peer can send one, and the loop waits for the answer. */
constexpr std::chrono::seconds collectionTimeout{2};

/** The collection held by the variant that comes next, whose contents
 *  signature is `contents`: a list of strings or of object paths. Any other
 *  type is skipped and counts as an empty collection. */
std::vector<std::string> readCollection(sdbus::Message& m,
                                        const std::string& contents)
{
    std::vector<std::string> paths;
    if (!m.enterContainer('v', contents))
    {
        throw sdbus::SdBusError(EBADMSG, "Collection is not a variant");
    }
    if (contents == "as")
    {
        m.read(paths);
    }
    else if (contents == "ao")
    {
        std::vector<sdbus::ObjectPath> objects;
        m.read(objects);
        for (auto& o : objects)
        {
            paths.push_back(std::move(o.str));
        }
    }
    else
    {
        m.skip(contents);
    }
    m.exitContainer();
    return paths;
}

struct RedundancyState
{
    std::string status;
    std::vector<std::string> collection;
};

/** Decodes the GetAll reply of a fan-redundancy object. A Status that is
 *  not a string counts as empty, a Collection of another type as none. */
RedundancyState readRedundancyState(sdbus::Message& m)
{
    RedundancyState state;
    forEachProperty(
        m, [&m, &state](const std::string& name, const std::string& contents) {
            if (name == "Collection")
            {
                state.collection = readCollection(m, contents);
            }
            else if (name == "Status")
            {
                auto status = readVariant<std::variant<std::string>>(m);
                state.status = std::get<std::string>(status);
            }
            else
            {
                m.skip("v");
            }
        });
    return state;
}

/** Least time between two entries about signals of other senders. */
constexpr std::chrono::minutes foreignLogPeriod{1};

bool declaresFailure(const std::string& status)
{
    return status.find("Failed") != std::string::npos;
}

} // namespace

DbusPassiveRedundancy::DbusPassiveRedundancy(sdbus::Bus& connection) :
    bus(connection)
{
    match = std::make_unique<sdbus::Match>(
        bus,
        std::string("type='signal',member='PropertiesChanged',"
                    "arg0namespace='") +
            redundancyInterface + "'",
        [this](sdbus::Message& m) { handleRedundancySignal(m); });
    populateFailures();
}

void DbusPassiveRedundancy::populateFailures()
{
    try
    {
        using Interfaces = std::vector<std::string>;
        using Services = std::unordered_map<std::string, Interfaces>;
        std::unordered_map<std::string, Services> tree;
        sdbus::Message reply = bus.callMethod(
            "xyz.openbmc_project.ObjectMapper",
            "/xyz/openbmc_project/object_mapper",
            "xyz.openbmc_project.ObjectMapper", "GetSubTree", std::string("/"),
            int32_t{0}, Interfaces{redundancyInterface});
        reply.read(tree);

        for (const auto& [path, services] : tree)
        {
            for (const auto& [service, interfaces] : services)
            {
                sdbus::Message props =
                    bus.callMethod(service, path, propertiesInterface, "GetAll",
                                   std::string(redundancyInterface));
                RedundancyState state = readRedundancyState(props);
                if (declaresFailure(state.status))
                {
                    failedSet.insert(state.collection.begin(),
                                     state.collection.end());
                }
            }
        }
    }
    catch (const sdbus::Exception& e)
    {
        // The line of its own stays as it is; what failed follows it.
        std::cerr << "Populate Failures Mapper Error" << std::endl;
        std::cerr << "DbusPassiveRedundancy: " << e.what() << std::endl;
    }
}

void DbusPassiveRedundancy::handleRedundancySignal(sdbus::Message& message)
{
    std::optional<std::string> status;
    bool badStatus = false;
    try
    {
        std::string intf;
        message.read(intf);
        forEachProperty(
            message, [&](const std::string& name, const std::string& contents) {
                if (name == "Status" && contents == "s")
                {
                    status = std::get<std::string>(
                        readVariant<std::variant<std::string>>(message));
                    badStatus = false;
                }
                else
                {
                    badStatus = badStatus || name == "Status";
                    message.skip("v");
                }
            });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "DbusPassiveRedundancy: ignoring unreadable signal of "
                  << message.path() << ": " << e.what() << std::endl;
        return;
    }
    if (badStatus)
    {
        std::cerr << "DbusPassiveRedundancy: ignoring signal of "
                  << message.path() << ": Status is not a string" << std::endl;
        return;
    }
    if (!status || !fromHolder(message))
    {
        return;
    }

    std::vector<std::string> collection;
    try
    {
        sdbus::Message get = bus.newMethodCall(message.sender(), message.path(),
                                               propertiesInterface, "Get");
        get.append(std::string(redundancyInterface), std::string("Collection"));
        sdbus::Message reply = bus.call(get, collectionTimeout);
        auto [type, contents] = reply.peekType();
        if (type != 'v')
        {
            throw sdbus::SdBusError(EBADMSG, "Get reply is not a variant");
        }
        collection = readCollection(reply, contents);
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << "Error reading match data: " << e.what() << std::endl;
        return;
    }

    if (declaresFailure(*status))
    {
        failedSet.insert(collection.begin(), collection.end());
    }
    else
    {
        for (const auto& path : collection)
        {
            failedSet.erase(path);
        }
    }
}

bool DbusPassiveRedundancy::fromHolder(sdbus::Message& message)
{
    // Anyone may send a signal on any path: the sender must own a service
    // that the object mapper names for the object.
    const std::string sender = message.sender();
    const std::string path = message.path();
    try
    {
        sdbus::Message call =
            bus.newMethodCall("xyz.openbmc_project.ObjectMapper",
                              "/xyz/openbmc_project/object_mapper",
                              "xyz.openbmc_project.ObjectMapper", "GetObject");
        call.append(path, std::vector<std::string>{redundancyInterface});
        sdbus::Message reply = bus.call(call, collectionTimeout);
        std::map<std::string, std::vector<std::string>> services;
        reply.read(services);
        for (const auto& entry : services)
        {
            if (!sender.empty() &&
                sdbus::askNameOwner(bus, entry.first, collectionTimeout) ==
                    sender)
            {
                return true;
            }
        }
    }
    catch (const sdbus::Exception&)
    {
        // An object the mapper does not know has no holder to trust.
    }
    auto now = std::chrono::steady_clock::now();
    if (!lastForeignLog || now - *lastForeignLog >= foreignLogPeriod)
    {
        lastForeignLog = now;
        journal::log(LOG_WARNING, "DbusPassiveRedundancy: ignoring a "
                                  "PropertiesChanged of " +
                                      path + " from " + sender +
                                      ", which holds no service of it");
    }
    return false;
}

} // namespace bmcmon
