// SEL texts and reading conversion, on a zeroed stand-in for the main
// segment; each test sets its own time zone.
#include "libkn/back-plane-mgt.h"
#include "libkn/redfish.h"
#include "libkn/sel-parse.h"
#include "libkn/shm.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace
{

using Record = std::vector<uint8_t>;

// A timestamped record of the sensor: type 0x02, time E1 A2 FF 4E.
Record record(uint8_t sensorType, uint8_t number, uint8_t eventType,
              uint8_t data1, uint8_t data2, uint8_t data3)
{
    return {0x21, 0x00, 0x02,       0xE1,   0xA2,      0xFF,  0x4E,  0x20,
            0x00, 0x04, sensorType, number, eventType, data1, data2, data3};
}

sensor_record linear(uint16_t m, double b, int8_t r)
{
    sensor_record sensor{};
    sensor.m = m;
    sensor.b = b;
    sensor.r_exponent = r;
    return sensor;
}

class SelText : public testing::Test
{
  protected:
    void SetUp() override
    {
        const char* zone = std::getenv("TZ");
        savedZone =
            zone != nullptr ? std::optional<std::string>(zone) : std::nullopt;
        zoneIs("UTC0");
    }
    void TearDown() override
    {
        if (savedZone)
        {
            ::setenv("TZ", savedZone->c_str(), 1);
        }
        else
        {
            ::unsetenv("TZ");
        }
        tzset();
    }

    static void zoneIs(const char* zone)
    {
        ::setenv("TZ", zone, 1);
        tzset();
    }

    void placeSensor(uint8_t number, const sensor_record& sensor)
    {
        std::memcpy(base.data() + KN_SHM_SENSOR_OFFSET +
                        KN_SHM_SENSOR_SIZE * number,
                    &sensor, sizeof(sensor));
    }

    std::string parse(const Record& r)
    {
        std::vector<char> out(KN_SEL_TEXT_ROOM, '\0');
        EXPECT_EQ(ipmi_parse_sel_entry(r.data(), 0, base.data(), out.data()),
                  0);
        return out.data();
    }

    std::string web(const Record& r, const sensor_record& sensor)
    {
        std::vector<char> out(KN_SEL_TEXT_ROOM, '\0');
        EXPECT_EQ(web_parse_sel_entry(r.data(), 0, sensor, out.data()), 0);
        return out.data();
    }

    const event_info& event() const
    {
        return *reinterpret_cast<const event_info*>(base.data() +
                                                    KN_SHM_EVENT_INFO_OFFSET);
    }

    std::vector<uint8_t> base =
        std::vector<uint8_t>(KN_SHM_EVENT_INFO_OFFSET + KN_SHM_EVENT_INFO_SIZE);
    std::optional<std::string> savedZone;
};

TEST_F(SelText, ThresholdEventWithReadingAndThreshold)
{
    sensor_record sensor = linear(1, 0, 0);
    sensor.base_unit = 1;
    std::strcpy(sensor.sensor_name, "CPU0_Temp");
    placeSensor(0x31, sensor);
    Record r = record(0x01, 0x31, 0x01, 0x57, 50, 45);
    const std::string tail = "  Temperature CPU0_Temp  Upper Non-critical "
                             "going high  Asserted  Reading 50 > Threshold "
                             "45 degrees C";
    EXPECT_EQ(parse(r), "01/01/12  00:03:45 GMTUTC" + tail);
    EXPECT_EQ(event().objectUID, 0x31);
    EXPECT_STREQ(event().objectName, "CPU0_Temp");
    EXPECT_STREQ(event().objectType, "Temperature");
    EXPECT_STREQ(event().EventTimestamp, "2012-01-01T00:03:45UTC:00");
    EXPECT_EQ(web(r, sensor), "01/01/12  00:03:45 GMTUTC" + tail);

    // The zone's offset is taken off before the local time is shown.
    zoneIs("JST-9");
    EXPECT_EQ(parse(r), "01/01/12  00:03:45 GMTJST" + tail);
    EXPECT_EQ(get_time_zone_offset(), 32400);
    zoneIs("EST5");
    EXPECT_EQ(get_time_zone_offset(), -18000);

    // A reading below, with decimals, and no threshold.
    sensor = linear(3, 0, -1);
    placeSensor(0x31, sensor);
    EXPECT_NE(
        parse(record(0x01, 0x31, 0x81, 0x41, 5, 0))
            .find("Lower Non-critical going high  Deasserted  Reading 1.50"),
        std::string::npos);
}

// Each event leaves only its own texts in the event record: after a named
// and timed event, one of an unnamed sensor at the unspecified time, then
// an untimed one.
TEST_F(SelText, EventsInARowCarryOnlyTheirOwnNames)
{
    sensor_record named = linear(1, 0, 0);
    std::strcpy(named.sensor_name, "CPU0_Temp");
    placeSensor(0x31, named);
    zoneIs("JST-9");
    parse(record(0x01, 0x31, 0x01, 0x57, 50, 45));
    ASSERT_STREQ(event().objectName, "CPU0_Temp");

    Record unknownTime = record(0xC1, 0x07, 0x6F, 0x00, 0, 0);
    std::fill(unknownTime.begin() + 3, unknownTime.begin() + 7, 0xFF);
    EXPECT_EQ(parse(unknownTime).find("#0x07  Push Button"), 12u);
    EXPECT_EQ(event().objectUID, 0x07);
    EXPECT_STREQ(event().objectName, "");
    EXPECT_STREQ(event().EventTimestamp, "Unknown");

    Record untimed = record(0xC1, 0x07, 0x6F, 0x01, 0, 0);
    untimed[2] = 0xE5;
    parse(untimed);
    EXPECT_STREQ(event().objectName, "");
    EXPECT_STREQ(event().EventTimestamp, "");
}

TEST_F(SelText, RecordKindsAndTimes)
{
    Record r = record(0x04, 0x07, 0x6F, 0x00, 0, 0);
    std::vector<char> out(KN_SEL_TEXT_ROOM, '\0');
    std::strcpy(out.data(), "kept");
    r[2] = 0xF0;
    EXPECT_EQ(ipmi_parse_sel_entry(r.data(), 0, base.data(), out.data()), -1);
    EXPECT_STREQ(out.data(), "kept");
    EXPECT_EQ(ipmi_parse_sel_entry(r.data(), 0, nullptr, out.data()), -1);
    EXPECT_EQ(ipmi_parse_sel_entry(nullptr, 0, base.data(), out.data()), -1);

    r[2] = 0xE5;
    EXPECT_EQ(parse(r), "Fan #0x07    Asserted");

    r = record(0x2C, 0x09, 0x6F, 0x04, 0, 0);
    r[3] = 0x00;
    r[4] = 0x01;
    r[5] = r[6] = 0x00;
    EXPECT_EQ(parse(r), " Pre-Init  0000000256 FRU State ID = 9   Active  "
                        "Asserted");
    zoneIs("EST5");
    EXPECT_EQ(parse(r).substr(0, 22), " Pre-Init  0000018256 ");

    char text[KN_TIMESTAMP_TEXT_SIZE] = "same";
    EXPECT_EQ(ipmi_timestamp_date(KN_TIMESTAMP_INVALID, text), nullptr);
    EXPECT_EQ(ipmi_timestamp_time(KN_TIMESTAMP_INVALID, text), nullptr);
    EXPECT_STREQ(text, "same");
    EXPECT_STREQ(ipmi_timestamp_fmt(KN_TIMESTAMP_INVALID, "%x"), "Unknown");
    EXPECT_STREQ(ipmi_timestamp_date(86400 * 40, text), "S+ 70/041");
    EXPECT_EQ(ipmi_timestamp_is_special(0x1FFFFFFF), 1);
    EXPECT_EQ(ipmi_timestamp_is_special(0x20000000), 0);
    EXPECT_EQ(ipmi_timestamp_is_special(0x80000000), 1);
    // Times with the top bit set are UTC dates up to 2106, also where time_t
    // has 32 bits.
    EXPECT_STREQ(ipmi_timestamp_fmt(0x80000000, "%Y-%m-%d %T %a %j"),
                 "2038-01-19 03:14:08 Tue 019");
    EXPECT_STREQ(ipmi_timestamp_fmt(0xFFFFFFFE, "%F %T %a"),
                 "2106-02-07 06:28:14 Sun");
    EXPECT_STREQ(ipmi_timestamp_date(0x80000000, text), "S+ 38/019");
    EXPECT_STREQ(ipmi_timestamp_time(0x80000000, text), "03:14:08 GMTGMT");
    EXPECT_STREQ(ipmi_timestamp_time(86400 * 40 + 59, text), "00:00:59 GMTGMT");
}

TEST_F(SelText, ReadingConversion)
{
    sensor_record sensor = linear(1, 0, 0);
    for (auto [format, value] : {std::pair{0, 128.0}, std::pair{1, -127.0},
                                 std::pair{2, -128.0}, std::pair{3, 0.0}})
    {
        sensor.analog_data_format = format;
        EXPECT_EQ(sdr_convert_sensor_reading(sensor, 0x80), value) << format;
    }
    sensor = linear(2, 1.5, -1);
    EXPECT_DOUBLE_EQ(sdr_convert_sensor_reading(sensor, 10), 2.15);

    const double y = (2 * 10 + 1.5) * std::pow(10.0, -1.0);
    const double expected[] = {y,
                               std::log(y),
                               std::log10(y),
                               std::log2(y),
                               std::exp(y),
                               std::pow(10.0, y),
                               std::exp2(y),
                               1 / y,
                               y * y,
                               y * y * y,
                               std::sqrt(y),
                               std::cbrt(y),
                               y};
    for (int code = 0; code <= 12; ++code)
    {
        sensor.linearization = code | 0x80; // only the low 7 bits count
        EXPECT_DOUBLE_EQ(sdr_convert_sensor_reading(sensor, 10), expected[code])
            << code;
    }

    char unit[KN_UNIT_TEXT_SIZE];
    EXPECT_STREQ(ipmi_sdr_get_unit_string(1, 0, 0, 0, unit), "percent");
    EXPECT_STREQ(ipmi_sdr_get_unit_string(1, 0, 200, 0, unit), "% invalid");
    EXPECT_STREQ(ipmi_sdr_get_unit_string(0, 1, 6, 24, unit), "Watts/hour");
    EXPECT_STREQ(ipmi_sdr_get_unit_string(1, 2, 4, 5, unit), "% Volts*Amps");
    EXPECT_STREQ(ipmi_sdr_get_unit_string(0, 0, 92, 0, unit), "grams");
}

TEST_F(SelText, SensorSpecificTexts)
{
    auto text = [&](uint8_t type, uint8_t number, uint8_t event, uint8_t d1,
                    uint8_t d2, uint8_t d3) {
        std::string all = parse(record(type, number, event, d1, d2, d3));
        return all.substr(all.find("GMTUTC  ") + 8);
    };
    EXPECT_EQ(text(0x0D, 3, 0x6F, 0x05, 7, 0),
              "Drive Slot / Bay #0x03  In Critical Array  Asserted  Virtual "
              "Drive 7");
    EXPECT_EQ(text(0x0D, 3, 0x6F, 0x01, 7, 0),
              "Drive Slot / Bay #0x03  Drive Fault  Asserted  Driver Slot 7");
    EXPECT_EQ(
        text(0x0D, 3, 0x08, 0x01, 0x23, 0x85),
        std::string("Drive Slot / Bay #0x03  Device Present  Asserted  ") +
            bpHddLocateName[2] + " ZONE 3 SLOT 5");
    // Zones past the table's rows show its first row.
    EXPECT_EQ(text(0x0D, 3, 0x08, 0x01, 0xC3, 0x05),
              "Drive Slot / Bay #0x03  Device Present  Asserted  UNKOWN ZONE 3 "
              "SLOT 5");
    EXPECT_EQ(text(0x1B, 0, 0x08, 0x00, 2, 1),
              "Cable / Interconnect  Device Absent  Asserted  NIC 1 PORT 2");
    EXPECT_EQ(text(0x0C, 0, 0x6F, 0x20, 0, 0x31),
              "Memory  Correctable ECC  Asserted  CPU 1 DIMM 3");
    EXPECT_EQ(text(0x2B, 0, 0x6F, 0xC7, 0x09, 4),
              "Version Change  Firmware or software change success, system "
              "firmware (EFI/BIOS) change  Asserted  (ID = 4)");

    // Event data 2 picks the row only when data 1 says it holds a code.
    auto description = [](uint8_t type, uint8_t d1, uint8_t d2) {
        Record r = record(type, 1, 0x6F, d1, d2, 0);
        char* text = nullptr;
        ipmi_get_event_desc(r.data(), &text);
        std::string result = text != nullptr ? text : "<none>";
        std::free(text);
        return result;
    };
    EXPECT_EQ(description(0x08, 0xC6, 2), "Config Error: Processor Missing");
    EXPECT_EQ(description(0x08, 0xC6, 0x55), "Config Error");
    EXPECT_EQ(description(0x08, 0x06, 2), "Config Error");
    EXPECT_EQ(description(0x0F, 0x81, 0x01), "Memory initialization");
    EXPECT_EQ(description(0x0F, 0x81, 0x40), "Unknown Hang");
    EXPECT_EQ(description(0xC1, 0x04, 0), "Hotswap Healty");
    EXPECT_EQ(description(0x0F, 0x0E, 0), "<none>");
    Record oem = record(0x01, 1, 0x70, 0x00, 0, 0);
    char* none = reinterpret_cast<char*>(1);
    ipmi_get_event_desc(oem.data(), &none);
    EXPECT_EQ(none, nullptr);
}

// The rows in their published order: event filters name them by number.
TEST_F(SelText, TableOrderAndCounts)
{
    auto count = [](uint8_t type, uint8_t event) {
        size_t rows = 0;
        for (auto* row = ipmi_get_first_event_sensor_type(type, event);
             row != nullptr; row = ipmi_get_next_event_sensor_type(row))
        {
            ++rows;
        }
        return rows;
    };
    size_t generic = 0;
    size_t specific = 0;
    size_t oem = 0;
    for (int event = 0; event < 0x6F; ++event)
    {
        generic += count(0, static_cast<uint8_t>(event));
    }
    for (int type = 0; type < 256; ++type)
    {
        (type >= 0xC0 && type <= 0xEF ? oem : specific) +=
            count(static_cast<uint8_t>(type), 0x6F);
    }
    EXPECT_EQ(generic, 57u);
    EXPECT_EQ(specific, 336u);
    EXPECT_EQ(oem, 45u);

    const sel_event_row* first = ipmi_get_first_event_sensor_type(0, 0x01);
    EXPECT_STREQ(first[0].text, "Lower Non-critical going low ");
    EXPECT_STREQ(first[7].text, "Upper Non-critical going high");
    EXPECT_STREQ(first[56].text, "D3 Power State");
    EXPECT_EQ(first[57].text, nullptr);
    first = ipmi_get_first_event_sensor_type(0x05, 0x6F);
    EXPECT_STREQ(first[0].text, "General Chassis intrusion");
    EXPECT_STREQ(first[38].text, "Power Supply Inactive");
    EXPECT_STREQ(first[335].text, "Quiesced");
    EXPECT_EQ(first[336].text, nullptr);
    EXPECT_EQ(ipmi_get_first_event_sensor_type(0x0E, 0x6F), nullptr);

    char name[KN_SENSOR_TYPE_SIZE];
    ipmi_get_sensor_type(0x0F, name);
    EXPECT_STREQ(name, "System Firmwares");
    ipmi_get_sensor_type(0x2D, name);
    EXPECT_STREQ(name, "Unknown");
    EXPECT_STREQ(ipmi_get_generic_sensor_type(0x2C), "FRU State");
    EXPECT_EQ(ipmi_get_generic_sensor_type(0xC1), nullptr);
}

// Every sensor type and offset under the four kinds of events, with
// readings that print hundreds of digits: the text stays within the room
// the header names.
TEST_F(SelText, EveryRecordFitsItsRoom)
{
    sensor_record huge = linear(0xFFFF, 1e308, 0);
    std::memset(huge.sensor_name, 'N', sizeof(huge.sensor_name));
    huge.sensor_units_1 = 0x05;
    huge.base_unit = 0xFF;
    for (int number = 0; number < KN_SHM_SENSOR_COUNT; ++number)
    {
        placeSensor(static_cast<uint8_t>(number), huge);
    }
    size_t longest = 0;
    for (int type = 0; type < 256; ++type)
    {
        for (uint8_t event : {0x01, 0x07, 0x6F, 0x72})
        {
            for (int data1 = 0; data1 < 256; data1 += 5)
            {
                Record r = record(static_cast<uint8_t>(type),
                                  static_cast<uint8_t>(type), event | 0x80,
                                  static_cast<uint8_t>(data1), 0xF7, 0xFF);
                std::vector<char> out(KN_SEL_TEXT_ROOM, '\0');
                ASSERT_EQ(
                    ipmi_parse_sel_entry(r.data(), 0, base.data(), out.data()),
                    0);
                longest = std::max(longest, std::strlen(out.data()));
            }
        }
    }
    EXPECT_LT(longest, static_cast<size_t>(KN_SEL_TEXT_ROOM));
    EXPECT_GT(longest, 600u);
    EXPECT_EQ(event().objectName[31], '\0');
}

} // namespace
