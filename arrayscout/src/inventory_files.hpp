#pragma once

// The inventory files of the first controller of I2C bus 14 and of its
// drives, written from the published properties after a confirmed scan.

#include "property_cache.hpp"

#include <optional>
#include <string>
#include <vector>

namespace arrayscout
{

constexpr const char* raidInventoryFile = "/var/inventory/raid/data";
constexpr const char* diskInventoryFile = "/var/inventory/disk/data";

/** Writes both files from the device's published properties. A file whose
 *  properties are missing, of another type or of unequal lengths is left as
 *  it is. */
void writeRaidMapToFile(const PropertyMap& properties);

/** Replaces the file with `content` unless it already holds exactly that.
 *  The new content is written to a temporary file beside it and renamed
 *  over it, so readers see the old file or the new one, never a part.
 *  Returns false when the file could not be written (it keeps its old
 *  content). */
bool writeFileIfChanged(const std::string& content, const std::string& path);

/** Removes the temporary files that writeFileIfChanged leaves beside the
 *  file when it is killed between their creation and their rename (the
 *  file's name, a dot and six letters or digits). */
void removeStaleTempFiles(const std::string& path);

/** The entries, each followed by the separator, without the last one. */
std::string joinStrings(const std::vector<std::string>& list, char separator);

/** The raid inventory line (with its newline), or nothing when a property
 *  is missing or of another type. */
std::optional<std::string> raidInventoryText(const PropertyMap& properties);

/** The drive inventory lines, or nothing when a list is missing, of another
 *  type or shorter than PD_ids. */
std::optional<std::string> diskInventoryText(const PropertyMap& properties);

} // namespace arrayscout
