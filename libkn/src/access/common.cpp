// User access rules: the privilege and rule files, the login checks and
// the staged changes.
#include "libkn/common.h"

#include "libkn/log.h"
#include "libkn/misc.h"

#include "access/report.hpp"
#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <tuple>

const char* const userInterfaceStr[12] = {
    "INTERFACE_WEB",   "INTERFACE_IPMI",    "INTERFACE_SSH",
    "INTERFACE_LOCAL", "INTERFACE_REDFISH", "INTERFACE_SNMP",
};

const char* const ErrorCodeStr[10] = {
    "INTERNAL ERROR",
    "PARAMETER IP ERROR",
    "PARAMETER MAC ERROR",
    "PARAMETER TIME ERROR",
    "PARAMETER PRIVILEGE ERROR",
    "OPENFILE FAILED",
    "WRITE FILE FAILED",
    "FILE NOT EXIST",
    "PARAMETER RULEID ERROR",
    "LDAP PARAMETER ERROR",
};

const char* const FailReasonStr[6] = {
    "USER PRIVILEGE NOT MATCH", "USER IP NOT MATCH",   "USER MAC NOT MATCH",
    "USER TIME NOT MATCH",      "USER RULE NOT MATCH", "USER RULEID NOT EXIST",
};

namespace
{

constexpr const char* loginDevice = "eth1";
constexpr int interfaceCount = 6;
constexpr int privilegeBits = 12;
constexpr mode_t userFolderMode = 070;
constexpr int firstError = KN_USER_INTERNAL_ERROR;
constexpr int lastError = 4105;
constexpr int firstRefusal = KN_USER_PRIVILEGE_NOT_MATCH;
constexpr int lastRefusal = 261;

bool validInterface(int interface)
{
    return interface >= 0 && interface < interfaceCount;
}

const char* interfaceText(int interface)
{
    return validInterface(interface) ? userInterfaceStr[interface] : "";
}

std::vector<std::string> fields(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    split(pieces, text, separator);
    return pieces;
}

// A whole decimal number, with an optional sign and nothing else.
bool integerOf(const std::string& text, int& value)
{
    if (text.empty())
    {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < INT32_MIN || number > INT32_MAX)
    {
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

enum class Lines
{
    read,
    missing,
    unopenable
};

// The file's lines without their line breaks.
Lines readLines(const std::string& path, std::vector<std::string>& lines)
{
    if (!kn::pathExists(path.c_str()))
    {
        return Lines::missing;
    }
    std::ifstream in(path);
    if (!in)
    {
        return Lines::unopenable;
    }
    for (std::string line; std::getline(in, line);)
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return Lines::read;
}

// An IPv6 text, or a plain IPv4 one as its IPv4-mapped form.
bool clientAddress(const std::string& text, in6_addr& address)
{
    if (::inet_pton(AF_INET6, text.c_str(), &address) == 1)
    {
        return true;
    }
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) != 1)
    {
        return false;
    }
    std::memset(&address, 0, sizeof(address));
    address.s6_addr[10] = 0xFF;
    address.s6_addr[11] = 0xFF;
    std::memcpy(&address.s6_addr[12], &v4, sizeof(v4));
    return true;
}

bool validIpv4Rule(const std::string& rule)
{
    auto parts = fields(rule, '/');
    int mask = -1;
    return parts.size() == 2 && integerOf(parts[1], mask) && mask >= 0 &&
           mask <= 32 && ipv4VerifyIp(parts[0]);
}

bool validIpv6Rule(const std::string& rule)
{
    auto parts = fields(rule, '/');
    int prefix = -1;
    if (parts.size() != 2 || !integerOf(parts[1], prefix) || prefix < 0 ||
        prefix > 128)
    {
        return false;
    }
    in6_addr address{};
    if (::inet_pton(AF_INET6, parts[0].c_str(), &address) != 1)
    {
        kestrelon_log("%s, ipv6 convert error, ip:%s", "setUserRule",
                      parts[0].c_str());
        return false;
    }
    return true;
}

// A validity text is one field of a rules line: a ',' or a line break in
// it would forge fields or lines, and no date holds a control character.
bool fitsOneField(const std::string& text)
{
    for (char c : text)
    {
        auto byte = static_cast<unsigned char>(c);
        if (c == ',' || byte < 0x20 || byte == 0x7F)
        {
            return false;
        }
    }
    return true;
}

bool validValidity(const std::string& validTime)
{
    if (!fitsOneField(validTime))
    {
        return false;
    }
    auto parts = fields(validTime, '-');
    struct tm start
    {};
    struct tm end
    {};
    return parts.size() == 2 && convertString2Date(parts[0], start) &&
           convertString2Date(parts[1], end);
}

// Whether a is a later local time than b, from the year to the second.
bool later(const struct tm& a, const struct tm& b)
{
    auto key = [](const struct tm& t) {
        return std::tie(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min,
                        t.tm_sec);
    };
    return key(a) > key(b);
}

// Removes a staged copy that an earlier change left behind.
void dropLeftover(const char* path)
{
    std::string staged = std::string(path) + "_temp";
    if (kn::pathExists(staged.c_str()))
    {
        kestrelon_log("WARNING: Set user privilege, TEMP file exist. DELETE.");
        ::unlink(staged.c_str());
    }
}

void makeUserFolder()
{
    if (!kn::pathExists(KN_USER_FOLDER))
    {
        ::mkdir(KN_USER_FOLDER, userFolderMode);
    }
}

// Writes the whole staged copy and flushes it to storage; a copy that
// could not be written whole is removed, so it is never committed.
void writeStaged(const std::string& path, const std::string& content)
{
    kn::Descriptor fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.isOpen())
    {
        kestrelon_log("open file in write mode failed, f: %s", path.c_str());
        throw std::runtime_error("cannot open " + path);
    }
    bool ok = kn::writeAll(fd.get(), content.data(), content.size()) &&
              ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (!ok)
    {
        ::unlink(path.c_str());
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace

void userRule::writeRule2File() const
{
    std::string line = std::to_string(id) + "," + ipv4 + "," + mac + "," +
                       validTime + "," + (openFlag ? "1" : "0") + "," + ipv6 +
                       "\n";
    modifyLineData(KN_USER_RULES_FILE, std::to_string(id), line);
}

void userPrivilege::writeRule2File() const
{
    std::string line =
        userName + "," + privilege.to_string() + "," + ruleId + "\n";
    modifyLineData(KN_USER_PRIVILEGE_FILE, userName, line);
}

void modifyLineData(const std::string& path, const std::string& key,
                    const std::string& line)
{
    try
    {
        std::vector<std::string> lines;
        if (readLines(path, lines) == Lines::unopenable)
        {
            throw std::runtime_error("cannot read " + path);
        }
        std::string content;
        for (const auto& old : lines)
        {
            auto parts = fields(old, ',');
            if (!parts.empty() && parts[0] == key)
            {
                continue;
            }
            content += old + "\n";
        }
        content += line;
        if (content.back() != '\n')
        {
            content += '\n';
        }
        writeStaged(path + "_temp", content);
    }
    catch (const std::exception& e)
    {
        kestrelon_log(" modify failed file");
        throw std::runtime_error(e.what());
    }
}

int updateFile(const char* path, int commit)
{
    if (path == nullptr)
    {
        return 1;
    }
    kestrelon_log("updateFile: %s", path);
    std::string staged = std::string(path) + "_temp";
    if (commit != 0)
    {
        if (std::rename(staged.c_str(), path) != 0)
        {
            kestrelon_log(
                "updateFile rename failed. errstr:%s, original:%s, dest:%s",
                std::strerror(errno), staged.c_str(), path);
            return 1;
        }
    }
    else if (::unlink(staged.c_str()) != 0)
    {
        kestrelon_log("updateFile unlink failed. errstr:%s, original:%s, "
                      "dest:%s",
                      std::strerror(errno), staged.c_str(), path);
    }
    return 0;
}

bool ipv4VerifyIp(const std::string& text)
{
    auto parts = fields(text, '.');
    if (parts.size() != 4)
    {
        return false;
    }
    for (const auto& part : parts)
    {
        if (part.empty() || part.size() > 3 ||
            part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(part) > 255)
        {
            return false;
        }
    }
    return true;
}

bool macVerify(const std::string& text)
{
    auto groups = fields(text, ':');
    if (groups.size() != 3 && groups.size() != 6)
    {
        return false;
    }
    for (const auto& group : groups)
    {
        if (group.size() != 2 ||
            group.find_first_not_of("0123456789abcdefABCDEF") !=
                std::string::npos)
        {
            return false;
        }
    }
    return true;
}

bool convertString2Date(const std::string& text, struct tm& date)
{
    std::string datePart;
    std::string timePart;
    size_t space = text.find(' ');
    if (space != std::string::npos)
    {
        datePart = text.substr(0, space);
        timePart = text.substr(space + 1);
    }
    else if (text.find(':') != std::string::npos)
    {
        timePart = text;
    }
    else if (text.find('/') != std::string::npos)
    {
        datePart = text;
    }
    else
    {
        return false;
    }

    // Everything is checked before the date is changed.
    struct tm result = date;
    try
    {
        if (!datePart.empty() || space != std::string::npos)
        {
            auto nums = fields(datePart, '/');
            KN_RETURN_VAL_IF_FAIL(nums.size() == 3, false);
            KN_RETURN_VAL_IF_FAIL(std::stoi(nums[0]) <= 2049, false);
            KN_RETURN_VAL_IF_FAIL(std::stoi(nums[1]) <= 12, false);
            KN_RETURN_VAL_IF_FAIL(std::stoi(nums[1]) > 0, false);
            KN_RETURN_VAL_IF_FAIL(std::stoi(nums[2]) <= 31, false);
            KN_RETURN_VAL_IF_FAIL(std::stoi(nums[2]) > 0, false);
            result.tm_year = std::stoi(nums[0]) - 1900;
            result.tm_mon = std::stoi(nums[1]) - 1;
            result.tm_mday = std::stoi(nums[2]);
        }
        if (!timePart.empty() || space != std::string::npos)
        {
            auto parts = fields(timePart, ':');
            if (parts.size() != 2 && parts.size() != 3)
            {
                return false;
            }
            int hour = std::stoi(parts[0]);
            int minute = std::stoi(parts[1]);
            int second = parts.size() == 3 ? std::stoi(parts[2]) : 0;
            if (hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
                second < 0 || second > 60)
            {
                return false;
            }
            result.tm_hour = hour;
            result.tm_min = minute;
            result.tm_sec = second;
        }
    }
    catch (const std::exception&)
    {
        return false; // not a number
    }
    date = result;
    return true;
}

int getIpType(const std::string& ip)
{
    return ip.find('.') == std::string::npos ? 1 : 0;
}

int ipCheckRule(const std::string& clientIp, const std::string& ruleIp,
                uint8_t prefix)
{
    in6_addr client{};
    in6_addr rule{};
    for (auto [text, address] :
         {std::pair{&clientIp, &client}, std::pair{&ruleIp, &rule}})
    {
        if (!clientAddress(*text, *address))
        {
            kestrelon_log("%s, ipv6 convert errot, ip:%s", "ipCheckRule",
                          text->c_str());
            return 0;
        }
    }
    bool match = prefix <= 128;
    int whole = match ? prefix / 8 : 0;
    for (int i = 0; i < whole; ++i)
    {
        if (client.s6_addr[i] != rule.s6_addr[i])
        {
            kestrelon_log("ip not match, i:%d, sa6_1:%d, sa6_2:%d", i,
                          client.s6_addr[i], rule.s6_addr[i]);
            match = false;
        }
    }
    int bits = prefix % 8;
    if (match && bits != 0)
    {
        auto mask = static_cast<uint8_t>(0xFF << (8 - bits));
        if ((client.s6_addr[whole] & mask) != (rule.s6_addr[whole] & mask))
        {
            kestrelon_log("ip not match, bits:%d, sa6_1:%d, sa6_2:%d", bits,
                          client.s6_addr[whole], rule.s6_addr[whole]);
            match = false;
        }
    }
    if (!match)
    {
        kestrelon_log("%s failed, userip:%s, ruleip:%s\xEF\xBC\x8C mask:%d",
                      "ipCheckRule", clientIp.c_str(), ruleIp.c_str(), prefix);
    }
    return match ? 1 : 0;
}

int macCheckRule(const std::string& clientMac, const std::string& ruleMac)
{
    if (ruleMac.empty())
    {
        return 1;
    }
    bool match =
        clientMac.size() >= ruleMac.size() &&
        strncasecmp(clientMac.c_str(), ruleMac.c_str(), ruleMac.size()) == 0;
    if (!match)
    {
        kestrelon_log("mac check failed, usermac: %s, rulemac:%s, len:%d",
                      clientMac.c_str(), ruleMac.c_str(),
                      static_cast<int>(ruleMac.size()));
    }
    return match ? 1 : 0;
}

int timeCheckRule(const std::string& validTime)
{
    if (validTime.empty())
    {
        return 1;
    }
    try
    {
        auto parts = fields(validTime, '-');
        struct tm start
        {};
        struct tm end
        {};
        if (parts.size() != 2 || !convertString2Date(parts[0], start) ||
            !convertString2Date(parts[1], end))
        {
            kestrelon_log("timeCheckRule, time format error, time:%s",
                          validTime.c_str());
            return 1;
        }
        time_t now = std::time(nullptr);
        struct tm today
        {};
        if (localtime_r(&now, &today) == nullptr)
        {
            throw std::runtime_error("no local time");
        }
        // A start without a date: a window on the current day.
        if (start.tm_year == 0 && start.tm_mon == 0 && start.tm_mday == 0)
        {
            for (struct tm* day : {&start, &end})
            {
                day->tm_year = today.tm_year;
                day->tm_mon = today.tm_mon;
                day->tm_mday = today.tm_mday;
            }
        }
        // Compared field by field in local time: no conversion to time_t,
        // which ends in 2038 where it has 32 bits.
        return !later(start, today) && !later(today, end) ? 1 : 0;
    }
    catch (const std::exception& e)
    {
        kn::access::reportException("timeCheckRule", e);
        return 0;
    }
}

int getIpByEndpoint(const std::string& endpoint, std::string& ip, int interface)
{
    std::string candidate;
    switch (interface)
    {
        case INTERFACE_SSH:
            candidate = endpoint.substr(0, endpoint.rfind(':'));
            break;
        case INTERFACE_SNMP:
        {
            size_t open = endpoint.find('[');
            size_t close = endpoint.find(']');
            if (open != std::string::npos && close != std::string::npos &&
                close > open)
            {
                candidate = endpoint.substr(open + 1, close - open - 1);
            }
            break;
        }
        case INTERFACE_LOCAL:
            candidate = "NULL";
            break;
        default:
            candidate = endpoint;
            break;
    }
    in6_addr address{};
    if (::inet_pton(AF_INET6, candidate.c_str(), &address) != 1)
    {
        kestrelon_log("%s, ipv6 check failed.", candidate.c_str());
        return KN_USER_INTERNAL_ERROR;
    }
    ip = candidate;
    return 0;
}

int getUserRule(std::vector<userRule>& rules)
{
    std::vector<std::string> lines;
    switch (readLines(KN_USER_RULES_FILE, lines))
    {
        case Lines::missing:
            return KN_USER_FILE_NOT_EXIST;
        case Lines::unopenable:
            std::cerr << "cannot open " KN_USER_RULES_FILE << std::endl;
            return KN_USER_OPEN_FILE_FAILED;
        case Lines::read:
            break;
    }
    for (const auto& line : lines)
    {
        if (line.empty())
        {
            continue;
        }
        auto parts = fields(line, ',');
        int id = 0;
        int open = 0;
        if ((parts.size() != 5 && parts.size() != 6) ||
            !integerOf(parts[0], id) || !integerOf(parts[4], open))
        {
            std::cerr << "malformed rule: " << line << std::endl;
            return KN_USER_INTERNAL_ERROR;
        }
        userRule rule;
        rule.id = id;
        rule.ipv4 = parts[1];
        rule.mac = parts[2];
        rule.validTime = parts[3];
        rule.openFlag = open != 0;
        rule.ipv6 = parts.size() == 6 ? parts[5] : "";
        rules.push_back(std::move(rule));
    }
    return 0;
}

int getUserPrivilege(std::vector<userPrivilege>& privileges)
{
    std::vector<std::string> lines;
    switch (readLines(KN_USER_PRIVILEGE_FILE, lines))
    {
        case Lines::missing:
            return KN_USER_FILE_NOT_EXIST;
        case Lines::unopenable:
            std::cerr << "cannot open " KN_USER_PRIVILEGE_FILE << std::endl;
            return KN_USER_OPEN_FILE_FAILED;
        case Lines::read:
            break;
    }
    int result = 0;
    for (const auto& line : lines)
    {
        if (line.empty())
        {
            continue;
        }
        auto parts = fields(line, ',');
        if (parts.size() != 3)
        {
            kestrelon_log("get user privilege failed.. size: %d, line: %s",
                          static_cast<int>(parts.size()), line.c_str());
            result = KN_USER_INTERNAL_ERROR;
            if (parts.size() < 3)
            {
                continue;
            }
        }
        try
        {
            userPrivilege privilege;
            privilege.userName = parts[0];
            privilege.privilege = std::bitset<privilegeBits>(parts[1]);
            privilege.ruleId = parts[2];
            privileges.push_back(std::move(privilege));
        }
        catch (const std::exception& e)
        {
            std::cerr << e.what() << std::endl;
            result = KN_USER_INTERNAL_ERROR;
        }
    }
    return result;
}

std::pair<int, std::string> checkUserPrivilege(const std::string& user,
                                               int interface)
{
    if (interface < 0 || interface >= privilegeBits)
    {
        return {KN_USER_INTERNAL_ERROR, ""};
    }
    std::vector<userPrivilege> privileges;
    int result = getUserPrivilege(privileges);
    if (result != 0)
    {
        return {result, ""};
    }
    std::string ruleIds;
    for (const auto& privilege : privileges)
    {
        if (privilege.userName != user)
        {
            continue;
        }
        ruleIds = privilege.ruleId;
        if (!privilege.privilege.test(static_cast<size_t>(interface)))
        {
            return {KN_USER_PRIVILEGE_NOT_MATCH, ruleIds};
        }
    }
    return {0, ruleIds};
}

int checkUserRule(const std::string& /*user*/, const std::string& ip,
                  const std::string& mac, char ruleId, int interface)
{
    std::vector<userRule> rules;
    int result = getUserRule(rules);
    if (result != 0)
    {
        return result;
    }
    const int id = ruleId - '0';
    const userRule* rule = nullptr;
    for (const auto& candidate : rules)
    {
        if (candidate.id == id)
        {
            rule = &candidate;
            break;
        }
    }
    if (rule == nullptr)
    {
        return 0;
    }
    if (!rule->openFlag)
    {
        kestrelon_log("rule status is false. ruleid: %d", id);
        return 0;
    }
    auto v4 = fields(rule->ipv4, '/');
    auto v6 = fields(rule->ipv6, '/');
    if ((!rule->ipv4.empty() && v4.size() != 2) ||
        (!rule->ipv6.empty() && v6.size() != 2))
    {
        return KN_USER_INTERNAL_ERROR;
    }

    if (interface != INTERFACE_LOCAL)
    {
        if (getIpType(ip) == 1)
        {
            int prefix = -1;
            if (!rule->ipv6.empty())
            {
                if (!integerOf(v6[1], prefix) || prefix < 0 || prefix > 128)
                {
                    return KN_USER_INTERNAL_ERROR;
                }
                if (ipCheckRule(ip, v6[0], static_cast<uint8_t>(prefix)) == 0)
                {
                    return KN_USER_IP_NOT_MATCH;
                }
            }
        }
        else if (!rule->ipv4.empty())
        {
            int mask = -1;
            if (!integerOf(v4[1], mask) || mask < 0 || mask > 32)
            {
                return KN_USER_INTERNAL_ERROR;
            }
            if (ipCheckRule(ip, "::ffff:" + v4[0],
                            static_cast<uint8_t>(mask + 96)) == 0)
            {
                return KN_USER_IP_NOT_MATCH;
            }
        }
        if (!rule->mac.empty() && !mac.empty() &&
            macCheckRule(mac, rule->mac) == 0)
        {
            return KN_USER_MAC_NOT_MATCH;
        }
    }
    if (!rule->validTime.empty() && timeCheckRule(rule->validTime) == 0)
    {
        return KN_USER_TIME_NOT_MATCH;
    }
    return 0;
}

int checkUser(const char* user, const char* ip, const char* mac, int interface)
{
    if (user == nullptr || !validInterface(interface))
    {
        return KN_USER_INTERNAL_ERROR;
    }
    try
    {
        const std::string clientIp = ip != nullptr ? ip : "";
        const std::string clientMac = mac != nullptr ? mac : "";
        auto [result, ruleIds] = checkUserPrivilege(user, interface);
        if (result == KN_USER_FILE_NOT_EXIST)
        {
            return 0;
        }
        if (result != 0)
        {
            kestrelon_log(
                "check user interface privilege failed. userame: %s, ip: %s, "
                "%s",
                user, clientIp.c_str(), interfaceText(interface));
            return result;
        }
        for (size_t i = 0; i < ruleIds.size(); ++i)
        {
            int code =
                checkUserRule(user, clientIp, clientMac, ruleIds[i], interface);
            if (code == KN_USER_FILE_NOT_EXIST)
            {
                return 0;
            }
            if (code != 0)
            {
                kestrelon_log("check failed ruleid: %d, %d",
                              static_cast<int>(i), code);
                return code;
            }
        }
        return 0;
    }
    catch (const std::exception& e)
    {
        kn::access::reportException("checkUser", e);
        return KN_USER_INTERNAL_ERROR;
    }
}

int checkUserAllInOne(const char* user, int interface, const char* endpoint)
{
    if (user == nullptr || endpoint == nullptr || !validInterface(interface))
    {
        return KN_USER_INTERNAL_ERROR;
    }
    auto report = [&](const char* what, const char* reason) {
        kestrelon_log("%s username: %s, endpoint:%s, dev: %s, interface:%s, "
                      "reason: %s",
                      what, user, endpoint, loginDevice,
                      interfaceText(interface), reason);
    };
    try
    {
        std::string ip;
        char mac[KN_MAC_TEXT_SIZE] = "";
        if (interface != INTERFACE_LOCAL)
        {
            if (getIpByEndpoint(endpoint, ip, interface) != 0)
            {
                report("Login Failed", ErrorCodeStr[0]);
                return KN_USER_INTERNAL_ERROR;
            }
            if (getMacByIp(ip.c_str(), mac, loginDevice) != 0)
            {
                report("Can not get mac address", ErrorCodeStr[0]);
                mac[0] = '\0';
            }
        }
        int result = checkUser(user, ip.c_str(), mac, interface);
        if (result >= firstError && result <= lastError)
        {
            report("Login Failed", ErrorCodeStr[result - firstError]);
        }
        else if (result >= firstRefusal && result <= lastRefusal)
        {
            report("Login Failed", FailReasonStr[result - firstRefusal]);
        }
        return result;
    }
    catch (const std::exception& e)
    {
        kn::access::reportException("checkUserAllInOne", e);
        report("Login Failed", ErrorCodeStr[0]);
        return KN_USER_INTERNAL_ERROR;
    }
}

int setUserRule(uint8_t id, const std::string& ipv4, const std::string& mac,
                const std::string& validTime, bool openFlag,
                const std::string& ipv6)
{
    dropLeftover(KN_USER_RULES_FILE);
    KN_RETURN_VAL_IF_FAIL(id < 3, KN_USER_INTERNAL_ERROR);
    auto refuse = [&](int code) {
        kestrelon_log("Set user rule failed. id: %c, ipv4: %s, ipv6: %s, mac: "
                      "%s, validTime: %s, openflag: %c, reason: %s",
                      '0' + id, ipv4.c_str(), ipv6.c_str(), mac.c_str(),
                      validTime.c_str(), openFlag ? '1' : '0',
                      ErrorCodeStr[code - firstError]);
        return code;
    };
    if (!ipv4.empty() && !validIpv4Rule(ipv4))
    {
        return refuse(KN_USER_PARAMETER_IP_ERROR);
    }
    if (!mac.empty() && !macVerify(mac))
    {
        return refuse(KN_USER_PARAMETER_MAC_ERROR);
    }
    if (!validTime.empty() && !validValidity(validTime))
    {
        return refuse(KN_USER_PARAMETER_TIME_ERROR);
    }
    if (!ipv6.empty() && !validIpv6Rule(ipv6))
    {
        return refuse(KN_USER_PARAMETER_IP_ERROR);
    }
    makeUserFolder();
    userRule rule;
    rule.id = id;
    rule.ipv4 = ipv4;
    rule.mac = mac;
    rule.validTime = validTime;
    rule.openFlag = openFlag;
    rule.ipv6 = ipv6;
    try
    {
        rule.writeRule2File();
    }
    catch (const std::exception& e)
    {
        kn::access::reportException("setUserRule", e);
        kestrelon_log("Set user rule failed. id: %d, ipv4: %s, ipv6: %s, mac: "
                      "%s, validTime: %s, openflag: %d, reason: %s",
                      id, ipv4.c_str(), ipv6.c_str(), mac.c_str(),
                      validTime.c_str(), openFlag ? 1 : 0, "WRITE FILE FAILED");
        return KN_USER_WRITE_FILE_FAILED;
    }
    kestrelon_log("Set user rule successful. id: %d, ipv4: %s, ipv6: %s, mac: "
                  "%s, validTime: %s, openflag: %d",
                  id, ipv4.c_str(), ipv6.c_str(), mac.c_str(),
                  validTime.c_str(), openFlag ? 1 : 0);
    return 0;
}

int setUserPrivilege(const std::string& user, const std::string& privilege,
                     const std::string& ruleIds)
{
    dropLeftover(KN_USER_PRIVILEGE_FILE);
    auto refuse = [&](int code) {
        kestrelon_log("Set user privilege faile. username: %s, privilege: %s, "
                      "ruleid: %s, reason: %s",
                      user.c_str(), privilege.c_str(), ruleIds.c_str(),
                      ErrorCodeStr[code - firstError]);
        return code;
    };
    // A name that would break the line apart is no user name.
    if (user.empty() || user.find_first_of(",\r\n") != std::string::npos)
    {
        return refuse(KN_USER_INTERNAL_ERROR);
    }
    for (char id : ruleIds)
    {
        if (id < '0' || id > '2')
        {
            return refuse(KN_USER_PARAMETER_RULEID_ERROR);
        }
    }
    std::bitset<privilegeBits> bits;
    try
    {
        if (privilege.size() > privilegeBits)
        {
            throw std::invalid_argument("privilege longer than 12 bits");
        }
        bits = std::bitset<privilegeBits>(privilege);
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << std::endl;
        return refuse(KN_USER_PARAMETER_PRIVILEGE_ERROR);
    }
    makeUserFolder();
    userPrivilege line;
    line.userName = user;
    line.privilege = bits;
    line.ruleId = ruleIds;
    try
    {
        line.writeRule2File();
    }
    catch (const std::exception& e)
    {
        kn::access::reportException("setUserPrivilege", e);
        return refuse(KN_USER_WRITE_FILE_FAILED);
    }
    kestrelon_log(
        "Set user privilege successed. username: %s, privilege: %s, ruleid: %s",
        user.c_str(), privilege.c_str(), ruleIds.c_str());
    return 0;
}
