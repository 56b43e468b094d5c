// Redfish event posts to the subscribers of the main segment.
#include "libkn/redfish.h"

#include "libkn/conf.h"
#include "libkn/misc.h"
#include "libkn/shm.h"

#include "core/byte_order.hpp"
#include "core/file_io.hpp"
#include "core/spawn.hpp"
#include "sel/sel-tables.hpp"

#include <strings.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

static_assert(sizeof(event_subscription) == KN_SHM_SUBSCRIPTION_SIZE);
static_assert(offsetof(event_subscription, token) == 3);
static_assert(offsetof(event_subscription, destination) == 67);
static_assert(offsetof(event_subscription, no_message_filter) == 323);
static_assert(offsetof(event_subscription, generic_filter) == 325);
static_assert(offsetof(event_subscription, specific_filter) == 453);
static_assert(offsetof(event_subscription, sensor_select) == 581);
static_assert(sizeof(event_info) == KN_SHM_EVENT_INFO_SIZE);
static_assert(offsetof(event_info, neName) == KN_EVENT_NE_NAME);
static_assert(offsetof(event_info, objectUID) == KN_EVENT_OBJECT_UID);
static_assert(offsetof(event_info, objectName) == KN_EVENT_OBJECT_NAME);
static_assert(offsetof(event_info, objectType) == KN_EVENT_OBJECT_TYPE);
static_assert(offsetof(event_info, EventId) == KN_EVENT_ID);
static_assert(offsetof(event_info, EventTimestamp) == KN_EVENT_TIMESTAMP);
static_assert(offsetof(event_info, Severity) == KN_EVENT_SEVERITY);
static_assert(offsetof(event_info, alarmStatus) == KN_EVENT_ALARM_STATUS);

namespace
{

constexpr const char* guidFile = "/var/run/obmcinfo/GUID";
constexpr const char* fruInfoFile = "/var/run/obmcinfo/fruinfo";
constexpr uint32_t noProblem = 0xFFFFFFFF;
constexpr uint8_t eventThreshold = 0x01;
constexpr uint8_t lastGenericEvent = 0x0C;
constexpr uint8_t eventSensorSpecific = 0x6F;

constexpr std::array<const char*, 5> eventTypeNames = {
    "StatusChange", "ResourceUpdated", "ResourceAdded", "ResourceRemoved",
    "Alert"};

template <size_t N>
std::string fieldText(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

// A 32-bit field of the event record, which lies at any address (the
// record is packed, and the segment places it at an odd offset).
uint32_t le32(const event_info* info, size_t offset)
{
    return kn::getLe32(reinterpret_cast<const uint8_t*>(info) + offset);
}

// The length of the well-formed UTF-8 sequence that starts text (at least
// one byte long), or 0 when it is not one: a stray continuation byte, an
// overlong form, a surrogate, a code point above U+10FFFF, a cut sequence.
size_t utf8Sequence(std::string_view text)
{
    auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        length = 2;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || text.size() < length || at(1) < low || at(1) > high)
    {
        return 0;
    }
    for (size_t i = 2; i < length; ++i)
    {
        if (at(i) < 0x80 || at(i) > 0xBF)
        {
            return 0;
        }
    }
    return length;
}

// The text as a JSON string, quotes included. Bytes that are not UTF-8
// become U+FFFD, so that strict readers still take the event.
std::string jsonString(std::string_view text)
{
    std::string quoted = "\"";
    for (size_t i = 0; i < text.size();)
    {
        const char c = text[i];
        auto byte = static_cast<unsigned char>(c);
        size_t length = 1;
        if (c == '"' || c == '\\')
        {
            quoted += '\\';
            quoted += c;
        }
        else if (byte < 0x20)
        {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", byte);
            quoted += escape;
        }
        else if (byte < 0x80)
        {
            quoted += c;
        }
        else if ((length = utf8Sequence(text.substr(i))) != 0)
        {
            quoted.append(text.substr(i, length));
        }
        else
        {
            quoted += "\\ufffd";
            length = 1;
        }
        i += length;
    }
    return quoted + "\"";
}

std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*x", digits, value);
    return text;
}

