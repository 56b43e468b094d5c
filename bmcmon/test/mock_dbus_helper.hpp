#pragma once

#include "bmcmon/dbus_helper_interface.hpp"

#include <gmock/gmock.h>

namespace bmcmon::test
{

class MockDbusHelper : public DbusHelperInterface
{
  public:
    MOCK_METHOD(std::string, lookupService,
                (const std::string&, const std::string&), (override));
    MOCK_METHOD(void, readSensorValue,
                (const std::string&, const std::string&,
                 SensorValueProperties&),
                (override));
    MOCK_METHOD(void, readPowerCap,
                (const std::string&, const std::string&, PowerCapSetting&),
                (override));
    MOCK_METHOD(void, readHostState,
                (const std::string&, const std::string&, int&), (override));
    MOCK_METHOD(void, readThermalMode,
                (const std::string&, const std::string&, int&), (override));
    MOCK_METHOD(void, readHealth,
                (const std::string&, const std::string&, int&), (override));
    MOCK_METHOD(void, writeHealth,
                (const std::string&, const std::string&, const int&),
                (override));
    MOCK_METHOD(bool, readCriticalAlarms,
                (const std::string&, const std::string&), (override));
    MOCK_METHOD(void, postLogEntry, (const std::string&), (override));
};

} // namespace bmcmon::test
