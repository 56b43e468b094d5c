#pragma once

#include <stdexcept>
#include <string>

namespace platformsim
{

/** A failure that is answered to the caller as a D-Bus error. */
class BusError : public std::runtime_error
{
  public:
    BusError(std::string name, const std::string& message) :
        std::runtime_error(message), name(std::move(name))
    {}

    const std::string name;
};

namespace error
{
inline constexpr const char* invalidArgs =
    "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr const char* unknownObject =
    "org.freedesktop.DBus.Error.UnknownObject";
inline constexpr const char* unknownInterface =
    "org.freedesktop.DBus.Error.UnknownInterface";
inline constexpr const char* unknownMethod =
    "org.freedesktop.DBus.Error.UnknownMethod";
inline constexpr const char* unknownProperty =
    "org.freedesktop.DBus.Error.UnknownProperty";
inline constexpr const char* failed = "org.freedesktop.DBus.Error.Failed";
inline constexpr const char* resourceNotFound =
    "xyz.openbmc_project.Common.Error.ResourceNotFound";
} // namespace error

} // namespace platformsim
