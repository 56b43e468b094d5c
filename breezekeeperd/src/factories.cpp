#include "factories.hpp"

#include "bmcmon/dbus_helper.hpp"
#include "sdbus/bus.hpp"

namespace bmcmon
{

std::chrono::system_clock::time_point systemNow()
{
    return std::chrono::system_clock::now();
}

std::unique_ptr<DbusHelperInterface> newSystemHelper()
{
    return std::make_unique<DbusHelper>(sdbus::Bus::newSystem());
}

} // namespace bmcmon
