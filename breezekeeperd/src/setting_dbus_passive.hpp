#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_passive_redundancy.hpp"
#include "bmcmon/dbus_types.hpp"
#include "bmcmon/object_watch.hpp"
#include "bmcmon/read_interface.hpp"
#include "factories.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/message.hpp"

#include <chrono>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>

namespace bmcmon
{

/** What sets one of the setting readers apart from the others, besides its
 *  setting and how it is read and stored. */
struct SettingReaderTraits
{
    /** The class's name, in what the reader writes. */
    const char* reader;
    /** The factory's name, in what the factory writes. */
    const char* factory;
    /** The interface that the service is looked up by and whose
     *  PropertiesChanged signals are followed. */
    const char* interface;
};

/** What the host-state, thermal-mode and power-cap readers share: one
 *  setting of one object, read once by the factory, then kept current from
 *  the PropertiesChanged signals of the setting's interface and read again
 *  when the object is published anew (see ObjectWatch). Its value is always
 *  0; `updated` tells when the setting was last stored. */
class SettingDbusPassive : public ReadInterface
{
  public:
    SettingDbusPassive(const SettingDbusPassive&) = delete;
    SettingDbusPassive& operator=(const SettingDbusPassive&) = delete;

    /** Value 0 and the time the setting was last stored. */
    SensorReading read() override;
    /** True only while a redundancy set names the object. */
    bool isFailed() override;

    /** One PropertiesChanged signal of the object; never throws. */
    void handleSettingSignal(sdbus::Message& message);

  protected:
    /** What to store of one changed property, or nothing to skip it. */
    using Store = std::function<void()>;

    /** Follows `watch` from now on. */
    SettingDbusPassive(const SettingReaderTraits& traits,
                       std::unique_ptr<DbusHelperInterface> helper,
                       std::unique_ptr<ObjectWatch> watch,
                       const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
                       Clocks clocks);

    /** Takes the changed property `name` of the setting's interface (its
     *  variant, of contents `contents`, is next in `m`): reads it and says
     *  how to store it, or returns nothing to have it skipped. The stores
     *  run once the whole signal has been read. */
    virtual Store takeChanged(sdbus::Message& m, const std::string& name,
                              const std::string& contents) = 0;
    /** Reads the setting again from `service` and stores it. */
    virtual void readSetting(DbusHelperInterface& helper,
                             const std::string& service,
                             const std::string& path) = 0;

    /** Stamps `updated` with the system clock; with `lock` held. */
    void stamp()
    {
        updated = clocks.system();
    }
    const std::string& getPath() const
    {
        return watch->getPath();
    }

    std::mutex lock;
    Clocks clocks;

  private:
    void readAgain();

    const SettingReaderTraits& traits;
    std::unique_ptr<ObjectWatch> watch;
    std::unique_ptr<DbusHelperInterface> helper;
    std::shared_ptr<DbusPassiveRedundancy> redundancy;
    std::chrono::system_clock::time_point updated;
};

/** The factory of the setting reader `Reader`: refuses an empty helper,
 *  looks up the service of the object that getSensorPath(type, id) names,
 *  makes the watch of the object, reads the setting and builds the reader.
 *  Nothing when a step fails (standard error says why); the helper is
 *  taken over only when a reader is returned. `Reader` gives its `traits`,
 *  its `Setting` type and `readInitial`. */
template <typename Reader>
std::unique_ptr<Reader> createSettingReader(
    sdbus::Bus& bus, const std::string& type, const std::string& id,
    std::unique_ptr<DbusHelperInterface>&& helper,
    const std::shared_ptr<DbusPassiveRedundancy>& redundancy, Clocks clocks)
{
    const SettingReaderTraits& traits = Reader::traits;
    if (helper == nullptr)
    {
        std::cerr << traits.factory << ": helper=null" << std::endl;
        return nullptr;
    }
    try
    {
        auto watch = watchObject(bus, traits.reader, type, id, *helper,
                                 traits.interface);
        typename Reader::Setting initial{};
        Reader::readInitial(*helper, watch->getService(), watch->getPath(),
                            initial);
        return std::make_unique<Reader>(std::move(helper), std::move(watch),
                                        initial, redundancy, std::move(clocks));
    }
    catch (const std::exception& e)
    {
        std::cerr << traits.factory << ": exception: " << e.what() << std::endl;
        return nullptr;
    }
}

} // namespace bmcmon
