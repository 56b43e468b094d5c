/*
 * One-line texts of IPMI system event log records, and the conversion of
 * raw sensor readings into engineering units.
 *
 * A SEL record is the 16-byte IPMI system event record: byte 2 record
 * type, 3-6 timestamp (little-endian), 10 sensor type, 11 sensor number,
 * 12 event direction (bit 7: deassertion) and event/reading type (bits
 * 6:0), 13-15 event data 1 to 3.
 *
 * The event description tables follow the generic, sensor-specific and
 * OEM event tables of IPMI 2.0, in that order; the row order is part of
 * the interface (event filters name rows by number).
 */
#ifndef LIBKN_SEL_PARSE_H
#define LIBKN_SEL_PARSE_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Room that ipmi_parse_sel_entry and web_parse_sel_entry may append to the
 * output beyond the text already in it, terminator included. */
#define KN_SEL_TEXT_ROOM 1536
/* Size of the output of ipmi_sdr_get_unit_string. */
#define KN_UNIT_TEXT_SIZE 64
/* Size of the output of ipmi_get_sensor_type. */
#define KN_SENSOR_TYPE_SIZE 32
/* Size of the static text of ipmi_timestamp_fmt, and of the outputs of
 * ipmi_timestamp_date and ipmi_timestamp_time. */
#define KN_TIMESTAMP_TEXT_SIZE 80
/* A timestamp that was never set. */
#define KN_TIMESTAMP_INVALID 0xFFFFFFFFU
/* Timestamps below this count seconds since initialisation. */
#define KN_TIMESTAMP_SPECIAL 0x20000000

/* One row of an event description table; a row with a NULL text ends a
 * table. data 0xFF matches any event data 2. */
typedef struct KN_PACKED
{
    uint8_t code;
    uint8_t offset;
    uint8_t data;
    const char* text;
} sel_event_row;

/*
 * A sensor record of the main shared segment (454 bytes, record n at
 * KN_SHM_SENSOR_OFFSET + KN_SHM_SENSOR_SIZE * n). Multi-byte fields are
 * little-endian and unaligned.
 */
typedef struct KN_PACKED
{
    uint8_t reserved0[3];
    int8_t r_exponent; /* result exponent R */
    uint8_t reserved4;
    uint16_t m; /* multiplier M */
    double b;   /* offset B, already scaled */
    uint8_t reserved15[29];
    char sensor_name[52];       /* NUL-terminated; empty: none */
    int32_t analog_data_format; /* 0 unsigned, 1 one's, 2 two's complement */
    int32_t linearization;      /* low 7 bits */
    uint8_t reserved104[317];
    uint8_t sensor_units_1; /* bit 0 percentage, bits 2:1 modifier type */
    uint8_t base_unit;
    uint8_t reserved423[31];
} sensor_record;

/*
 * Appends the record's text to out (terminated; see KN_SEL_TEXT_ROOM) and
 * fills objectUID, objectName, objectType and EventTimestamp of the
 * current event record of the main segment at base. 0; -1 for no record,
 * no output or no base, or a record of type 0xF0 (output unchanged).
 */
KN_EXPORT int ipmi_parse_sel_entry(const uint8_t* record, int unused,
                                   void* base, char* out);
/* The same text from the sensor record given; no event record is
 * written. */
KN_EXPORT int web_parse_sel_entry(const uint8_t* record, int unused,
                                  sensor_record sensor, char* out);

/* The raw reading in the record's units, linearised. */
KN_EXPORT double sdr_convert_sensor_reading(sensor_record sensor, uint8_t raw);
/* The unit text ("degrees C", "% Volts", "Watts/hour", ...) into out
 * (KN_UNIT_TEXT_SIZE bytes); returns out. Codes of 93 and above name
 * "invalid". */
KN_EXPORT char* ipmi_sdr_get_unit_string(int percentage, uint8_t modifier_type,
                                         uint8_t base, uint8_t modifier,
                                         char* out);

/* *out: a new copy (free it) of the record's event description, or NULL
 * when the tables have none. */
KN_EXPORT void ipmi_get_event_desc(const uint8_t* record, char** out);
/* First row describing events of the sensor type and event type, or
 * NULL: OEM rows for sensor-specific events of types 0xC0 to 0xEF, the
 * sensor-specific rows for the other sensor-specific events, the generic
 * rows by event type for the rest. */
KN_EXPORT const sel_event_row*
    ipmi_get_first_event_sensor_type(uint8_t sensor_type, uint8_t event_type);
/* The next row of the same table with the same code, or NULL. */
KN_EXPORT const sel_event_row*
    ipmi_get_next_event_sensor_type(const sel_event_row* row);

/* The sensor type name into out (KN_SENSOR_TYPE_SIZE bytes), "Unknown"
 * above 0x2C; returns 0 (-1 for no output). */
KN_EXPORT int ipmi_get_sensor_type(uint8_t sensor_type, char* out);
/* The name of a sensor type up to 0x2C, NULL above. */
KN_EXPORT const char* ipmi_get_generic_sensor_type(uint8_t sensor_type);

/* 0 only for KN_TIMESTAMP_INVALID. */
KN_EXPORT int ipmi_timestamp_is_valid(uint32_t time);
/* 1 when the time, as a signed value, is below KN_TIMESTAMP_SPECIAL. */
KN_EXPORT int ipmi_timestamp_is_special(uint32_t time);
/* strftime of the time ("Unknown" for KN_TIMESTAMP_INVALID): times up to
 * KN_TIMESTAMP_SPECIAL (signed) in UTC, later ones in local time. */
KN_EXPORT int ipmi_strftime(char* out, int size, const char* format,
                            uint32_t time);
/* The time in a static buffer of KN_TIMESTAMP_TEXT_SIZE bytes shared by
 * every call: not thread-safe. */
KN_EXPORT const char* ipmi_timestamp_fmt(uint32_t time, const char* format);
/* "%x", or "S+ %y/%j" for a special time, into out; NULL (out untouched)
 * for an invalid time. */
KN_EXPORT char* ipmi_timestamp_date(uint32_t time, char* out);
/* "%X GMT%Z" into out; NULL (out untouched) for an invalid time. */
KN_EXPORT char* ipmi_timestamp_time(uint32_t time, char* out);
/* Local time minus UTC in whole hours, folded into -12..12, in seconds. */
KN_EXPORT int get_time_zone_offset(void);
/* 0. */
KN_EXPORT int get_sensor_unit(int unused);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_SEL_PARSE_H */
