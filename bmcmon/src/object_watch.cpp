#include "bmcmon/object_watch.hpp"

#include "bmcmon/sensor_util.hpp"
#include "sdbus/error.hpp"
#include "sdbus/types.hpp"

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

std::string ownerRule(const std::string& service)
{
    return "type='signal',sender='org.freedesktop.DBus',"
           "path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
           "member='NameOwnerChanged',arg0='" +
           service + "'";
}

} // namespace

ObjectWatch::ObjectWatch(sdbus::Bus& bus, const std::string& readerName,
                         const std::string& rule, const std::string& objectPath,
                         const std::string& objectService) :
    reader(readerName),
    path(objectPath), service(objectService)
{
    changedMatch = addMatch(
        bus, rule,
        [this](sdbus::Message& m) {
        if (changed)
        {
            changed(m);
        }
        },
        "no signals will be followed for ");
    if (service.empty())
    {
        return;
    }
    const char* without = "not read again when published anew: ";
    addedMatch = addMatch(
        bus, addedRule(path), [this](sdbus::Message& m) { handleAdded(m); },
        without);
    ownerMatch = addMatch(
        bus, ownerRule(service), [this](sdbus::Message& m) { handleOwner(m); },
        without);
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

void ObjectWatch::handleOwner(sdbus::Message& message)
{
    std::string name;
    std::string oldOwner;
    std::string newOwner;
    try
    {
        message.read(name, oldOwner, newOwner);
    }
    catch (const sdbus::Exception&)
    {
        return;
    }
    // A service that goes leaves its last values; one that comes (back) is
    // read again.
    if (name == service && !newOwner.empty() && published)
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
