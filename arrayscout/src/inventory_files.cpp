#include "inventory_files.hpp"

#include "files/regular_file.hpp"
#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string_view>

namespace arrayscout
{

namespace
{

template <typename T>
const T* property(const PropertyMap& properties, const char* name)
{
    auto it = properties.find(name);
    if (it == properties.end())
    {
        printOut("inventory: property %s missing\n", name);
        return nullptr;
    }
    const T* value = std::get_if<T>(&it->second);
    if (value == nullptr)
    {
        printOut("inventory: property %s of another type\n", name);
    }
    return value;
}

/** Gives the new file the owner and the permissions of the one it
 *  replaces. A file of another owner cannot be given away without root: it
 *  then belongs to the daemon, with the old permissions. */
bool keepOwnerAndMode(int fd, const struct stat& old)
{
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM)
    {
        return false;
    }
    // After the owner: a change of owner clears the set-id bits.
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

} // namespace

std::string joinStrings(const std::vector<std::string>& list, char separator)
{
    std::string out;
    for (const auto& entry : list)
    {
        out += entry;
        out += separator;
    }
    if (!out.empty())
    {
        out.pop_back();
    }
    return out;
}

std::optional<std::string> raidInventoryText(const PropertyMap& properties)
{
    using Strings = std::vector<std::string>;
    const auto* model = property<std::string>(properties, "Model");
    const auto* health = property<std::string>(properties, "HealthState");
    const auto* firmware = property<std::string>(properties, "FirmwareVersion");
    const auto* cache = property<int32_t>(properties, "TotalCacheSizeMiB");
    const auto* protocols =
        property<Strings>(properties, "SupportedDeviceProtocols");
    const auto* sas = property<int64_t>(properties, "SASAddress");
    const auto* raidTypes = property<Strings>(properties, "SupportedRAIDTypes");
    const auto* serial = property<std::string>(properties, "SerialNumber");
    if (!model || !health || !firmware || !cache || !protocols || !sas ||
        !raidTypes || !serial)
    {
        return std::nullopt;
    }
    Strings fields = {"0",
                      *model,
                      "RAIDStorage0",
                      *health,
                      *firmware,
                      std::to_string(*cache),
                      joinStrings(*protocols, ','),
                      std::to_string(*sas),
                      joinStrings(*raidTypes, ','),
                      "Broadcom / LSI",
                      *serial};
    return joinStrings(fields, '\t') + "\n";
}

std::optional<std::string> diskInventoryText(const PropertyMap& properties)
{
    using Strings = std::vector<std::string>;
    using Ints = std::vector<int32_t>;
    const auto* ids = property<Ints>(properties, "PD_ids");
    const auto* names = property<Strings>(properties, "PD_names");
    const auto* models = property<Strings>(properties, "PD_models");
    const auto* makers = property<Strings>(properties, "PD_Manufacturers");
    const auto* revisions =
        property<Strings>(properties, "PD_FirmwareRevisions");
    const auto* media = property<Strings>(properties, "PD_mediaTypes");
    const auto* protocols = property<Strings>(properties, "PD_protocols");
    const auto* locate = property<Ints>(properties, "PD_locateState");
    const auto* serials = property<Strings>(properties, "PD_serialNumbers");
    const auto* bytes =
        property<std::vector<int64_t>>(properties, "PD_capacityBytes");
    if (!ids || !names || !models || !makers || !revisions || !media ||
        !protocols || !locate || !serials || !bytes)
    {
        return std::nullopt;
    }
    std::size_t n = ids->size();
    for (std::size_t size :
         {names->size(), models->size(), makers->size(), revisions->size(),
          media->size(), protocols->size(), locate->size(), serials->size(),
          bytes->size()})
    {
        if (size < n)
        {
            printOut("inventory: drive lists shorter than PD_ids\n");
            return std::nullopt;
        }
    }

    std::string text;
    for (std::size_t i = 0; i < n; ++i)
    {
        Strings fields = {std::to_string(i), (*names)[i],
                          (*models)[i],      (*makers)[i],
                          (*revisions)[i],   (*media)[i],
                          (*protocols)[i],   std::to_string((*locate)[i]),
                          (*serials)[i],     std::to_string((*bytes)[i])};
        std::cout << "diskDataList: " << joinStrings(fields, ',') << std::endl;
        text += joinStrings(fields, '\t') + "\n";
    }
    return text;
}

void writeRaidMapToFile(const PropertyMap& properties)
{
    std::cout << "start writeRaidMapToFile" << std::endl;

    if (auto raid = raidInventoryText(properties))
    {
        std::cout << "raidData: " << *raid << std::endl;
        writeFileIfChanged(*raid, raidInventoryFile);
    }
    else
    {
        std::cout << "raidData: incomplete, " << raidInventoryFile
                  << " left as it is" << std::endl;
    }

    if (auto disks = diskInventoryText(properties))
    {
        std::cout << "diskData: " << *disks << std::endl;
        writeFileIfChanged(*disks, diskInventoryFile);
    }
    else
    {
        std::cout << "diskData: incomplete, " << diskInventoryFile
                  << " left as it is" << std::endl;
    }
}

bool writeFileIfChanged(const std::string& content, const std::string& path)
{
    namespace fs = std::filesystem;
    fs::path target(path);
    std::error_code ec;
    if (target.has_parent_path())
    {
        fs::create_directories(target.parent_path(), ec);
    }

    // Only a regular file is read or replaced: a FIFO there would hold the
    // daemon, a link would have another file rewritten.
    struct stat old
    {};
    const bool replacing = ::lstat(path.c_str(), &old) == 0;
    if (replacing && !S_ISREG(old.st_mode))
    {
        std::cout << "Failed to write file " << path << ": not a regular file"
                  << std::endl;
        return false;
    }
    std::string present;
    if (replacing && files::readRegular(path.c_str(), present, O_NOFOLLOW) &&
        present == content)
    {
        std::cout << "Data in file is identical. Skip writing." << std::endl;
        return true;
    }

    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
    {
        std::cout << "Failed to open file." << std::endl;
        return false;
    }
    int error = 0;
    bool ok =
        (replacing ? keepOwnerAndMode(fd, old) : ::fchmod(fd, 0644) == 0) &&
        files::writeAll(fd, content) && ::fsync(fd) == 0;
    if (!ok)
    {
        error = errno;
    }
    if (::close(fd) != 0 && ok)
    {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0)
    {
        ok = false;
        error = errno;
    }
    if (!ok)
    {
        ::unlink(temp.c_str());
        std::cout << "Failed to write file " << path << ": "
                  << std::strerror(error) << std::endl;
        return false;
    }
    std::cout << "Data written to file: " << path << std::endl;
    return true;
}

void removeStaleTempFiles(const std::string& path)
{
    namespace fs = std::filesystem;
    fs::path target(path);
    const std::string prefix = target.filename().string() + ".";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(target.parent_path(), ec))
    {
        std::string name = entry.path().filename().string();
        // mkstemp's six characters.
        if (name.size() != prefix.size() + 6 || !name.starts_with(prefix))
        {
            continue;
        }
        std::string_view suffix = std::string_view(name).substr(prefix.size());
        if (!std::all_of(suffix.begin(), suffix.end(),
                         [](unsigned char c) { return std::isalnum(c); }))
        {
            continue;
        }
        if (fs::remove(entry.path(), ec))
        {
            std::cout << "Removed unfinished file " << entry.path().string()
                      << std::endl;
        }
    }
}

} // namespace arrayscout
