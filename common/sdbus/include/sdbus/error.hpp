#pragma once

#include <systemd/sd-bus.h>

#include <exception>
#include <string>

namespace sdbus
{

/** Base of every exception this D-Bus layer throws. */
class Exception : public std::exception
{
  public:
    ~Exception() override = default;
};

/** A failed sd-bus call, carrying the bus error name and message.
 *
 *  what() reads "<prefix>: <error name>: <error message>".
 */
class SdBusError : public Exception
{
  public:
    /** From a negative or positive errno value. */
    SdBusError(int error, const std::string& prefix);
    /** From an error reply or a filled-in sd_bus_error; takes a copy. */
    SdBusError(const sd_bus_error* error, const std::string& prefix);

    SdBusError(const SdBusError& other);
    SdBusError& operator=(const SdBusError& other);
    ~SdBusError() override;

    const char* what() const noexcept override;
    const char* name() const noexcept;
    const char* description() const noexcept;
    int getErrno() const noexcept;

  private:
    void populateMessage(const std::string& prefix);

    sd_bus_error error = SD_BUS_ERROR_NULL;
    std::string full;
};

} // namespace sdbus

namespace sdbus
{

/** Thrown by a method or property handler to answer with a chosen D-Bus
 *  error instead of the generic "org.freedesktop.DBus.Error.Failed". */
class MethodError : public Exception
{
  public:
    MethodError(std::string errorName, std::string errorMessage) :
        errName(std::move(errorName)), errMessage(std::move(errorMessage))
    {}

    const char* what() const noexcept override
    {
        return errMessage.c_str();
    }
    const std::string& name() const noexcept
    {
        return errName;
    }

  private:
    std::string errName;
    std::string errMessage;
};

} // namespace sdbus
