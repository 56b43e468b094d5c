#pragma once

#include "sdbus-json/converter.hpp"

namespace testkit
{

// Appends a JSON value to an sd-bus message as the given signature (one or
// more complete types; for several types the value is a JSON array with one
// element per type). Basic types take JSON numbers, booleans and strings;
// arrays take JSON arrays (ay also a string: its bytes); dicts take JSON
// objects (keys converted to the key type) or arrays of [key, value] pairs;
// structs take arrays; variants take [signature, value]. Throws
// std::invalid_argument on a mismatch (nothing appended then) and
// std::system_error when sd-bus refuses.
using sdbus_json::appendJson;

} // namespace testkit
