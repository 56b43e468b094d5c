#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nicscout
{

/** Positions of the fields of an inventory line, counted from 0. */
namespace field
{
constexpr std::size_t mac = 2;
constexpr std::size_t manufacturer = 3;
constexpr std::size_t adapterType = 4;
constexpr std::size_t model = 5;
constexpr std::size_t bus = 6;
constexpr std::size_t device = 7;
constexpr std::size_t port = 8;
constexpr std::size_t linkStatus = 9;
constexpr std::size_t sriov = 10;
constexpr std::size_t slot = 11;
constexpr std::size_t cpu = 12;
/** Lines with fewer fields are skipped; fields after these are ignored. */
constexpr std::size_t count = 13;
} // namespace field

/** Reads a hexadecimal number the way std::stoi does with base 16: leading
 *  white space skipped, a sign and a "0x" prefix accepted, stops at the
 *  first other character. Throws std::invalid_argument when no digit
 *  leads and std::out_of_range when the value does not fit an int; the
 *  text names the field (`what`) and quotes it. */
int parseHex(const std::string& text, const std::string& what);

/** One line of the adapter inventory file: one port of one adapter. */
struct InventoryLine
{
    int bus = 0;
    int device = 0;
    int port = 0;
    std::vector<std::string> fields;

    /** Splits a line at TAB characters; a run of TABs is one separator, a
     *  TAB at either end gives an empty first or last field. */
    static std::vector<std::string> split(const std::string& line);

    /** Parses the whole line before anything is published from it.
     *  Returns nothing for a line of fewer than 13 fields. A NUL byte in
     *  one of the 13 fields, a bus, device or port field that is not a
     *  hexadecimal number, or a negative bus or device number, throws
     *  std::invalid_argument or std::out_of_range. */
    static std::optional<InventoryLine> parse(const std::string& line);

    /** The same into this object, reusing its storage from line to line:
     *  false for a line of fewer than 13 fields (then only `fields` is
     *  set), and the same exceptions. */
    bool read(std::string_view line);

  private:
    static void splitInto(std::string_view line,
                          std::vector<std::string>& fields);
};

} // namespace nicscout
