#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/match.hpp"
#include "sdbus/message.hpp"
#include "sdbus/name_owner_watch.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace bmcmon
{

/** The signals by which a passive reader follows its object: the object's
 *  PropertiesChanged signals, and the two signs that the object has been
 *  published anew and is to be read again: an InterfacesAdded of its path,
 *  and a new owner of its service's name (a restarted service publishes
 *  its objects with their values and sends no change signal).
 *
 *  Only the PropertiesChanged signals of the service's owner (the unique
 *  name that holds the service's name, followed as it changes) are handed
 *  on: anyone may send a signal on any path. Those of other senders are
 *  dropped, with a priority 4 journal entry at most once a minute.
 *
 *  The matches are added when the watch is made, so a reader that makes its
 *  watch before its first read loses no change made in between. */
class ObjectWatch
{
  public:
    using ChangedHandler = std::function<void(sdbus::Message&)>;
    using PublishedHandler = std::function<void()>;

    /** Adds the matches on `bus` (the event loop's connection). `rule` is
     *  the object's PropertiesChanged rule (getMatch); `reader` names the
     *  reader in what is written. Without a service the object is never
     *  read again and its signals are taken from any sender. A match that
     *  cannot be added is reported and left out. */
    ObjectWatch(sdbus::Bus& bus, const std::string& reader,
                const std::string& rule, const std::string& path,
                const std::string& service);

    ObjectWatch(const ObjectWatch&) = delete;
    ObjectWatch& operator=(const ObjectWatch&) = delete;

    /** Where the signals go from now on. None is handled before the event
     *  loop runs, so a reader sets this in its constructor. */
    void follow(ChangedHandler onChanged, PublishedHandler onPublished);

    const std::string& getPath() const
    {
        return path;
    }
    /** False while the object's service has no owner (it has gone);
     *  true when it has one or is not known. */
    bool serviceUp() const;
    /** The service the object was found at; empty when not known. */
    const std::string& getService() const
    {
        return service;
    }

  private:
    std::unique_ptr<sdbus::Match> addMatch(sdbus::Bus& bus,
                                           const std::string& rule,
                                           sdbus::Match::Callback callback,
                                           const char* without);
    void handleChanged(sdbus::Message& message);
    void handleAdded(sdbus::Message& message);

    std::string reader;
    std::string path;
    std::string service;
    ChangedHandler changed;
    PublishedHandler published;
    std::unique_ptr<sdbus::Match> changedMatch;
    std::unique_ptr<sdbus::Match> addedMatch;
    std::unique_ptr<sdbus::NameOwnerWatch> owner;
    /** When a signal of another sender was last written. */
    std::optional<std::chrono::steady_clock::time_point> lastForeignLog;
};

/** Looks up the service that holds the object getSensorPath(type, id) with
 *  `intf`, then makes its watch. Throws what lookupService throws. */
std::unique_ptr<ObjectWatch>
    watchObject(sdbus::Bus& bus, const std::string& reader,
                const std::string& type, const std::string& id,
                DbusHelperInterface& helper, const std::string& intf);

} // namespace bmcmon
