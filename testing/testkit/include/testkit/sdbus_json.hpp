#pragma once

#include <systemd/sd-bus.h>

#include <nlohmann/json.hpp>

#include <string>

namespace testkit
{

// Appends a JSON value to an sd-bus message as the given signature (one or
// more complete types; for several types the value is a JSON array with one
// element per type). Basic types take JSON numbers, booleans and strings;
// arrays take JSON arrays; dicts take JSON objects (keys converted to the
// key type) or arrays of [key, value] pairs; structs take arrays; variants
// take [signature, value]. Throws std::invalid_argument on a mismatch and
// std::system_error when sd-bus refuses.
void appendJson(sd_bus_message* message, const std::string& signature,
                const nlohmann::json& value);

} // namespace testkit
