#include "floor.hpp"

#include "measure.hpp"

#include <cstdlib>
#include <iostream>
#include <variant>
#include <vector>

namespace benchkit
{

testkit::Process::Options Floor::options()
{
    const char* binary = std::getenv("FLOOR");
    if (binary == nullptr)
    {
        std::cerr << "FLOOR must name the floor service\n";
        std::exit(1);
    }
    return {.argv = {binary}, .env = {}, .pathPrepend = {}};
}

Floor::Floor() : client(sdbus::Bus::newSystem())
{
    startup = timeToName(options(), floorService, &process);
}

void Floor::set(bool value)
{
    client.callMethod(floorService, floorPath,
                      "org.freedesktop.DBus.Properties", "Set",
                      std::string(floorInterface), std::string("Flag"),
                      std::variant<bool>(value));
    while (client.process() > 0)
    {}
}

bool Floor::get()
{
    auto reply = client.callMethod(
        floorService, floorPath, "org.freedesktop.DBus.Properties", "Get",
        std::string(floorInterface), std::string("Flag"));
    return std::get<bool>(reply.unpack<std::variant<bool>>());
}

void Floor::call()
{
    client.callMethod(floorService, floorPath, floorInterface, "Nop");
}

std::size_t Floor::array(uint32_t length)
{
    return client
        .callMethod(floorService, floorPath, floorInterface, "Array", length)
        .unpack<std::vector<int64_t>>()
        .size();
}

void Floor::ping()
{
    client.callMethod(floorService, floorPath, "org.freedesktop.DBus.Peer",
                      "Ping");
}

void Floor::splitFile(const std::string& path)
{
    client.callMethod(floorService, floorPath, floorInterface, "SplitFile",
                      path);
}

void Floor::emitChanges(unsigned count)
{
    client.callMethod(floorService, floorPath, floorInterface, "EmitChanges",
                      static_cast<uint32_t>(count));
}

} // namespace benchkit
