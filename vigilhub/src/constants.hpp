#pragma once

#include <string>

// Names shared by the service's sources. Namespace-scope constants have
// internal linkage, so every source holds its own copies.
namespace openbmc::vigilhub
{

const std::string serviceName = "xyz.openbmc_project.vigilhub";
const std::string basePath = "/xyz/openbmc_project/vigilhub/";
const std::string fanPath = "/xyz/openbmc_project/vigilhub/fan";
const std::string powerPath = "/xyz/openbmc_project/vigilhub/power";
const std::string diskPath = "/xyz/openbmc_project/vigilhub/disk";
const std::string statusInterface = "xyz.openbmc_project.Status";
const std::string healthProperty = "Health";

const std::string ledGroupName = "system_fault";
const std::string ledService = "xyz.openbmc_project.LED.GroupManager";
const std::string ledGroupPathPrefix = "/xyz/openbmc_project/led/groups/";
const std::string ledGroupInterface = "xyz.openbmc_project.Led.Group";
const std::string ledProperty = "Asserted";

} // namespace openbmc::vigilhub
