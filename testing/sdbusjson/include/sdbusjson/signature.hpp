#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sdbusjson::signature
{

/** Splits a D-Bus signature into its complete types.
 *
 *  Throws std::invalid_argument when the signature is not valid.
 */
std::vector<std::string> split(std::string_view sig);

/** Whether the text is a valid signature (any number of complete types). */
bool isValid(std::string_view sig);

/** Whether the text is exactly one valid complete type. */
bool isSingleType(std::string_view sig);

/** Whether the type code is one of the basic types. */
bool isBasic(char code);

} // namespace sdbusjson::signature
