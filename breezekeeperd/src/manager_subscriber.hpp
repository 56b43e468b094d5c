#pragma once

#include <cstdint>

namespace bmcmon
{

/** What a fan reader tells when its fan's failed flag flips. */
class ManagerSubscriber
{
  public:
    virtual ~ManagerSubscriber() = default;

    /** Notes that the failed flag of fan `fanId` flipped. */
    virtual void notifyStateChanged(uint32_t fanId) = 0;
};

} // namespace bmcmon
