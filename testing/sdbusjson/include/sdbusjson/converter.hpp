#pragma once

#include <systemd/sd-bus.h>

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace sdbusjson
{

/** Converts between JSON values and D-Bus message contents, driven by the
 *  D-Bus signature.
 *
 *  JSON form of a value: numbers and booleans as such, strings, object
 *  paths and signatures as strings, arrays as arrays (a byte array "ay"
 *  also as a string: its bytes), dictionaries as JSON objects (keys of a
 *  type other than s, o and g written as JSON text, "7") or as arrays of
 *  [key, value] pairs, structures as arrays of their members and variants
 *  as [signature, value]. Unix descriptors (h) are read but never written.
 *
 *  The normalised form, which append() expects and read() produces, always
 *  writes dictionaries as arrays of pairs, so that the order of the
 *  entries is kept, and byte arrays as arrays of numbers.
 *
 *  Every value is checked whole before anything is appended, so a value
 *  that does not fit leaves the message as it was.
 */
class Converter
{
  public:
    /** Checks a value against one complete type and returns its normalised
     *  form. Throws std::invalid_argument naming what does not fit. */
    static nlohmann::json normalize(std::string_view sig,
                                    const nlohmann::json& value);

    /** The same for a list of arguments: sig may hold any number of
     *  complete types and args must be an array with one value each. */
    static nlohmann::json normalizeArgs(std::string_view sig,
                                        const nlohmann::json& args);

    /** Appends a value of one complete type (normalised first).
     *  Throws std::invalid_argument when it does not fit and
     *  std::system_error when sd-bus refuses it. */
    static void append(sd_bus_message* m, std::string_view sig,
                       const nlohmann::json& value);

    /** Appends an argument list (see normalizeArgs). */
    static void appendArgs(sd_bus_message* m, std::string_view sig,
                           const nlohmann::json& args);

    /** Reads one value of the given complete type at the read position. */
    static nlohmann::json read(sd_bus_message* m, std::string_view sig);

    /** Reads the whole body from its start; returns the list of values. */
    static nlohmann::json readBody(sd_bus_message* m);

    /** Renders a normalised value as text the way busctl prints it,
     *  without its type: 5, "abc", 2 "a" "b", true. */
    static std::string render(std::string_view sig,
                              const nlohmann::json& value);

    /** Renders an argument list with each type: s "abc" i 5. */
    static std::string renderArgs(std::string_view sig,
                                  const nlohmann::json& args);

    /** The value a reply carries when none is configured: zero, false,
     *  empty string, "/" for an object path, empty containers. */
    static nlohmann::json defaultValue(std::string_view sig);
};

/** Appends a value under a signature of any number of complete types: for
 *  one type the value itself, for several a JSON array with one value per
 *  type; an empty signature takes null or an empty array and appends
 *  nothing. Throws as Converter::append does. */
void appendJson(sd_bus_message* m, std::string_view sig,
                const nlohmann::json& value);

} // namespace sdbusjson
