#pragma once

#include "bmcmon/dbus_helper_interface.hpp"
#include "bmcmon/dbus_passive_redundancy.hpp"
#include "bmcmon/dbus_types.hpp"
#include "bmcmon/object_watch.hpp"
#include "bmcmon/passive_sensor_config.hpp"
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

/** The names that set one setting reader apart from the others. */
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

    /** A property of which only a text is taken: a value of another type
     *  reads as "". */
    static std::string readText(sdbus::Message& m);

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

/** The part of a setting reader that depends on its setting's type. The
 *  reader gives its `traits` and `helperRead` (the helper's read of the
 *  setting), what it holds now and how a setting read is stored. */
template <typename Reader, typename Setting>
class SettingReader : public SettingDbusPassive
{
  public:
    SettingReader(std::unique_ptr<DbusHelperInterface> helper,
                  std::unique_ptr<ObjectWatch> watch,
                  const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
                  Clocks clocks) :
        SettingDbusPassive(Reader::traits, std::move(helper), std::move(watch),
                           redundancy, std::move(clocks))
    {}

    /** The factory: refuses an empty helper, looks up the service of the
     *  object that getSensorPath(type, id) names, makes the object's watch,
     *  reads the setting, builds the reader and stores the setting in it.
     *  Nothing when a step fails (standard error says why); the helper is
     *  taken over only when a reader is returned. */
    static std::unique_ptr<Reader>
        create(sdbus::Bus& bus, const std::string& type, const std::string& id,
               std::unique_ptr<DbusHelperInterface>&& helper,
               const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
               Clocks clocks)
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
            Setting initial{};
            ((*helper).*Reader::helperRead)(watch->getService(),
                                            watch->getPath(), initial);
            auto reader =
                std::make_unique<Reader>(std::move(helper), std::move(watch),
                                         redundancy, std::move(clocks));
            static_cast<SettingReader&>(*reader).storeSetting(initial, true);
            return reader;
        }
        catch (const std::exception& e)
        {
            std::cerr << traits.factory << ": exception: " << e.what()
                      << std::endl;
            return nullptr;
        }
    }

  protected:
    /** The setting held now: what a read that lacks it leaves. */
    virtual Setting current() = 0;
    /** Stores a setting read, the first one (`first`) or a later one. */
    virtual void storeSetting(const Setting& setting, bool first) = 0;

  private:
    void readSetting(DbusHelperInterface& helper, const std::string& service,
                     const std::string& path) override
    {
        Setting setting = current();
        (helper.*Reader::helperRead)(service, path, setting);
        storeSetting(setting, false);
    }
};

/** The factory of the setting reader `Reader`, callable as a function:
 *  (bus, type, id, helper, config (not read), redundancy[, clocks]). */
template <typename Reader>
struct SettingReaderFactory
{
    std::unique_ptr<Reader>
        operator()(sdbus::Bus& bus, const std::string& type,
                   const std::string& id,
                   std::unique_ptr<DbusHelperInterface>&& helper,
                   const PassiveSensorConfig& /*info*/,
                   const std::shared_ptr<DbusPassiveRedundancy>& redundancy,
                   Clocks clocks = {}) const
    {
        return Reader::create(bus, type, id, std::move(helper), redundancy,
                              std::move(clocks));
    }
};

} // namespace bmcmon
