#pragma once

// The description the simulated storage library and the simulated I2C
// buses answer from: a JSON file named by STORESIM_CONFIG, read again
// whenever it changes (replace it with a rename so that no reader sees half
// of it). See README.md.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace storesim
{

/** The environment variable naming the description file. */
constexpr const char* configVariable = "STORESIM_CONFIG";

/** Keeps the last good description of the file. */
class SimConfig
{
  public:
    /** Reads the file again when it changed since the last call; returns
     *  true when it did (and was read). A file that cannot be read or
     *  parsed keeps the previous description. */
    bool refresh();

    const nlohmann::json& json() const
    {
        return description;
    }

  private:
    nlohmann::json description = nlohmann::json::object();
    std::string path;
    int64_t mtimeNs = -1;
    int64_t size = -1;
    uint64_t inode = 0;
};

} // namespace storesim
