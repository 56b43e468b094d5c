// SNMP agent settings in its configuration file, its service, and the v3
// users.
#include "libkn/snmp.h"

#include "libkn/conf.h"

#include "core/file_io.hpp"
#include "core/spawn.hpp"
#include "core/text.hpp"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace
{

using kn::splitLines;
using kn::trimmed;

constexpr const char* protocolSwitch = "#protocolEnabled";
constexpr const char* v3Tool = "net-snmp-create-v3-user";

constexpr std::array<const char*, SNMP_V3_AUTHEN_UNKNOWN> authenNames = {
    "SHA", "SHA-256", "SHA-384", "SHA-512", "SHA-224", "MD5"};
constexpr std::array<const char*, SNMP_V3_ENCRYPT_UNKNOWN> encryptNames = {
    "DES", "AES"};

// The lines that hold one setting: every needle somewhere in the line (as
// they are written), the keyword at the start of the trimmed line in any
// letter case, and no '#' first. The agent skips blanks and tabs before a
// line's keyword, and so does the recognition.
struct Filter
{
    std::vector<std::string_view> needles;
    std::string_view keyword;

    bool matches(std::string_view line) const
    {
        std::string_view text = trimmed(line);
        text.remove_prefix(
            std::min(text.find_first_not_of(" \t"), text.size()));
        if (text.empty() || text.front() == '#' ||
            text.size() < keyword.size() ||
            strncasecmp(text.data(), keyword.data(), keyword.size()) != 0)
        {
            return false;
        }
        for (std::string_view needle : needles)
        {
            if (text.find(needle) == std::string_view::npos)
            {
                return false;
            }
        }
        return true;
    }
};

const Filter portLines{{"agentaddress"}, "agentaddress"};
const Filter communityLines{{"com2sec", "default"}, "com2sec"};
const Filter v1Lines{{"group", "v1"}, "group"};
const Filter v2cLines{{"group", "v2c"}, "group"};
const Filter engineLines{{"oldEngineID"}, "oldEngineID"};
const Filter userLines{{"createUser"}, "createUser"};
const Filter rwUserLines{{"rwuser"}, "rwuser"};
const Filter roUserLines{{"rouser"}, "rouser"};

std::vector<std::string_view> words(std::string_view line)
{
    std::vector<std::string_view> found;
    size_t at = 0;
    while (true)
    {
        at = line.find_first_not_of(" \t\r\n", at);
        if (at == std::string_view::npos)
        {
            return found;
        }
        size_t end = line.find_first_of(" \t\r\n", at);
        end = end == std::string_view::npos ? line.size() : end;
        found.push_back(line.substr(at, end - at));
        at = end;
    }
}

std::vector<std::string> matchingLines(std::string_view content,
                                       const Filter& filter)
{
    std::vector<std::string> lines;
    for (std::string_view line : splitLines(content))
    {
        if (filter.matches(line))
        {
            lines.emplace_back(trimmed(line));
        }
    }
    return lines;
}

// The trimmed lines of a file that hold the setting; nullopt when the file
// cannot be read.
std::optional<std::vector<std::string>> settingLines(const char* path,
                                                     const Filter& filter)
{
    std::string content;
    if (!kn::readFile(path, content))
    {
        return std::nullopt;
    }
    return matchingLines(content, filter);
}

// The n-th word of the first line of the setting, or nullopt.
std::optional<std::string> settingWord(const char* path, const Filter& filter,
                                       size_t n)
{
    auto lines = settingLines(path, filter);
    if (!lines || lines->empty())
    {
        return std::nullopt;
    }
    auto found = words(lines->front());
    if (found.size() <= n)
    {
        return std::nullopt;
    }
    return std::string(found[n]);
}

// A setting's text for a caller's buffer: at most KN_SNMP_TEXT_MAX
// characters.
int copySetting(const std::optional<std::string>& text, char* output, int size)
{
    if (!text)
    {
        return -1;
    }
    kn::copyText(output, static_cast<size_t>(size),
                 std::string_view(*text).substr(0, KN_SNMP_TEXT_MAX));
    return 0;
}

// Rewrites the agent's configuration; a missing one is created private
// first. edit changes the content and tells whether anything changed.
int editConfiguration(const std::function<bool(std::string&)>& edit)
{
    if (!kn::createPrivateFile(KN_SNMP_CONF))
    {
        return -1;
    }
    return kn::rewriteResult(kn::rewriteFile(
        KN_SNMP_CONF, kn::secondsStem(KN_SNMP_CONF), "", /*create=*/true,
        [&](std::string& content, bool /*missing*/) { return edit(content); }));
}

// Appends a line, keeping a last line without its line break whole.
void appendLine(std::string& content, const std::string& line)
{
    if (!content.empty() && content.back() != '\n')
    {
        content += '\n';
    }
    content += line;
}

// Replaces the first line of the setting by line, or appends line.
std::string replacedOrAppended(const std::string& content, const Filter& filter,
                               const std::string& line)
{
    std::string result;
    bool replaced = false;
    for (std::string_view old : splitLines(content))
    {
        if (!replaced && filter.matches(old))
        {
            result += line;
            replaced = true;
        }
        else
        {
            result += old;
        }
    }
    if (!replaced)
    {
        appendLine(result, line);
    }
    return result;
}

bool isDigits(std::string_view text)
{
    return !text.empty() &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The port of an agent address: the number after its last ':', or the
// whole text when it holds neither ':' nor '.'.
uint16_t portOf(std::string_view address)
{
    std::string_view number;
    size_t colon = address.rfind(':');
    if (colon != std::string_view::npos)
    {
        number = address.substr(colon + 1);
    }
    else if (address.find('.') == std::string_view::npos)
    {
        number = address;
    }
    if (!isDigits(number) || number.size() > 5)
    {
        return KN_SNMP_DEFAULT_PORT;
    }
    unsigned long port = std::strtoul(std::string(number).c_str(), nullptr, 10);
    return port == 0 || port > 65535 ? KN_SNMP_DEFAULT_PORT
                                     : static_cast<uint16_t>(port);
}

// The port of the first agentaddress line of content's lines.
uint16_t configuredPort(const std::vector<std::string>& lines)
{
    if (lines.empty())
    {
        return KN_SNMP_DEFAULT_PORT;
    }
    auto found = words(lines.front());
    if (found.size() < 2)
    {
        return KN_SNMP_DEFAULT_PORT;
    }
    // The value runs to the end of the line; its first address ends at a
    // ',' or a blank.
    std::string_view line = lines.front();
    std::string_view value = line.substr(found[1].data() - line.data());
    return portOf(value.substr(0, value.find_first_of(", \t")));
}

bool validCommunity(const char* community)
{
    size_t length = std::strlen(community);
    if (length == 0 || length > KN_SNMP_TEXT_MAX)
    {
        return false;
    }
    for (size_t i = 0; i < length; ++i)
    {
        auto byte = static_cast<unsigned char>(community[i]);
        if (byte < 0x21 || byte > 0x7E || byte == '#')
        {
            return false;
        }
    }
    return true;
}

std::string communityOf(const std::vector<std::string>& lines)
{
    if (lines.empty())
    {
        return {};
    }
    auto found = words(lines.front());
    return found.size() < 4 ? std::string() : std::string(found[3]);
}

int versionStatus(const Filter& filter, uint8_t* status)
{
    if (status == nullptr)
    {
        return -1;
    }
    auto lines = settingLines(KN_SNMP_CONF, filter);
    if (!lines)
    {
        return -1;
    }
    *status = lines->empty() ? 0 : 1;
    return 0;
}

// Puts line after the first comment that mentions the security model, or
// at the end.
std::string withGroupLine(const std::string& content, const std::string& line)
{
    std::string result;
    bool inserted = false;
    for (std::string_view old : splitLines(content))
    {
        result += old;
        std::string_view text = trimmed(old);
        text.remove_prefix(
            std::min(text.find_first_not_of(" \t"), text.size()));
        if (!inserted && !text.empty() && text.front() == '#' &&
            text.find("securityModel") != std::string_view::npos)
        {
            if (result.back() != '\n')
            {
                result += '\n';
            }
            result += line;
            inserted = true;
        }
    }
    if (!inserted)
    {
        appendLine(result, line);
    }
    return result;
}

std::string withoutLines(const std::string& content, const Filter& filter)
{
    std::string result;
    for (std::string_view old : splitLines(content))
    {
        if (!filter.matches(old))
        {
            result += old;
        }
    }
    return result;
}

// A user name or pass phrase that reaches the tool as one argument and
// stays one word of the configuration.
bool plainWord(const char* text)
{
    if (text == nullptr || text[0] == '\0')
    {
        return false;
    }
    for (const char* c = text; *c != '\0'; ++c)
    {
        auto byte = static_cast<unsigned char>(*c);
        if (byte <= 0x20 || byte == 0x7F || byte == '#')
        {
            return false;
        }
    }
    return true;
}

// The first line of the filter whose second word is name is left out.
bool dropFirst(std::vector<std::string_view>& lines,
               const std::function<bool(std::string_view)>& matches,
               std::string_view name)
{
    for (auto it = lines.begin(); it != lines.end(); ++it)
    {
        if (matches(*it))
        {
            auto found = words(*it);
            if (found.size() >= 2 && found[1] == name)
            {
                lines.erase(it);
                return true;
            }
        }
    }
    return false;
}

void freeUsers(SNMP_V3_USER* user)
{
    while (user != nullptr)
    {
        SNMP_V3_USER* next = user->next;
        std::free(user);
        user = next;
    }
}

// The service commands in one shell line, run in the background one after
// the other: a stop is done before the start that follows it.
void runServiceCommands(uint32_t flags)
{
    std::string commands;
    for (auto [bit, verb] : {std::pair{KN_SNMP_SERVICE_STOP, "stop"},
                             std::pair{KN_SNMP_SERVICE_START, "start"},
                             std::pair{KN_SNMP_SERVICE_RESTART, "restart"}})
    {
        if ((flags & static_cast<uint32_t>(bit)) != 0)
        {
            commands += std::string(commands.empty() ? "" : "; ") +
                        "systemctl " + verb + " " KN_SNMP_SERVICE;
        }
    }
    if (!commands.empty())
    {
        kn::spawnWait({"/bin/sh", "-c", "(" + commands + ") &"});
    }
}

} // namespace

int snmp_service_port_get(uint16_t* port)
{
    if (port == nullptr)
    {
        return -1;
    }
    auto lines = settingLines(KN_SNMP_CONF, portLines);
    *port = lines ? configuredPort(*lines) : KN_SNMP_DEFAULT_PORT;
    return 0;
}

int snmp_service_port_set(uint16_t port)
{
    uint16_t current = 0;
    if (port == 0 || (snmp_service_port_get(&current) == 0 && current == port))
    {
        return port == 0 ? -1 : 0;
    }
    const std::string line = "agentaddress   " + std::to_string(port) + "\n";
    return editConfiguration([&](std::string& content) {
        if (configuredPort(matchingLines(content, portLines)) == port)
        {
            return false;
        }
        content = replacedOrAppended(content, portLines, line);
        return true;
    });
}

int snmp_service_status_get(uint8_t* status)
{
    if (status == nullptr)
    {
        return -1;
    }
    // A file that is there but may not be read says nothing of the state.
    std::string content;
    if (kn::pathExists(KN_SNMP_CONF) && !kn::readFile(KN_SNMP_CONF, content))
    {
        return -1;
    }
    char value[KN_CONF_VALUE_SIZE];
    *status = read_conf_value(KN_SNMP_CONF, protocolSwitch, value) == 0 &&
                      strcasecmp(value, "false") == 0
                  ? 0
                  : 1;
    return 0;
}

int snmp_service_status_set(uint32_t flags)
{
    if ((flags & (KN_SNMP_PROTOCOL_OFF | KN_SNMP_PROTOCOL_ON)) != 0 &&
        kn::createPrivateFile(KN_SNMP_CONF))
    {
        if ((flags & KN_SNMP_PROTOCOL_OFF) != 0)
        {
            write_conf_value(KN_SNMP_CONF, protocolSwitch, "false");
        }
        if ((flags & KN_SNMP_PROTOCOL_ON) != 0)
        {
            write_conf_value(KN_SNMP_CONF, protocolSwitch, "true");
        }
    }
    runServiceCommands(flags);
    if ((flags & KN_SNMP_SERVICE_STOP) != 0)
    {
        write_conf_value(KN_OEM_BMC_CONF, KN_SNMP_SERVICE, "0");
    }
    if ((flags & (KN_SNMP_SERVICE_START | KN_SNMP_SERVICE_RESTART)) != 0)
    {
        write_conf_value(KN_OEM_BMC_CONF, KN_SNMP_SERVICE, "1");
    }
    return 0;
}

int snmp_community_get(char* community, int size)
{
    if (community == nullptr || size <= 0)
    {
        return -1;
    }
    return copySetting(settingWord(KN_SNMP_CONF, communityLines, 3), community,
                       size);
}

int snmp_community_set(const char* community)
{
    if (community == nullptr || !validCommunity(community))
    {
        return -1;
    }
    if (settingWord(KN_SNMP_CONF, communityLines, 3) == community)
    {
        return 0;
    }
    const std::string line =
        std::string("com2sec  mynetwork   default   ") + community + "\n";
    return editConfiguration([&](std::string& content) {
        if (communityOf(matchingLines(content, communityLines)) == community)
        {
            return false;
        }
        content = replacedOrAppended(content, communityLines, line);
        return true;
    });
}

int snmp_v1_status_get(uint8_t* status)
{
    return versionStatus(v1Lines, status);
}

int snmp_v2_status_get(uint8_t* status)
{
    return versionStatus(v2cLines, status);
}

int snmp_ver_status_set(SNMP_VERSION version, bool enable)
{
    if (static_cast<int>(version) < 0 ||
        static_cast<int>(version) > SNMP_VERSION_V2C)
    {
        return -1;
    }
    const bool v1 = version == SNMP_VERSION_V1;
    const Filter& filter = v1 ? v1Lines : v2cLines;
    uint8_t current = 0;
    if (versionStatus(filter, &current) != 0)
    {
        // A file that is there but may not be read: its lines are unknown,
        // and nothing was changed.
        if (kn::pathExists(KN_SNMP_CONF))
        {
            return -1;
        }
        current = 0; // no file yet: no access
    }
    if ((current != 0) == enable)
    {
        return 0;
    }
    const std::string line =
        v1 ? "group    my_group       v1            mynetwork\n"
           : "group    my_group       v2c           mynetwork\n";
    return editConfiguration([&](std::string& content) {
        if (matchingLines(content, filter).empty() != enable)
        {
            return false;
        }
        content = enable ? withGroupLine(content, line)
                         : withoutLines(content, filter);
        return true;
    });
}

int snmp_v3_engineid_get(char* engine_id, int size)
{
    if (engine_id == nullptr || size <= 0)
    {
        return -1;
    }
    return copySetting(settingWord(KN_SNMP_STATE_CONF, engineLines, 1),
                       engine_id, size);
}

int snmp_v3_user_get(SNMP_V3_USER** head)
{
    if (head == nullptr)
    {
        return -1;
    }
    auto lines = settingLines(KN_SNMP_CONF, userLines);
    if (!lines)
    {
        return -1;
    }
    SNMP_V3_USER* first = nullptr;
    SNMP_V3_USER** last = &first;
    for (const auto& line : *lines)
    {
        auto found = words(line);
        if (found.size() < 5)
        {
            continue;
        }
        auto cut = [](std::string_view word) {
            return std::string(word.substr(0, KN_SNMP_V3_TEXT_SIZE - 1));
        };
        SNMP_V3_AUTHEN authen = snmp_v3_authen_atoi(cut(found[2]).c_str());
        SNMP_V3_ENCRYPT encrypt = snmp_v3_encrypt_atoi(cut(found[4]).c_str());
        if (authen == SNMP_V3_AUTHEN_UNKNOWN ||
            encrypt == SNMP_V3_ENCRYPT_UNKNOWN)
        {
            continue;
        }
        auto* user =
            static_cast<SNMP_V3_USER*>(std::calloc(1, sizeof(SNMP_V3_USER)));
        if (user == nullptr)
        {
            freeUsers(first);
            return -1;
        }
        user->authen = authen;
        user->encrypt = encrypt;
        kn::copyText(user->name, sizeof(user->name), found[1]);
        kn::copyText(user->password, sizeof(user->password), found[3]);
        *last = user;
        last = &user->next;
    }
    if (first != nullptr)
    {
        *head = first;
    }
    return 0;
}

int snmp_v3_user_free(SNMP_V3_USER** head)
{
    if (head != nullptr)
    {
        freeUsers(*head);
        *head = nullptr;
    }
    return 0;
}

int snmp_v3_user_add(const char* name, const char* password,
                     SNMP_V3_AUTHEN authen, SNMP_V3_ENCRYPT encrypt)
{
    const char* authenName = snmp_v3_authen_itoa(authen);
    const char* encryptName = snmp_v3_encrypt_itoa(encrypt);
    if (!plainWord(name) || !plainWord(password) || name[0] == '-' ||
        std::strlen(name) >= KN_SNMP_V3_TEXT_SIZE || authenName == nullptr ||
        encryptName == nullptr)
    {
        return -1;
    }
    int status = kn::spawnWait({v3Tool, "-A", password, "-X", password, "-a",
                                authenName, "-x", encryptName, name});
    return status == 0 ? 0 : -1;
}

int snmp_v3_user_del(const char* name)
{
    if (name == nullptr)
    {
        return -1;
    }
    return editConfiguration([&](std::string& content) {
        std::vector<std::string_view> lines = splitLines(content);
        bool user = dropFirst(
            lines,
            [](std::string_view line) { return userLines.matches(line); },
            name);
        bool access = dropFirst(
            lines,
            [](std::string_view line) {
            return rwUserLines.matches(line) || roUserLines.matches(line);
            },
            name);
        if (!user && !access)
        {
            return false;
        }
        std::string result;
        for (std::string_view line : lines)
        {
            result += line;
        }
        content = std::move(result);
        return true;
    });
}

SNMP_V3_AUTHEN snmp_v3_authen_atoi(const char* name)
{
    for (size_t i = 0; name != nullptr && i < authenNames.size(); ++i)
    {
        if (strcasecmp(name, authenNames[i]) == 0)
        {
            return static_cast<SNMP_V3_AUTHEN>(i);
        }
    }
    return SNMP_V3_AUTHEN_UNKNOWN;
}

const char* snmp_v3_authen_itoa(SNMP_V3_AUTHEN authen)
{
    auto index = static_cast<size_t>(authen);
    return index < authenNames.size() ? authenNames[index] : nullptr;
}

SNMP_V3_ENCRYPT snmp_v3_encrypt_atoi(const char* name)
{
    for (size_t i = 0; name != nullptr && i < encryptNames.size(); ++i)
    {
        if (strcasecmp(name, encryptNames[i]) == 0)
        {
            return static_cast<SNMP_V3_ENCRYPT>(i);
        }
    }
    return SNMP_V3_ENCRYPT_UNKNOWN;
}

const char* snmp_v3_encrypt_itoa(SNMP_V3_ENCRYPT encrypt)
{
    auto index = static_cast<size_t>(encrypt);
    return index < encryptNames.size() ? encryptNames[index] : nullptr;
}