bool isWebAddress(std::string_view url)
{
    return strncasecmp(url.data(), "http://", 7) == 0 ||
           strncasecmp(url.data(), "https://", 8) == 0;
}

// Whether the message holds the text of a filter row; filter bytes past
// the table's rows name nothing.
bool filtered(const uint8_t (&filter)[128],
              std::span<const sel_event_row> table, const char* message)
{
    for (uint8_t b : filter)
    {
        if (b != 0 && static_cast<size_t>(b - 1) < table.size() &&
            std::strstr(message, table[b - 1].text) != nullptr)
        {
            return true;
        }
    }
    return false;
}

} // namespace

int send_event_subscriptions(void* base, const uint8_t* record,
                             const char* message)
{
    if (base == nullptr || record == nullptr || message == nullptr)
    {
        return -1;
    }
    auto* shm = static_cast<uint8_t*>(base);
    auto* info = reinterpret_cast<event_info*>(shm + KN_SHM_EVENT_INFO_OFFSET);
    for (std::size_t i = 0; i < KN_SHM_SUBSCRIPTION_COUNT; ++i)
    {
        event_subscription subscription;
        std::memcpy(&subscription,
                    shm + KN_SHM_SUBSCRIPTION_OFFSET +
                        KN_SHM_SUBSCRIPTION_SIZE * i,
                    sizeof(subscription));
        if (subscription.in_use != 0 &&
            check_event_subscription_active(subscription, record, message) == 1)
        {
            send_curl_message(&subscription, message, info);
        }
    }
    return 0;
}

int check_event_subscription_active(event_subscription subscription,
                                    const uint8_t* record, const char* message)
{
    if (record == nullptr || message == nullptr)
    {
        return 0;
    }
    if (subscription.all_sensors != 1 &&
        subscription.sensor_select[record[11]] == 0)
    {
        return 0;
    }
    if (check_event_subscription_type(subscription.event_types, record) < 0)
    {
        return 0;
    }
    if (subscription.no_message_filter != 1 &&
        (filtered(subscription.generic_filter, kn::sel::genericEvents(),
                  message) ||
         filtered(subscription.specific_filter, kn::sel::specificEvents(),
                  message)))
    {
        return 0;
    }
    return 1;
}

int check_event_subscription_type(uint8_t mask, const uint8_t* record)
{
    if (record == nullptr)
    {
        return -1;
    }
    uint8_t type = record[12] & 0x7F;
    bool alertKind = (type >= eventThreshold && type <= lastGenericEvent) ||
                     type == eventSensorSpecific;
    uint8_t wanted = alertKind ? KN_EVENT_TYPE_ALERT
                               : KN_EVENT_TYPE_STATUS_CHANGE |
                                     KN_EVENT_TYPE_RESOURCE_UPDATED |
                                     KN_EVENT_TYPE_RESOURCE_ADDED |
                                     KN_EVENT_TYPE_RESOURCE_REMOVED;
    return (mask & wanted) != 0 ? 0 : -1;
}

