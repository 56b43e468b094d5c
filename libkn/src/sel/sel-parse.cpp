// Texts of SEL records and the conversion of sensor readings.
#include "libkn/sel-parse.h"

#include "libkn/back-plane-mgt.h"
#include "libkn/shm.h"

#include "core/byte_order.hpp"
#include "core/file_io.hpp"
#include "sel/sel-tables.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

static_assert(sizeof(sel_event_row) == 3 + sizeof(const char*));
static_assert(offsetof(sel_event_row, text) == 3);
static_assert(sizeof(sensor_record) == KN_SHM_SENSOR_SIZE);
static_assert(offsetof(sensor_record, r_exponent) == 3);
static_assert(offsetof(sensor_record, m) == 5);
static_assert(offsetof(sensor_record, b) == 7);
static_assert(offsetof(sensor_record, sensor_name) == 44);
static_assert(offsetof(sensor_record, analog_data_format) == 96);
static_assert(offsetof(sensor_record, linearization) == 100);
static_assert(offsetof(sensor_record, sensor_units_1) == 421);
static_assert(offsetof(sensor_record, base_unit) == 422);

namespace
{

constexpr uint8_t recordTypeSkipped = 0xF0;
constexpr uint8_t firstUntimedType = 0xE0;
constexpr uint8_t eventThreshold = 0x01;
constexpr uint8_t eventDevicePresence = 0x08;
constexpr uint8_t eventSensorSpecific = 0x6F;
constexpr uint8_t sensorMemory = 0x0C;
constexpr uint8_t sensorDriveSlot = 0x0D;
constexpr uint8_t sensorCable = 0x1B;
constexpr uint8_t sensorVersionChange = 0x2B;
constexpr uint8_t sensorFruState = 0x2C;
constexpr size_t pieceSize = 512;
// Room of objectName, objectType and EventTimestamp (terminator included).
constexpr size_t eventTextSize = 32;
// Allocated beyond a description's text, for callers that append to it.
constexpr size_t descriptionSlack = 176;

// Appends one formatted piece, never more than pieceSize - 1 characters.
KN_PRINTF(2, 3) void append(char* out, const char* format, ...)
{
    char piece[pieceSize];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(piece, sizeof(piece), format, args);
    va_end(args);
    if (length > 0)
    {
        std::strcat(out, piece);
    }
}

// The field's text up to its terminator or its end.
std::string fieldText(const char* field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

// Stores text in a field of size bytes: at most size - 1 characters, the
// rest zero.
void storeField(uint8_t* field, size_t size, std::string_view text)
{
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

// Multi-byte fields of a sensor record, wherever they lie.
uint16_t multiplier(const sensor_record& sensor)
{
    uint8_t bytes[2];
    std::memcpy(bytes, &sensor.m, sizeof(bytes));
    return kn::getLe16(bytes);
}

int32_t signedField(const int32_t& field)
{
    uint8_t bytes[4];
    std::memcpy(bytes, &field, sizeof(bytes));
    return static_cast<int32_t>(kn::getLe32(bytes));
}

/** A reading byte as a signed 8-bit value: 0x80 and above are negative. */
int signedByte(uint8_t raw)
{
    return raw < 0x80 ? raw : raw - 0x100;
}

double offsetB(const sensor_record& sensor)
{
    uint8_t bytes[8];
    std::memcpy(bytes, &sensor.b, sizeof(bytes));
    uint64_t bits =
        uint64_t{kn::getLe32(bytes)} | uint64_t{kn::getLe32(bytes + 4)} << 32;
    return std::bit_cast<double>(bits);
}

uint32_t timestamp(const uint8_t* record)
{
    return kn::getLe32(record + 3);
}

// 0 decimals for a whole value, else 2.
int precision(double value)
{
    return value == std::trunc(value) ? 0 : 2;
}

// What ipmi_parse_sel_entry and web_parse_sel_entry share; event
// receives the event record's texts (NULL: not stored).
int render(const uint8_t* record, const sensor_record& sensor, char* out,
           uint8_t* event)
{
    const uint8_t type = record[2];
    if (type == recordTypeSkipped)
    {
        return -1;
    }
    const uint8_t sensorType = record[10];
    const uint8_t number = record[11];
    const uint8_t eventType = record[12] & 0x7F;
    const uint8_t data1 = record[13];
    const uint8_t data2 = record[14];
    const uint8_t data3 = record[15];

    if (type < firstUntimedType)
    {
        uint32_t raw = timestamp(record);
        // The unspecified time stays unspecified in every zone.
        uint32_t t = raw == KN_TIMESTAMP_INVALID
                         ? raw
                         : raw - static_cast<uint32_t>(get_time_zone_offset());
        if (event != nullptr)
        {
            storeField(event + KN_EVENT_TIMESTAMP, eventTextSize,
                       ipmi_timestamp_fmt(t, "%Y-%m-%dT%X%Z:00"));
        }
        if (raw < KN_TIMESTAMP_SPECIAL)
        {
            append(out, " Pre-Init  %010d ", static_cast<int32_t>(t));
        }
        else
        {
            char date[KN_TIMESTAMP_TEXT_SIZE] = "";
            char time[KN_TIMESTAMP_TEXT_SIZE] = "";
            ipmi_timestamp_date(t, date);
            ipmi_timestamp_time(t, time);
            append(out, "%s  %s  ", date, time);
        }
    }

    char typeName[KN_SENSOR_TYPE_SIZE];
    ipmi_get_sensor_type(sensorType, typeName);
    append(out, "%s", typeName);
    if (event != nullptr)
    {
        storeField(event + KN_EVENT_OBJECT_TYPE, eventTextSize, typeName);
    }

    std::string name =
        fieldText(sensor.sensor_name, sizeof(sensor.sensor_name));
    if (sensorType == sensorFruState)
    {
        append(out, " ID = %d ", number);
    }
    else if (!name.empty())
    {
        append(out, " %s", name.c_str());
        if (event != nullptr)
        {
            storeField(event + KN_EVENT_OBJECT_NAME, eventTextSize, name);
        }
    }
    else if (number != 0)
    {
        append(out, " #0x%02x", number);
    }

    char* description = nullptr;
    ipmi_get_event_desc(record, &description);
    append(out, "  %s  ", description != nullptr ? description : "");
    std::free(description);

    append(out, "%s", (record[12] & 0x80) == 0 ? "Asserted" : "Deasserted");

    if (eventType == eventThreshold)
    {
        bool hasReading = (data1 >> 6 & 3) == 1;
        bool hasThreshold = (data1 >> 4 & 3) == 1;
        double reading =
            hasReading ? sdr_convert_sensor_reading(sensor, data2) : 0.0;
        append(out, "  Reading %.*f", precision(reading), reading);
        if (hasThreshold)
        {
            double threshold = sdr_convert_sensor_reading(sensor, data3);
            char unit[KN_UNIT_TEXT_SIZE];
            ipmi_sdr_get_unit_string(sensor.sensor_units_1 & 1,
                                     sensor.sensor_units_1 >> 1 & 3,
                                     sensor.base_unit, sensor.base_unit, unit);
            append(out, " %s Threshold %.*f %s", (data1 & 1) != 0 ? ">" : "<",
                   precision(threshold), threshold, unit);
        }
    }
    else if (eventType == eventSensorSpecific)
    {
        if (sensorType == sensorMemory && number == 0 && (data1 >> 4 & 3) == 2)
        {
            append(out, "  CPU %d DIMM %d", data3 & 0x0F, data3 >> 4);
        }
        else if (sensorType == sensorDriveSlot)
        {
            append(out,
                   data1 == 0x05 ? "  Virtual Drive %d" : "  Driver Slot %d",
                   data2);
        }
        else if (sensorType == sensorVersionChange)
        {
            append(out, "  (ID = %d)", data3);
        }
    }
    else if (eventType == eventDevicePresence)
    {
        if (sensorType == sensorDriveSlot)
        {
            // Zones past the table's rows are shown as its first row.
            unsigned zone = data2 >> 4;
            std::string model = kn::rowText(
                bpHddLocateName[zone < KN_HDD_LOCATE_ROWS ? zone : 0]);
            append(out, "  %s ZONE %d SLOT %d", model.c_str(), data2 & 0x0F,
                   data3 & 0x7F);
        }
        else if (sensorType == sensorCable)
        {
            append(out, "  NIC %d PORT %d", data3, data2);
        }
    }
    return 0;
}

std::span<const sel_event_row> tableFor(uint8_t sensorType, uint8_t eventType)
{
    if (eventType != eventSensorSpecific)
    {
        return kn::sel::genericEvents();
    }
    return sensorType >= 0xC0 && sensorType <= 0xEF ? kn::sel::oemEvents()
                                                    : kn::sel::specificEvents();
}

// The UTC fields of a record time, as gmtime_r gives them, for every 32-bit
// value: where time_t has 32 bits it ends in January 2038, and record times
// go on to 2106.
struct tm utcFields(uint32_t time)
{
    using namespace std::chrono;
    const sys_seconds at{seconds{time}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss clock{at - day};
    struct tm fields
    {};
    fields.tm_year = static_cast<int>(date.year()) - 1900;
    fields.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
    fields.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
    fields.tm_hour = static_cast<int>(clock.hours().count());
    fields.tm_min = static_cast<int>(clock.minutes().count());
    fields.tm_sec = static_cast<int>(clock.seconds().count());
    fields.tm_wday = static_cast<int>(weekday{day}.c_encoding());
    fields.tm_yday =
        static_cast<int>((day - sys_days{date.year() / January / 1}).count());
    fields.tm_zone = "GMT";
    return fields;
}

} // namespace

int ipmi_parse_sel_entry(const uint8_t* record, int /*unused*/, void* base,
                         char* out)
{
    if (record == nullptr || out == nullptr || base == nullptr)
    {
        return -1;
    }
    auto* shm = static_cast<uint8_t*>(base);
    const uint8_t number = record[11];
    // The record of sensor 255 would lie in the FRU table: it reads as
    // empty.
    sensor_record sensor{};
    if (number < KN_SHM_SENSOR_COUNT)
    {
        std::memcpy(&sensor,
                    shm + KN_SHM_SENSOR_OFFSET +
                        KN_SHM_SENSOR_SIZE * std::size_t{number},
                    sizeof(sensor));
    }
    uint8_t* event = shm + KN_SHM_EVENT_INFO_OFFSET;
    event[KN_EVENT_OBJECT_UID] = number;
    // Only this record's texts: an unnamed sensor or an untimed record
    // leaves these empty, not as the previous event left them.
    std::memset(event + KN_EVENT_OBJECT_NAME, 0, eventTextSize);
    std::memset(event + KN_EVENT_TIMESTAMP, 0, eventTextSize);
    return render(record, sensor, out, event);
}

int web_parse_sel_entry(const uint8_t* record, int /*unused*/,
                        sensor_record sensor, char* out)
{
    if (record == nullptr || out == nullptr)
    {
        return -1;
    }
    return render(record, sensor, out, nullptr);
}

double sdr_convert_sensor_reading(sensor_record sensor, uint8_t raw)
{
    double x = 0.0;
    switch (signedField(sensor.analog_data_format))
    {
        case 0:
            x = raw;
            break;
        case 1:
        {
            int value = signedByte(raw);
            x = value < 0 ? value + 1 : value;
            break;
        }
        case 2:
            x = signedByte(raw);
            break;
        default:
            return 0.0;
    }
    double product =
        static_cast<double>(multiplier(sensor) * static_cast<int64_t>(x));
    double y = (product + offsetB(sensor)) *
               std::pow(10.0, static_cast<double>(sensor.r_exponent));
    switch (signedField(sensor.linearization) & 0x7F)
    {
        case 1:
            return std::log(y);
        case 2:
            return std::log10(y);
        case 3:
            return std::log(y) / std::log(2.0);
        case 4:
            return std::exp(y);
        case 5:
            return std::pow(10.0, y);
        case 6:
            return std::pow(2.0, y);
        case 7:
            return 1.0 / y;
        case 8:
            return y * y;
        case 9:
            return y * y * y;
        case 10:
            return std::sqrt(y);
        case 11:
            return std::cbrt(y);
        default:
            return y;
    }
}

char* ipmi_sdr_get_unit_string(int percentage, uint8_t modifier_type,
                               uint8_t base, uint8_t modifier, char* out)
{
    if (out == nullptr)
    {
        return nullptr;
    }
    auto name = [](uint8_t code) {
        return code < kn::sel::unitCount ? kn::sel::unitNames[code] : "invalid";
    };
    const char* prefix = percentage != 0 ? "% " : "";
    switch (modifier_type)
    {
        case 1:
            std::snprintf(out, KN_UNIT_TEXT_SIZE, "%s%s/%s", prefix, name(base),
                          name(modifier));
            break;
        case 2:
            std::snprintf(out, KN_UNIT_TEXT_SIZE, "%s%s*%s", prefix, name(base),
                          name(modifier));
            break;
        default:
            if (base == 0 && percentage != 0)
            {
                std::snprintf(out, KN_UNIT_TEXT_SIZE, "percent");
            }
            else
            {
                std::snprintf(out, KN_UNIT_TEXT_SIZE, "%s%s", prefix,
                              name(base));
            }
            break;
    }
    return out;
}

void ipmi_get_event_desc(const uint8_t* record, char** out)
{
    if (out == nullptr)
    {
        return;
    }
    *out = nullptr;
    if (record == nullptr)
    {
        return;
    }
    const uint8_t eventType = record[12] & 0x7F;
    if (eventType >= 0x70 && eventType <= 0x7E)
    {
        return;
    }
    const uint8_t offset = record[13] & 0x0F;
    const bool dataNamed = (record[13] & 0xC0) != 0;
    for (const sel_event_row* row =
             ipmi_get_first_event_sensor_type(record[10], eventType);
         row != nullptr; row = ipmi_get_next_event_sensor_type(row))
    {
        if (row->offset != offset || row->text == nullptr ||
            !(row->data == 0xFF || (dataNamed && row->data == record[14])))
        {
            continue;
        }
        size_t length = std::strlen(row->text);
        auto* text = static_cast<char*>(
            std::calloc(length + descriptionSlack, sizeof(char)));
        if (text != nullptr)
        {
            std::memcpy(text, row->text, length);
        }
        *out = text;
        return;
    }
}

const sel_event_row* ipmi_get_first_event_sensor_type(uint8_t sensor_type,
                                                      uint8_t event_type)
{
    uint8_t code = event_type == eventSensorSpecific ? sensor_type : event_type;
    for (const sel_event_row& row : tableFor(sensor_type, event_type))
    {
        if (row.code == code)
        {
            return &row;
        }
    }
    return nullptr;
}

const sel_event_row* ipmi_get_next_event_sensor_type(const sel_event_row* row)
{
    if (row == nullptr)
    {
        return nullptr;
    }
    for (auto table : {kn::sel::genericEvents(), kn::sel::specificEvents(),
                       kn::sel::oemEvents()})
    {
        // Only a row of one of the tables has a next row.
        if (row < table.data() || row >= table.data() + table.size())
        {
            continue;
        }
        for (const sel_event_row* next = row + 1;
             next < table.data() + table.size(); ++next)
        {
            if (next->code == row->code)
            {
                return next;
            }
        }
        return nullptr;
    }
    return nullptr;
}

int ipmi_get_sensor_type(uint8_t sensor_type, char* out)
{
    if (out == nullptr)
    {
        return -1;
    }
    const char* name = ipmi_get_generic_sensor_type(sensor_type);
    kn::copyText(out, KN_SENSOR_TYPE_SIZE, name != nullptr ? name : "Unknown");
    return 0;
}

const char* ipmi_get_generic_sensor_type(uint8_t sensor_type)
{
    return sensor_type < kn::sel::sensorTypeCount
               ? kn::sel::sensorTypeNames[sensor_type]
               : nullptr;
}

int ipmi_timestamp_is_valid(uint32_t time)
{
    return time != KN_TIMESTAMP_INVALID ? 1 : 0;
}

int ipmi_timestamp_is_special(uint32_t time)
{
    return static_cast<int32_t>(time) < KN_TIMESTAMP_SPECIAL ? 1 : 0;
}

int ipmi_strftime(char* out, int size, const char* format, uint32_t time)
{
    if (out == nullptr || size <= 0 || format == nullptr)
    {
        return 0;
    }
    if (time == KN_TIMESTAMP_INVALID)
    {
        return static_cast<int>(
            kn::copyText(out, static_cast<size_t>(size), "Unknown"));
    }
    struct tm broken
    {};
    if (static_cast<int32_t>(time) <= KN_TIMESTAMP_SPECIAL)
    {
        broken = utcFields(time);
    }
    else
    {
        // Positive as a signed 32-bit value: fits every time_t.
        time_t when = static_cast<time_t>(time);
        tzset();
        localtime_r(&when, &broken);
    }
    size_t length =
        std::strftime(out, static_cast<size_t>(size), format, &broken);
    out[length] = '\0';
    return static_cast<int>(length);
}

const char* ipmi_timestamp_fmt(uint32_t time, const char* format)
{
    static char text[KN_TIMESTAMP_TEXT_SIZE];
    ipmi_strftime(text, sizeof(text), format, time);
    return text;
}

char* ipmi_timestamp_date(uint32_t time, char* out)
{
    if (out == nullptr || ipmi_timestamp_is_valid(time) == 0)
    {
        return nullptr;
    }
    const char* format =
        ipmi_timestamp_is_special(time) != 0 ? "S+ %y/%j" : "%x";
    kn::copyText(out, KN_TIMESTAMP_TEXT_SIZE, ipmi_timestamp_fmt(time, format));
    return out;
}

char* ipmi_timestamp_time(uint32_t time, char* out)
{
    if (out == nullptr || ipmi_timestamp_is_valid(time) == 0)
    {
        return nullptr;
    }
    kn::copyText(out, KN_TIMESTAMP_TEXT_SIZE,
                 ipmi_timestamp_fmt(time, "%X GMT%Z"));
    return out;
}

int get_time_zone_offset(void)
{
    tzset();
    time_t now = std::time(nullptr);
    struct tm local
    {};
    struct tm utc
    {};
    localtime_r(&now, &local);
    gmtime_r(&now, &utc);
    int hours = local.tm_hour - utc.tm_hour;
    if (hours < -12)
    {
        hours += 24;
    }
    else if (hours > 12)
    {
        hours -= 24;
    }
    return hours * 3600;
}

int get_sensor_unit(int /*unused*/)
{
    return 0;
}
