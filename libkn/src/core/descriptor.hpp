// One owner for each descriptor the library opens.
#pragma once

#include "core/file_io.hpp"

#include <utility>

namespace kn
{

// An open descriptor, or none (-1), closed once when its owner goes: on
// every return and on an exception alike.
class Descriptor
{
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) noexcept : fd(fd) {}
    ~Descriptor()
    {
        close();
    }
    Descriptor(Descriptor&& other) noexcept : fd(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        if (this != &other)
        {
            reset(other.release());
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const noexcept
    {
        return fd;
    }
    bool isOpen() const noexcept
    {
        return fd >= 0;
    }

    // Closes it now: false when the close reports an error (as closeFd
    // does), true when there was nothing to close.
    bool close() noexcept
    {
        return fd < 0 || closeFd(std::exchange(fd, -1));
    }
    // Closes this one and owns fd instead.
    void reset(int other = -1) noexcept
    {
        close();
        fd = other;
    }
    // Hands the descriptor over to the caller, who closes it.
    int release() noexcept
    {
        return std::exchange(fd, -1);
    }

  private:
    int fd = -1;
};

} // namespace kn
