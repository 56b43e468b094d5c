#include "bmcmon/object_watch.hpp"

#include "bmcmon/sensor_util.hpp"
#include "journal/journal.hpp"
#include "sdbus/error.hpp"
#include "sdbus/types.hpp"

#include <syslog.h>

#include <iostream>

namespace bmcmon
{

namespace
{

std::string addedRule(const std::string& path)
{
    return "type='signal',interface='org.freedesktop.DBus.ObjectManager',"
           "member='InterfacesAdded',arg0path='" +
           path + "'";
}

/** Least time between two entries about signals of other senders. */
constexpr std::chrono::minutes foreignLogPeriod{1};

} // namespace

ObjectWatch::ObjectWatch(sdbus::Bus& bus, const std::string& readerName,
                         const std::string& rule, const std::string& objectPath,
                         const std::string& objectService) :
    reader(readerName),
    path(objectPath), service(objectService)
{
    changedMatch = addMatch(
        bus, rule, [this](sdbus::Message& m) { handleChanged(m); },
        "no signals will be followed for ");
    if (service.empty())
    {
        return;
    }
    const char* without = "not read again when published anew: ";
    addedMatch = addMatch(
        bus, addedRule(path), [this](sdbus::Message& m) { handleAdded(m); },
        without);
    try
    {
        owner = std::make_unique<sdbus::NameOwnerWatch>(
            bus, service, [this](const std::string&) {
                // A service that comes (back) is read again; one that goes
                // leaves its last values.
                if (published)
                {
                    published();
                }
            });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << reader << ": " << without << path << ": " << e.what()
                  << std::endl;
    }
}

bool ObjectWatch::serviceUp() const
{
    return !owner || !owner->owner().empty();
}

void ObjectWatch::handleChanged(sdbus::Message& message)
{
    // Anyone may send a signal on any path: only the service's own count.
    // Without a service (or its owner's watch) there is no one to check.
    if (!service.empty() && owner && message.sender() != owner->owner())
    {
        auto now = std::chrono::steady_clock::now();
        if (!lastForeignLog || now - *lastForeignLog >= foreignLogPeriod)
        {
            lastForeignLog = now;
            journal::log(LOG_WARNING,
                         reader + ": ignoring a PropertiesChanged of " + path +
                             " from " + message.sender() + ", not " + service +
                             "'s owner (" +
                             (owner->owner().empty() ? std::string("none")
                                                     : owner->owner()) +
                             ")");
        }
        return;
    }
    if (changed)
    {
        changed(message);
    }
}

std::unique_ptr<sdbus::Match>
    ObjectWatch::addMatch(sdbus::Bus& bus, const std::string& rule,
                          sdbus::Match::Callback callback, const char* without)
{
    try
    {
        return std::make_unique<sdbus::Match>(bus, rule, std::move(callback));
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << reader << ": " << without << path << ": " << e.what()
                  << std::endl;
        return nullptr;
    }
}

void ObjectWatch::follow(ChangedHandler onChanged, PublishedHandler onPublished)
{
    changed = std::move(onChanged);
    published = std::move(onPublished);
}

void ObjectWatch::handleAdded(sdbus::Message& message)
{
    sdbus::ObjectPath added;
    try
    {
        message.read(added);
    }
    catch (const sdbus::Exception&)
    {
        return;
    }
    if (added.str == path && published)
    {
        published();
    }
}

std::unique_ptr<ObjectWatch>
    watchObject(sdbus::Bus& bus, const std::string& reader,
                const std::string& type, const std::string& id,
                DbusHelperInterface& helper, const std::string& intf)
{
    std::string path = getSensorPath(type, id);
    std::string service = helper.lookupService(intf, path);
    return std::make_unique<ObjectWatch>(bus, reader, getMatch(type, id), path,
                                         service);
}

} // namespace bmcmon