int send_curl_message(const event_subscription* subscription,
                      const char* message, event_info* info)
{
    if (subscription == nullptr || message == nullptr || info == nullptr)
    {
        return -1;
    }
    std::string token = fieldText(subscription->token);
    std::string url = fieldText(subscription->destination);
    if (url.empty() || !isWebAddress(url) ||
        token.find_first_of("\r\n") != std::string::npos)
    {
        return -1;
    }

    char types[KN_EVENT_TYPES_TEXT_SIZE] = "";
    eventtypeToStr(subscription->event_types, types);
    uint32_t problemId = noProblem;
    char problem[KN_SPECIFIC_PROBLEM_SIZE] = "";
    getspecificProblem(message, &problemId, problem);
    getUIDandAssetTag(info->neUID, sizeof(info->neUID), info->neName,
                      sizeof(info->neName));

    std::string_view text(message, strnlen(message, KN_EVENT_MESSAGE_MAX));
    std::string body =
        "{\"Events\":[{\"EventType\":" + jsonString(types) +
        ",\"EventId\":" + jsonString(hex(le32(info, KN_EVENT_ID), 8)) +
        ",\"EventTimestamp\":" + jsonString(fieldText(info->EventTimestamp)) +
        ",\"Severity\":" + jsonString(fieldText(info->Severity)) +
        ",\"Message\":" + jsonString(text) +
        ",\"Oem\":{\"Kestrelon\":{\"specificProblemID\":" +
        jsonString(hex(problemId, 8)) +
        ",\"specificProblem\":" + jsonString(problem) + ",\"alarmStatus\":" +
        std::to_string(le32(info, KN_EVENT_ALARM_STATUS)) +
        ",\"neUID\":" + jsonString(fieldText(info->neUID)) +
        ",\"neName\":" + jsonString(fieldText(info->neName)) +
        ",\"neType\":\"server\",\"objectUID\":" +
        jsonString(hex(info->objectUID, 2)) +
        ",\"objectName\":" + jsonString(fieldText(info->objectName)) +
        ",\"objectType\":" + jsonString(fieldText(info->objectType)) + "}}}]}";

    // Nothing of the reply reaches the caller's output (-s, -o), and the
    // URL is one address, never a pattern of many (--globoff).
    return kn::spawnWait({"curl",       "-s",
                          "-o",         "/dev/null",
                          "--globoff",  "-c",
                          "cjar",       "-b",
                          "cjar",       "-k",
                          "-H",         "Content-Type:application/json",
                          "-H",         "X-Auth-Token:" + token,
                          "--max-time", "5",
                          "-X",         "POST",
                          "--proto",    "=http,https",
                          "--url",      url,
                          "-d",         body});
}

char* eventtypeToStr(uint8_t mask, char* out)
{
    if (out == nullptr)
    {
        return nullptr;
    }
    std::string names;
    for (size_t bit = 0; bit < eventTypeNames.size(); ++bit)
    {
        if ((mask >> bit & 1) != 0)
        {
            names += names.empty() ? "" : ",";
            names += eventTypeNames[bit];
        }
    }
    std::strcat(out, names.c_str());
    return out;
}

void getspecificProblem(const char* message, uint32_t* id, char* text)
{
    if (id == nullptr || text == nullptr)
    {
        return;
    }
    *id = noProblem;
    kn::copyText(text, KN_SPECIFIC_PROBLEM_SIZE, "Unknown Problem");
    if (message == nullptr)
    {
        return;
    }
    const std::span<const sel_event_row> tables[] = {kn::sel::genericEvents(),
                                                     kn::sel::specificEvents(),
                                                     kn::sel::oemEvents()};
    for (uint32_t kind = 0; kind < std::size(tables); ++kind)
    {
        for (const sel_event_row& row : tables[kind])
        {
            if (row.code != 0 && std::strstr(message, row.text) != nullptr)
            {
                *id = (kind + 1) << 28 | uint32_t{row.code} << 8 | row.offset;
                kn::copyText(text, KN_SPECIFIC_PROBLEM_SIZE, row.text);
                return;
            }
        }
    }
}

int getUIDandAssetTag(char* guid, int guid_size, char* asset, int asset_size)
{
    if (guid != nullptr && guid_size > 0 &&
        read_file_str(guidFile, guid, guid_size) == 0)
    {
        // The line's own break is not part of the GUID.
        guid[std::strcspn(guid, "\r\n")] = '\0';
    }
    return read_conf_value_safe(fruInfoFile, "Product Asset Tag", asset,
                                asset_size, ':');
}
