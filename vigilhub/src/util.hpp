#pragma once

#include <stdexcept>
#include <string>

namespace openbmc::vigilhub::util
{

/** A failed exchange with another D-Bus service. */
class DBusError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/** A failed read or write of another service's property. what() is the
 *  message followed by service, path, interface and property, unseparated.
 */
class DBusPropertyError : public DBusError
{
  public:
    DBusPropertyError(const std::string& message, const std::string& service,
                      const std::string& path, const std::string& interface,
                      const std::string& property) :
        DBusError(message + service + path + interface + property),
        service(service), path(path), interface(interface), property(property)
    {}

    std::string service;
    std::string path;
    std::string interface;
    std::string property;
};

} // namespace openbmc::vigilhub::util
