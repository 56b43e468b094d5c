#pragma once

#include "model.hpp"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platformsim
{

class Service;

/** The object mapper: answers GetObject, GetSubTree and GetSubTreePaths
 *  from the objects of the simulated services that are present. */
class Mapper
{
  public:
    static constexpr const char* serviceName =
        "xyz.openbmc_project.ObjectMapper";
    static constexpr const char* path = "/xyz/openbmc_project/object_mapper";
    static constexpr const char* interface = "xyz.openbmc_project.ObjectMapper";

    /** The services whose objects the mapper reports. */
    using Services = std::function<std::vector<const Service*>()>;

    explicit Mapper(Services services) : services(std::move(services)) {}

    /** The mapper's own service: its object and its declared methods. */
    static ServiceConfig serviceConfig();

    /** Answers one of the declared methods; the arguments already match. */
    void answer(sd_bus_message* call, const std::string& member) const;

  private:
    void getObject(sd_bus_message* call) const;
    void getSubTree(sd_bus_message* call, bool pathsOnly) const;

    Services services;
};

} // namespace platformsim
