#pragma once

#include "model.hpp"

#include <string>
#include <vector>

namespace platformsim
{

/** The introspection XML of one node.
 *
 *  @param object       the object at the node, or nullptr for a node that
 *                      only leads to others
 *  @param objectManager whether the node serves an object manager
 *  @param children     the names of the nodes directly below
 */
std::string introspectXml(const Object* object, bool objectManager,
                          const std::vector<std::string>& children);

} // namespace platformsim
