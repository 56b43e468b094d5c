// A stand-in for the controller maker's storage library: the entry point
// ProcessLibCommand answering from the description of sim_config.hpp.
// Replies are laid out byte by byte as the daemon expects them; the
// management commands change the described state in memory until the file
// changes again. With STORESIM_LOG set, every command is appended to that
// file as one line.

#include "sim_config.hpp"
#include "storelib.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace
{

using nlohmann::json;

// Statuses the stand-in answers with.
constexpr int statusInvalidController = 0x0c;
constexpr int statusInvalidDevice = 0x0d;
constexpr int statusBadSequence = 0x0e;
constexpr int statusBadSize = 0x0f;
constexpr int statusUnknownCommand = 0x01;

struct Controller
{
    int bus = 0;
    json c;
};

struct State
{
    storesim::SimConfig config;
    // Controllers by id, made from the description and changed by the
    // management commands.
    std::map<uint32_t, Controller> controllers;
    std::mutex lock;
    std::atomic<int> callers{0};
};

State& state()
{
    static State s;
    return s;
}

template <typename T>
T num(const json& j, const char* key, T fallback = 0)
{
    auto it = j.find(key);
    if (it == j.end() || !it->is_number())
    {
        return fallback;
    }
    return it->get<T>();
}

std::string str(const json& j, const char* key,
                const std::string& fallback = "")
{
    auto it = j.find(key);
    if (it == j.end() || !it->is_string())
    {
        return fallback;
    }
    return it->get<std::string>();
}

void appendToLog(const std::string& line)
{
    const char* file = std::getenv("STORESIM_LOG");
    if (file == nullptr || *file == '\0')
    {
        return;
    }
    int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
    {
        [[maybe_unused]] auto n = ::write(fd, line.data(), line.size());
        ::close(fd);
    }
}

void reload(State& s)
{
    if (!s.config.refresh())
    {
        return;
    }
    s.controllers.clear();
    const json& root = s.config.json();
    if (root.contains("generation"))
    {
        // Which commands were answered from which description.
        appendToLog("description generation=" + root["generation"].dump() +
                    "\n");
    }
    auto buses = root.find("buses");
    if (buses == root.end() || !buses->is_array())
    {
        return;
    }
    for (const auto& b : *buses)
    {
        auto ctrls = b.find("controllers");
        if (ctrls == b.end() || !ctrls->is_array())
        {
            continue;
        }
        for (const auto& c : *ctrls)
        {
            Controller ctrl;
            ctrl.bus = num<int>(b, "bus");
            ctrl.c = c;
            s.controllers[num<uint32_t>(c, "id")] = std::move(ctrl);
        }
    }
}

// Little-endian writers into a data area, never past its size.
struct Area
{
    uint8_t* p;
    std::size_t n;

    void put(std::size_t off, std::size_t width, uint64_t v)
    {
        if (p == nullptr || off + width > n)
        {
            return;
        }
        for (std::size_t i = 0; i < width; ++i)
        {
            p[off + i] = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    uint64_t get(std::size_t off, std::size_t width) const
    {
        if (p == nullptr || off + width > n)
        {
            return 0;
        }
        uint64_t v = 0;
        for (std::size_t i = 0; i < width; ++i)
        {
            v |= static_cast<uint64_t>(p[off + i]) << (8 * i);
        }
        return v;
    }
    // Text into a field of `width` bytes: padded with `pad`, cut to fit.
    void text(std::size_t off, std::size_t width, const std::string& t,
              char pad = '\0')
    {
        for (std::size_t i = 0; i < width; ++i)
        {
            put(off + i, 1, static_cast<uint8_t>(i < t.size() ? t[i] : pad));
        }
    }
};

uint16_t param16(const StorageCommand* cmd, std::size_t recordOffset)
{
    const uint8_t* p = cmd->parameters + (recordOffset - 8);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint8_t param8(const StorageCommand* cmd, std::size_t recordOffset)
{
    return cmd->parameters[recordOffset - 8];
}

const char* commandName(uint8_t type, uint8_t code, uint32_t size)
{
    switch ((type << 8) | code)
    {
        case 0x0000:
            return "init";
        case 0x0100:
            return "SL_GET_CTRL_INFO";
        case 0x0114:
            return "GET_CTRL_HEALTH";
        case 0x0104:
            return "SL_GET_PD_LIST";
        case 0x010d:
            return "SL_GET_LD_LIST";
        case 0x0200:
            return "SL_GET_PD_INFO";
        case 0x0208:
            return "SL_START_LOCATE_PD";
        case 0x0209:
            return "SL_STOP_LOCATE_PD";
        case 0x0213:
            return "SL_SET_PD_STATE";
        case 0x0300:
            return "SL_Get_LD_INFO";
        case 0x0303:
            return "SL_DELETE_LD";
        case 0x0400:
            return size == 616 ? "ConfigSummary" : "SL_READ_CONFIG";
        case 0x0401:
            return "SL_ADD_CONFIG";
        case 0x0600:
            return "SL_SCSI_PASSTHRU";
        case 0x0602:
            return "STPPassthru";
        default:
            return nullptr;
    }
}

void logCommand(const char* name, const StorageCommand* cmd)
{
    if (std::getenv("STORESIM_LOG") == nullptr)
    {
        return;
    }
    std::string line = std::string(name ? name : "unknown") +
                       " ctrl=" + std::to_string(cmd->controllerId) +
                       " params=";
    char hex[4];
    for (uint8_t b : cmd->parameters)
    {
        std::snprintf(hex, sizeof(hex), "%02x", b);
        line += hex;
    }
    line += " size=" + std::to_string(cmd->dataSize);
    if (name != nullptr && std::strcmp(name, "SL_ADD_CONFIG") == 0 &&
        cmd->data != nullptr)
    {
        line += " data=";
        const auto* p = static_cast<const uint8_t*>(cmd->data);
        for (uint32_t i = 0; i < cmd->dataSize; ++i)
        {
            std::snprintf(hex, sizeof(hex), "%02x", p[i]);
            line += hex;
        }
    }
    line += "\n";
    appendToLog(line);
}

/** With STORESIM_RECORD set, the command as it came in (its record, the
 *  data pointer left out, then its data area) is appended to that file, so
 *  that a benchmark can send the same commands again. */
void recordCommand(const StorageCommand* cmd)
{
    const char* file = std::getenv("STORESIM_RECORD");
    if (file == nullptr || *file == '\0')
    {
        return;
    }
    std::string record(reinterpret_cast<const char*>(cmd),
                       offsetof(StorageCommand, data));
    if (cmd->data != nullptr)
    {
        record.append(static_cast<const char*>(cmd->data), cmd->dataSize);
    }
    else
    {
        record.append(cmd->dataSize, '\0');
    }
    int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
    {
        [[maybe_unused]] auto n = ::write(fd, record.data(), record.size());
        ::close(fd);
    }
}

/** A configured failure status for the command, or 0. */
int failure(const json& j, const char* name)
{
    auto f = j.find("fail");
    if (f == j.end() || !f->is_object())
    {
        return 0;
    }
    return num<int>(*f, name);
}

/** Throws what the description says the command throws: a string as a
 *  std::runtime_error, anything else as an int, which no std::exception
 *  handler catches. */
void throwIfAsked(const json& j, const char* name)
{
    auto t = j.find("throw");
    if (t == j.end() || !t->is_object() || !t->contains(name))
    {
        return;
    }
    const json& what = (*t)[name];
    if (what.is_string())
    {
        throw std::runtime_error(what.get<std::string>());
    }
    throw num<int>(*t, name, 1);
}

json* findDrive(Controller& c, uint16_t deviceId)
{
    auto drives = c.c.find("drives");
    if (drives == c.c.end() || !drives->is_array())
    {
        return nullptr;
    }
    for (auto& d : *drives)
    {
        if (num<uint16_t>(d, "deviceId") == deviceId)
        {
            return &d;
        }
    }
    return nullptr;
}

json& list(json& j, const char* key)
{
    if (!j.contains(key) || !j[key].is_array())
    {
        j[key] = json::array();
    }
    return j[key];
}

int doInit(State& s, Area a)
{
    if (a.n < 260 || a.get(0, 2) != 1 || a.get(5, 1) != 1)
    {
        return statusBadSize;
    }
    int bus = static_cast<int>(a.get(4, 1));
    const json& root = s.config.json();
    for (const auto& b : root.value("buses", json::array()))
    {
        if (num<int>(b, "bus") != bus)
        {
            continue;
        }
        if (int st = num<int>(b, "initStatus"))
        {
            return st;
        }
        std::vector<uint32_t> ids;
        for (const auto& c : b.value("controllers", json::array()))
        {
            ids.push_back(num<uint32_t>(c, "id"));
        }
        std::memset(a.p, 0, a.n);
        // A count above what the area holds is passed on as the
        // description says; the ids that fit are written.
        a.put(0, 2, num<uint16_t>(b, "reportedCount", ids.size()));
        for (std::size_t k = 0; k < ids.size(); ++k)
        {
            a.put(4 + 4 * k, 4, ids[k]);
        }
        return 0;
    }
    std::memset(a.p, 0, a.n);
    return 0;
}

void ctrlInfo(const json& c, Area a)
{
    a.put(0x00, 2, num<uint16_t>(c, "vendorId", 0x1000));
    a.put(0x28, 8, num<uint64_t>(c, "sasAddress"));
    a.put(0x68, 1, num<uint8_t>(c, "interfaceBits", 0x22));
    a.put(0x6f, 1, num<uint8_t>(c, "ports", 8));
    a.put(0x5b0, 1, c.contains("bbu") && c["bbu"].is_object() ? 1 : 0);
    a.put(0x5c2, 2, num<uint16_t>(c, "volumesCritical"));
    a.put(0x5c4, 2, num<uint16_t>(c, "volumesOffline"));
    a.put(0x5ca, 2, num<uint16_t>(c, "drivesCritical"));
    a.put(0x5cc, 2, num<uint16_t>(c, "drivesFailed"));
    a.put(0x5d0, 2, num<uint16_t>(c, "cacheMiB", 4096));
    a.put(0x5dc, 1, num<uint8_t>(c, "raidLevels", 0x17));
    a.put(0x5dd, 1, num<uint8_t>(c, "raidFlags"));
    a.text(0x540, 0x50, str(c, "model", "SimRAID 9460-8i"));
    a.text(0x590, 0x20, str(c, "serial", "SIM0000001"));
    a.text(0x640, 0x20, str(c, "firmware", "5.140.00-3319"));
    // Drive-count limits: minimum in the low 4 bits, maximum above.
    const json limits = c.value("limits", json::object());
    const std::pair<const char*, std::size_t> fields[] = {
        {"0", 0x760}, {"1", 0x762}, {"5", 0x764}, {"6", 0x768}};
    const uint16_t defaults[] = {1 | (32 << 4), 2 | (32 << 4), 3 | (32 << 4),
                                 4 | (32 << 4)};
    for (std::size_t i = 0; i < 4; ++i)
    {
        uint16_t v = defaults[i];
        auto it = limits.find(fields[i].first);
        if (it != limits.end() && it->is_array() && it->size() == 2)
        {
            v = static_cast<uint16_t>(((*it)[0].get<int>() & 0x0f) |
                                      ((*it)[1].get<int>() << 4));
        }
        a.put(fields[i].second, 2, v);
    }
}

void pdList(const json& c, Area a)
{
    std::vector<std::pair<uint16_t, uint16_t>> entries;
    for (const auto& e : c.value("enclosures", json::array()))
    {
        uint16_t id = e.get<uint16_t>();
        entries.emplace_back(id, id);
    }
    for (const auto& d : c.value("drives", json::array()))
    {
        entries.emplace_back(num<uint16_t>(d, "deviceId"),
                             num<uint16_t>(d, "enclosureId", 252));
    }
    a.put(4, 4, num<uint32_t>(c, "reportedDriveCount", entries.size()));
    for (std::size_t k = 0; k < entries.size(); ++k)
    {
        a.put(8 + 24 * k, 2, entries[k].first);
        a.put(8 + 24 * k + 2, 2, entries[k].second);
    }
}

void pdInfo(const json& d, Area a)
{
    a.put(0x00, 2, num<uint16_t>(d, "deviceId"));
    a.put(0x02, 2, num<uint16_t>(d, "seqNum"));
    a.text(0x14, 16, str(d, "model"), ' ');
    a.text(0x28, 0x20, str(d, "serial"));
    a.put(0xa7, 1, num<uint8_t>(d, "maxSpeed", 3));
    a.put(0xb8, 2, num<uint16_t>(d, "fwState"));
    a.put(0xbb, 1, num<uint8_t>(d, "linkSpeed", 3));
    a.put(0xbd, 1, num<uint8_t>(d, "kind") << 4);
    a.put(0xe8, 8, num<uint64_t>(d, "blocks"));
    a.put(0xf8, 8, num<uint64_t>(d, "arrayBlocks", num<uint64_t>(d, "blocks")));
    a.put(0x100, 2, num<uint16_t>(d, "enclosureId", 252));
    a.put(0x103, 1, num<uint8_t>(d, "slot"));
    a.put(0x104, 1, d.value("locate", false) ? 0x20 : 0);
    a.put(0x166, 1, num<uint8_t>(d, "powerState"));
    a.put(0x172, 1, num<uint8_t>(d, "mediaType"));
    a.put(0x191, 1, num<uint8_t>(d, "interfaceType", 2));
    a.put(0x1ad, 1, num<uint8_t>(d, "percentUsed"));
    a.put(0x1ae, 2, num<uint16_t>(d, "lifeDays"));
    a.put(0x1b0, 2, num<uint16_t>(d, "vendorId"));
}

void ldList(const json& c, Area a)
{
    const json volumes = c.value("volumes", json::array());
    a.put(0, 4, num<uint32_t>(c, "reportedVolumeCount", volumes.size()));
    for (std::size_t i = 0; i < volumes.size(); ++i)
    {
        a.put(8 + 16 * i, 1, num<uint8_t>(volumes[i], "targetId"));
        a.put(8 + 16 * i + 4, 1, num<uint8_t>(volumes[i], "state", 3));
    }
}

void ldInfo(const json& v, Area a)
{
    a.put(0x02, 2, num<uint16_t>(v, "seqNum"));
    a.text(0x04, 16, str(v, "name"));
    a.put(0x15, 1, num<uint8_t>(v, "accessPolicy"));
    a.put(0x16, 1, num<uint8_t>(v, "diskCachePolicy"));
    a.put(0x17, 1, num<uint8_t>(v, "cachePolicy"));
    a.put(0x20, 1, num<uint8_t>(v, "raidLevel"));
    a.put(0x21, 1, num<uint8_t>(v, "qualifier"));
    a.put(0x23, 1, num<uint8_t>(v, "stripe", 7));
    a.put(0x24, 1, num<uint8_t>(v, "drives", 1));
    a.put(0x26, 1, num<uint8_t>(v, "state", 3));
    a.put(0x100, 8, num<uint64_t>(v, "blocks"));
}

/** The whole configuration: one array per entry of "arrays" (default: one
 *  per volume), then the volumes. */
std::vector<uint8_t> readConfig(const json& c)
{
    const uint16_t arraySize = num<uint16_t>(c, "arrayEntrySize", 288);
    const uint16_t volumeSize = num<uint16_t>(c, "volumeEntrySize", 256);
    const json volumes = c.value("volumes", json::array());
    json arrays = c.value("arrays", json());
    if (!arrays.is_array())
    {
        arrays = json::array();
        for (std::size_t i = 0; i < volumes.size(); ++i)
        {
            arrays.push_back({{"ref", i}});
        }
    }
    std::size_t total =
        32 + arrays.size() * arraySize + volumes.size() * volumeSize;
    std::vector<uint8_t> bytes(total, 0);
    Area a{bytes.data(), bytes.size()};
    a.put(0, 4, total);
    a.put(4, 2, arrays.size());
    a.put(6, 2, arraySize);
    a.put(8, 2, volumes.size());
    a.put(10, 2, volumeSize);
    a.put(14, 2, num<uint16_t>(c, "configWord14"));
    for (std::size_t i = 0; i < arrays.size(); ++i)
    {
        std::size_t at = 32 + i * arraySize;
        a.put(at + 10, 2, num<uint16_t>(arrays[i], "ref"));
    }
    for (std::size_t i = 0; i < volumes.size(); ++i)
    {
        std::size_t at = 32 + arrays.size() * arraySize + i * volumeSize;
        a.put(at, 1, num<uint8_t>(volumes[i], "targetId"));
        a.text(at + 4, 16, str(volumes[i], "name"));
    }
    return bytes;
}

/** Takes the new volume of an added configuration into the description. */
int addConfig(Controller& c, Area a)
{
    if (a.n < 32 || a.get(0, 4) != a.n)
    {
        return statusBadSize;
    }
    std::size_t arrays = a.get(4, 2);
    std::size_t arraySize = a.get(6, 2);
    std::size_t volumes = a.get(8, 2);
    std::size_t volumeSize = a.get(10, 2);
    if (32 + arrays * arraySize + volumes * volumeSize != a.n)
    {
        return statusBadSize;
    }
    json& arrayList = list(c.c, "arrays");
    if (arrayList.empty())
    {
        for (const auto& v : c.c.value("volumes", json::array()))
        {
            (void)v;
            arrayList.push_back({{"ref", arrayList.size()}});
        }
    }
    for (std::size_t i = 0; i < arrays; ++i)
    {
        std::size_t at = 32 + i * arraySize;
        std::size_t drives = a.get(at + 8, 1);
        json ids = json::array();
        for (std::size_t k = 0; k < drives; ++k)
        {
            std::size_t e = at + 32 + 8 * k;
            uint16_t id = static_cast<uint16_t>(a.get(e, 2));
            json* d = findDrive(c, id);
            if (d == nullptr || num<uint16_t>(*d, "seqNum") != a.get(e + 2, 2))
            {
                return statusInvalidDevice;
            }
            (*d)["fwState"] = a.get(e + 4, 2);
            ids.push_back(id);
        }
        arrayList.push_back({{"ref", a.get(at + 10, 2)}, {"drives", ids}});
    }
    json& volumeList = list(c.c, "volumes");
    for (std::size_t i = 0; i < volumes; ++i)
    {
        std::size_t at = 32 + arrays * arraySize + i * volumeSize;
        std::string name;
        for (std::size_t k = 0; k < 16 && a.get(at + 4 + k, 1) != 0; ++k)
        {
            name += static_cast<char>(a.get(at + 4 + k, 1));
        }
        volumeList.push_back({
            {"targetId", a.get(at, 1)},
            {"seqNum", 1},
            {"name", name},
            {"cachePolicy", a.get(at + 20, 1)},
            {"accessPolicy", a.get(at + 21, 1)},
            {"diskCachePolicy", a.get(at + 22, 1)},
            {"raidLevel", a.get(at + 32, 1)},
            {"qualifier", a.get(at + 33, 1)},
            {"stripe", a.get(at + 35, 1)},
            {"drives", a.get(at + 36, 1)},
            {"state", a.get(at + 38, 1)},
            {"blocks", a.get(at + 72, 8)},
        });
    }
    return num<int>(c.c, "addConfigStatus");
}

int scsiPassthru(const json& d, Area a)
{
    if (a.n < 163 || a.get(8, 2) != 6 || a.get(12, 1) != 0x12 ||
        a.get(60, 4) != 96)
    {
        return statusBadSize;
    }
    const json inq = d.value("inquiry", json::object());
    std::vector<uint8_t> data(96, 0);
    Area q{data.data(), data.size()};
    q.text(8, 8, str(inq, "vendor"), ' ');
    q.text(16, 16, str(inq, "product", str(d, "model")), ' ');
    q.text(32, 4, str(inq, "revision"), ' ');
    q.text(36, 32, str(inq, "serial", str(d, "serial")), ' ');
    std::size_t count = num<std::size_t>(inq, "length", 96);
    a.put(10, 1, num<uint8_t>(d, "scsiStatus"));
    a.put(60, 4, count);
    for (std::size_t i = 0; i < std::min<std::size_t>(count, 96); ++i)
    {
        a.put(64 + i, 1, data[i]);
    }
    return 0;
}

int stpPassthru(const json& d, Area a)
{
    if (a.n < 574 || a.get(8, 1) != 0x27 || a.get(10, 1) != 0xec ||
        a.get(32, 4) != 20 || a.get(36, 4) != 512)
    {
        return statusBadSize;
    }
    const json id = d.value("identify", json::object());
    // ATA strings: two characters per word, the first in the high byte.
    std::vector<uint8_t> data(512, 0);
    auto ata = [&data](std::size_t off, std::size_t len, const std::string& t) {
        for (std::size_t i = 0; i < len; ++i)
        {
            char ch = i < t.size() ? t[i] : ' ';
            data[off + (i ^ 1)] = static_cast<uint8_t>(ch);
        }
    };
    ata(20, 20, str(id, "serial", str(d, "serial")));
    ata(46, 8, str(id, "firmware"));
    ata(54, 40, str(id, "model", str(d, "model")));
    a.put(36, 4, 512);
    // A FIS length other than 20 moves where the reply says the data is.
    if (id.contains("fisLength"))
    {
        a.put(32, 4, num<uint32_t>(id, "fisLength"));
    }
    for (std::size_t i = 0; i < data.size(); ++i)
    {
        a.put(40 + 20 + i, 1, data[i]);
    }
    return 0;
}

int process(State& s, StorageCommand* cmd, const char* name)
{
    Area a{static_cast<uint8_t*>(cmd->data), cmd->dataSize};
    if (cmd->dataSize != 0 && cmd->data == nullptr)
    {
        return statusBadSize;
    }
    throwIfAsked(s.config.json(), name);
    if (int st = failure(s.config.json(), name))
    {
        return st;
    }
    if (std::strcmp(name, "init") == 0)
    {
        return doInit(s, a);
    }

    auto it = s.controllers.find(cmd->controllerId);
    if (it == s.controllers.end())
    {
        return statusInvalidController;
    }
    Controller& c = it->second;
    throwIfAsked(c.c, name);
    if (int st = failure(c.c, name))
    {
        return st;
    }
    auto expect = [&a](std::size_t size) { return a.n == size; };
    std::string n = name;

    if (n == "SL_GET_CTRL_INFO")
    {
        if (!expect(2448))
        {
            return statusBadSize;
        }
        ctrlInfo(c.c, a);
        return 0;
    }
    if (n == "GET_CTRL_HEALTH")
    {
        if (!expect(2070))
        {
            return statusBadSize;
        }
        const json bbu = c.c.value("bbu", json::object());
        a.put(0x812, 1, num<uint8_t>(bbu, "status"));
        return num<int>(bbu, "fail");
    }
    if (n == "SL_GET_PD_LIST")
    {
        if (!expect(6152))
        {
            return statusBadSize;
        }
        pdList(c.c, a);
        return 0;
    }
    if (n == "SL_GET_LD_LIST")
    {
        if (!expect(4104))
        {
            return statusBadSize;
        }
        ldList(c.c, a);
        return 0;
    }
    if (n == "SL_GET_PD_INFO" || n == "SL_START_LOCATE_PD" ||
        n == "SL_STOP_LOCATE_PD" || n == "SL_SET_PD_STATE")
    {
        json* d = findDrive(c, param16(cmd, 8));
        if (d == nullptr)
        {
            return statusInvalidDevice;
        }
        if (n == "SL_GET_PD_INFO")
        {
            if (!expect(512))
            {
                return statusBadSize;
            }
            if (int st = num<int>(*d, "infoFail"))
            {
                return st;
            }
            pdInfo(*d, a);
            return 0;
        }
        if (n == "SL_SET_PD_STATE")
        {
            if (param16(cmd, 10) != num<uint16_t>(*d, "seqNum"))
            {
                return statusBadSequence;
            }
            (*d)["fwState"] = param16(cmd, 16);
            (*d)["seqNum"] = num<uint16_t>(*d, "seqNum") + 1;
            return 0;
        }
        (*d)["locate"] = n == "SL_START_LOCATE_PD";
        (*d)["locateDuration"] = param8(cmd, 16);
        return 0;
    }
    if (n == "SL_Get_LD_INFO" || n == "SL_DELETE_LD")
    {
        uint8_t target = param8(cmd, 10);
        json& volumes = list(c.c, "volumes");
        for (std::size_t i = 0; i < volumes.size(); ++i)
        {
            if (num<uint8_t>(volumes[i], "targetId") != target)
            {
                continue;
            }
            if (n == "SL_Get_LD_INFO")
            {
                if (!expect(384))
                {
                    return statusBadSize;
                }
                if (int st = num<int>(volumes[i], "infoFail"))
                {
                    return st;
                }
                ldInfo(volumes[i], a);
                return 0;
            }
            if (param16(cmd, 8) != num<uint16_t>(volumes[i], "seqNum"))
            {
                return statusBadSequence;
            }
            volumes.erase(i);
            return 0;
        }
        return statusInvalidDevice;
    }
    if (n == "ConfigSummary")
    {
        a.put(0, 4,
              num<uint32_t>(c.c, "reportedConfigSize", readConfig(c.c).size()));
        return 0;
    }
    if (n == "SL_READ_CONFIG")
    {
        std::vector<uint8_t> bytes = readConfig(c.c);
        if (a.n != bytes.size())
        {
            return statusBadSize;
        }
        std::memcpy(a.p, bytes.data(), bytes.size());
        return 0;
    }
    if (n == "SL_ADD_CONFIG")
    {
        return addConfig(c, a);
    }
    if (n == "SL_SCSI_PASSTHRU" || n == "STPPassthru")
    {
        uint16_t id = n == "STPPassthru" ? static_cast<uint16_t>(a.get(0, 1))
                                         : static_cast<uint16_t>(a.get(0, 2));
        json* d = findDrive(c, id);
        if (d == nullptr)
        {
            return statusInvalidDevice;
        }
        if (int st = num<int>(*d, "passthruFail"))
        {
            return st;
        }
        return n == "STPPassthru" ? stpPassthru(*d, a) : scsiPassthru(*d, a);
    }
    return statusUnknownCommand;
}

/** Counts a caller inside the library for its call. */
class InFlight
{
  public:
    explicit InFlight(State& s) : s(s)
    {
        if (s.callers.fetch_add(1) != 0)
        {
            appendToLog("overlapping call\n");
        }
    }
    ~InFlight()
    {
        s.callers.fetch_sub(1);
    }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

  private:
    State& s;
};

/** Answers late when the description says so (delayMs, top level or per
 *  controller, by command name), as a slow controller would. */
void delayIfAsked(State& s, const StorageCommand* cmd, const char* name)
{
    int ms = 0;
    if (auto d = s.config.json().find("delayMs"); d != s.config.json().end())
    {
        ms = num<int>(*d, name);
    }
    auto c = s.controllers.find(cmd->controllerId);
    if (c != s.controllers.end())
    {
        if (auto d = c->second.c.find("delayMs"); d != c->second.c.end())
        {
            ms = std::max(ms, num<int>(*d, name));
        }
    }
    if (ms > 0)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) int
    ProcessLibCommand(StorageCommand* cmd)
{
    if (cmd == nullptr)
    {
        return statusUnknownCommand;
    }
    recordCommand(cmd);
    State& s = state();
    // The maker's library is not known to take two callers at once: a
    // second caller while one is inside is logged.
    InFlight inside(s);
    std::lock_guard guard(s.lock);
    reload(s);
    const char* name =
        commandName(cmd->commandType, cmd->commandCode, cmd->dataSize);
    logCommand(name, cmd);
    if (name == nullptr)
    {
        return statusUnknownCommand;
    }
    delayIfAsked(s, cmd, name);
    return process(s, cmd, name);
}
