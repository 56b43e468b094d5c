#pragma once

// The daemon's process-wide state on a connection of the test's private
// bus, with its messages taken from std::cout and std::cerr, and a
// description file for the simulated library and I2C buses.

#include "property_cache.hpp"
#include "sdbus/bus.hpp"
#include "sdbus/object_server.hpp"
#include "storesim_description.hpp"

#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace arrayscout_test
{

class DaemonState : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        bus.emplace(sdbus::Bus::newSystem());
        server.emplace(*bus);
        arrayscout::objectServer = &*server;
        arrayscout::resetDeviceState();
        oldOut = std::cout.rdbuf(out.rdbuf());
        oldErr = std::cerr.rdbuf(err.rdbuf());
    }

    void TearDown() override
    {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
        arrayscout::resetDeviceState();
        arrayscout::objectServer = nullptr;
        server.reset();
        bus.reset();
    }

    /** The properties the running scan stored for a device. */
    const arrayscout::PropertyMap& collected(int r, int c, int d = 0)
    {
        const auto* p =
            arrayscout::findDevice(arrayscout::_collectingCache, r, c, d);
        if (p == nullptr)
        {
            static const arrayscout::PropertyMap none;
            ADD_FAILURE() << "no cached device " << r << "," << c << "," << d;
            return none;
        }
        return *p;
    }

    template <typename T>
    T value(const arrayscout::PropertyMap& map, const std::string& name)
    {
        auto it = map.find(name);
        if (it == map.end() || !std::holds_alternative<T>(it->second))
        {
            ADD_FAILURE() << "no property " << name << " of that type";
            return T{};
        }
        return std::get<T>(it->second);
    }

    /** A device interface in BusMap, not yet initialized. */
    std::shared_ptr<sdbus::DbusInterface> addDevice(int r, int c, int d)
    {
        auto iface = server->addInterface(
            "/xyz/openbmc_project/Raid/rs" + std::to_string(r) + "cs" +
                std::to_string(c) + "ds" + std::to_string(d),
            "xyz.openbmc_project.Raid.Device");
        arrayscout::BusMap[r][c][d] = iface;
        return iface;
    }

    std::optional<sdbus::Bus> bus;
    std::optional<sdbus::ObjectServer> server;
    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* oldOut = nullptr;
    std::streambuf* oldErr = nullptr;
    Description sim;
};

} // namespace arrayscout_test
