#pragma once

// Descriptions of RAID cards for the simulated storage library and I2C
// buses (arrayscout/storesim), and the file they are read from.

#include "testkit/tempdir.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace arrayscout_test
{

using nlohmann::json;

/** A SAS hard disk in `slot` behind enclosure 252. */
inline json sasDrive(int deviceId, int slot)
{
    return {{"deviceId", deviceId},
            {"seqNum", 3},
            {"slot", slot},
            {"enclosureId", 252},
            {"model", "ST4000NM0035"},
            {"serial", "ZC10" + std::to_string(slot)},
            {"blocks", 7814037168ULL},
            {"arrayBlocks", 7813988352ULL},
            {"fwState", 0},
            {"kind", 2},
            {"interfaceType", 2},
            {"inquiry",
             {{"vendor", "SEAGATE"},
              {"product", "ST4000NM0035"},
              {"revision", "E001"},
              {"serial", "ZC10" + std::to_string(slot)}}}};
}

/** A SATA solid state drive in `slot`. */
inline json sataDrive(int deviceId, int slot)
{
    return {{"deviceId", deviceId},
            {"seqNum", 5},
            {"slot", slot},
            {"enclosureId", 252},
            {"model", "SSDSC2KG480G8"},
            {"serial", "PHYG" + std::to_string(slot)},
            {"blocks", 937703088ULL},
            {"fwState", 0},
            {"kind", 3},
            {"interfaceType", 3},
            {"mediaType", 1},
            {"identify",
             {{"serial", "PHYG" + std::to_string(slot)},
              {"firmware", "XCV10110"},
              {"model", "INTEL SSDSC2KG480G8"}}}};
}

inline json volume(int targetId, const std::string& name, int level)
{
    return {{"targetId", targetId}, {"seqNum", 1}, {"name", name},
            {"raidLevel", level},   {"drives", 2}, {"blocks", 937703088ULL},
            {"cachePolicy", 5},     {"stripe", 7}, {"state", 3}};
}

/** A controller with drives in slots 0..drives-1 (device ids from 8) and
 *  the volumes. */
inline json controller(int id, int drives, int volumes = 0)
{
    json c = {{"id", id},
              {"model", "SimRAID 9460-8i"},
              {"serial", "SK000" + std::to_string(id)},
              {"firmware", "5.140.00-3319"},
              {"sasAddress", 5764824127046860800LL + id},
              {"interfaceBits", 0x22},
              {"raidLevels", 0x17},
              {"enclosures", json::array({252})},
              {"drives", json::array()},
              {"volumes", json::array()}};
    for (int i = 0; i < drives; ++i)
    {
        c["drives"].push_back(i % 2 == 0 ? sasDrive(8 + i, i)
                                         : sataDrive(8 + i, i));
    }
    for (int v = 0; v < volumes; ++v)
    {
        c["volumes"].push_back(volume(v, "vd" + std::to_string(v), 1));
    }
    return c;
}

/** One bus with a card and its controllers. */
inline json card(int number, json controllers, bool card = true)
{
    return {{"bus", number}, {"card", card}, {"controllers", controllers}};
}

/** The description file; write() replaces it whole (by rename), so the
 *  library never reads half of it. Sets STORESIM_CONFIG for this process
 *  and its children. */
class Description
{
  public:
    Description() : file((dir / "storesim.json").string())
    {
        ::setenv("STORESIM_CONFIG", file.c_str(), 1);
    }

    void write(const json& description)
    {
        std::string temp = file + ".new";
        {
            std::ofstream out(temp, std::ios::trunc);
            out << description.dump(2);
            if (!out.good())
            {
                throw std::runtime_error("cannot write " + temp);
            }
        }
        if (std::rename(temp.c_str(), file.c_str()) != 0)
        {
            throw std::runtime_error("cannot rename " + temp);
        }
    }

    const std::string& path() const
    {
        return file;
    }

    /** Where the library appends the commands it receives. */
    std::string logPath() const
    {
        return (dir / "commands.log").string();
    }

  private:
    testkit::TempDir dir{"storesim"};
    std::string file;
};

} // namespace arrayscout_test
