#include "setting_dbus_passive.hpp"

#include "bmcmon/property_decode.hpp"
#include "changed_properties.hpp"
#include "sdbus/error.hpp"

#include <variant>
#include <vector>

namespace bmcmon
{

SettingDbusPassive::SettingDbusPassive(
    const SettingReaderTraits& readerTraits,
    std::unique_ptr<DbusHelperInterface> settingHelper,
    std::unique_ptr<ObjectWatch> objectWatch,
    const std::shared_ptr<DbusPassiveRedundancy>& failures, Clocks now) :
    clocks(std::move(now)),
    traits(readerTraits), watch(std::move(objectWatch)),
    helper(std::move(settingHelper)), redundancy(failures)
{
    watch->follow([this](sdbus::Message& m) { handleSettingSignal(m); },
                  [this] { readAgain(); });
}

SensorReading SettingDbusPassive::read()
{
    std::lock_guard<std::mutex> guard(lock);
    return {0.0, updated};
}

bool SettingDbusPassive::isFailed()
{
    return redundancy && redundancy->getFailedSet().contains(getPath());
}

void SettingDbusPassive::handleSettingSignal(sdbus::Message& message)
{
    std::vector<Store> stores;
    try
    {
        std::string intf;
        message.read(intf);
        if (intf != traits.interface)
        {
            return;
        }
        forEachChanged(
            message, [&](const std::string& name, const std::string& contents) {
                Store store = takeChanged(message, name, contents);
                if (!store)
                {
                    return false;
                }
                stores.push_back(std::move(store));
                return true;
            });
    }
    catch (const sdbus::Exception& e)
    {
        std::cerr << traits.reader << ": ignoring unreadable signal of "
                  << getPath() << ": " << e.what() << std::endl;
        return;
    }
    for (const Store& store : stores)
    {
        store();
    }
}

std::string SettingDbusPassive::readText(sdbus::Message& m)
{
    return std::get<std::string>(readVariant<std::variant<std::string>>(m));
}

void SettingDbusPassive::readAgain()
{
    try
    {
        readSetting(*helper, watch->getService(), getPath());
    }
    catch (const std::exception& e)
    {
        std::cerr << traits.reader << ": cannot read " << getPath()
                  << " again: " << e.what() << std::endl;
    }
}

} // namespace bmcmon
