#include "sdbus/error.hpp"

#include <cstdlib>

namespace sdbus
{

SdBusError::SdBusError(int errnoValue, const std::string& prefix)
{
    sd_bus_error_set_errno(&error, std::abs(errnoValue));
    populateMessage(prefix);
}

SdBusError::SdBusError(const sd_bus_error* from, const std::string& prefix)
{
    if (from == nullptr || !sd_bus_error_is_set(from))
    {
        sd_bus_error_set_errno(&error, EIO);
    }
    else
    {
        sd_bus_error_copy(&error, from);
    }
    populateMessage(prefix);
}

SdBusError::SdBusError(const SdBusError& other) :
    Exception(other), full(other.full)
{
    sd_bus_error_copy(&error, &other.error);
}

SdBusError& SdBusError::operator=(const SdBusError& other)
{
    if (this != &other)
    {
        sd_bus_error_free(&error);
        sd_bus_error_copy(&error, &other.error);
        full = other.full;
    }
    return *this;
}

SdBusError::~SdBusError()
{
    sd_bus_error_free(&error);
}

void SdBusError::populateMessage(const std::string& prefix)
{
    full = prefix;
    full += ": ";
    full += error.name != nullptr ? error.name : "";
    full += ": ";
    full += error.message != nullptr ? error.message : "";
}

const char* SdBusError::what() const noexcept
{
    return full.c_str();
}

const char* SdBusError::name() const noexcept
{
    return error.name != nullptr ? error.name : "";
}

const char* SdBusError::description() const noexcept
{
    return error.message != nullptr ? error.message : "";
}

int SdBusError::getErrno() const noexcept
{
    return sd_bus_error_get_errno(&error);
}

} // namespace sdbus
