#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace bmcmon
{

/** Whether the plain passive reader accepts the sensor type: "fan", "temp",
 *  "margin" or "power". */
bool validType(const std::string& type);

/** The object path that a reader of this type and id watches. */
std::string getSensorPath(const std::string& type, const std::string& id);

/** The match rule for the PropertiesChanged signals of that object. */
std::string getMatch(const std::string& type, const std::string& id);

/** value x 10^scale, as a sensor's Scale says. */
double applyScale(double value, int64_t scale);

/** Normalises value into the range [min, max] as 0 to 1 (not clamped); a
 *  range with max <= 0 or max <= min leaves the value as it is. */
void scaleSensorReading(double min, double max, double& value);

/** The id of `name` in the table; a new name gets the lowest id from
 *  `first` on that no entry carries, and is added. */
uint64_t assignNameId(const std::string& name,
                      std::map<std::string, uint64_t>& table, uint64_t first);

/** The entries whose path ends in "/<name>"; the name is taken as a regular
 *  expression (ECMAScript). Throws std::regex_error for an invalid one. */
std::vector<std::pair<std::string, std::string>>
    findPathsByName(const std::string& name,
                    const std::unordered_map<std::string, std::string>& table);

} // namespace bmcmon
