/*
 * JSON files and typed values, on top of cJSON.
 *
 * This header brings the whole cJSON interface (<cjson/cJSON.h>) to the
 * library's users: a program that builds with the library's pkg-config
 * entry also gets cJSON's flags and library, so it may call cJSON_Parse,
 * cJSON_Delete and the rest directly. Trees returned here are freed with
 * cJSON_Delete.
 */
#ifndef LIBKN_JSON_H
#define LIBKN_JSON_H

#include <cjson/cJSON.h>
#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Value kinds of cjson_data_get: what the output receives. */
#define KN_JSON_UINT8 0  /* uint8_t */
#define KN_JSON_INT16 1  /* int16_t */
#define KN_JSON_INT32 2  /* int32_t */
#define KN_JSON_INT64 3  /* int64_t */
#define KN_JSON_TEXT 4   /* text, cut to the output length - 1 */
#define KN_JSON_FLOAT 5  /* float */
#define KN_JSON_DOUBLE 6 /* double */

/* The parsed tree of the whole file (free it with cJSON_Delete), or NULL
 * for a missing, empty, unreadable or malformed file. */
KN_EXPORT cJSON* prepare_parse_json(const char* path);

/*
 * The item's value converted to the kind, into output (length bytes).
 * Numbers are taken as they are, true and false as 1 and 0, strings
 * through atof; integer kinds truncate toward zero and keep the low bits
 * of the result. Kind KN_JSON_TEXT copies a string unchanged and prints a
 * number or boolean with "%lf". 0, or -1 for a missing item or output, a
 * length too small for the kind, an unknown kind, an item that is not a
 * number, boolean or string, or a number that no 64-bit integer holds.
 */
KN_EXPORT int cjson_data_get(const cJSON* item, int kind, void* output,
                             int length);

/* cjson_data_get of the object's member named key (letter case ignored);
 * -1 when there is no such member. */
KN_EXPORT int cjson_value_get(const cJSON* object, const char* key, int kind,
                              void* output, int length);

/* Replaces the file with the object printed formatted, through a new file
 * renamed over it. 0, or -1 (the file is then unchanged). */
KN_EXPORT int cjson_file_write(const cJSON* object, const char* path);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_JSON_H */
