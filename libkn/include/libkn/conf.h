/*
 * Configuration files: key-value files, ini files and the hwmon threshold
 * overrides.
 *
 * A key-value file holds one setting per line: key, a separator character
 * chosen by the caller, value. Keys and values are compared and returned
 * trimmed (get_valid_string). Lines without the separator are ignored by
 * lookups and kept unchanged by rewrites.
 *
 * Every rewrite builds the new content in a temporary file beside the
 * target and renames it over the target, so a reader sees the old or the
 * new file, never a mixture. Rewriters of one file take turns: each one
 * edits what the previous one left, so no change is lost.
 */
#ifndef LIBKN_CONF_H
#define LIBKN_CONF_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Output size used by read_conf_value. */
#define KN_CONF_VALUE_SIZE 128
/* Size of the buffer that GetIniKeyString returns. */
#define KN_INI_VALUE_SIZE 1024

/* The hwmon threshold file that write_to_oem_conf edits. */
#define KN_OEM_CONF_PATH "/etc/default/obmc/hwmon/oem.conf"

/* Threshold kinds of write_to_oem_conf. */
#define KN_THRESHOLD_CRITICAL_LOW 1
#define KN_THRESHOLD_CRITICAL_HIGH 2
#define KN_THRESHOLD_WARNING_LOW 3
#define KN_THRESHOLD_WARNING_HIGH 4

/* 1 when the first character that is not a space is '#', 0 otherwise (an
 * empty or all-space line too), -1 for no line. */
KN_EXPORT int check_comment_line(const char* line);

/* Trims the text in place: leading spaces, and trailing spaces, newlines,
 * carriage returns and tabs; 0, or -1 for no text. */
KN_EXPORT int get_valid_string(char* text);

/*
 * The trimmed value of the first line whose trimmed key equals key, into
 * output (cut to size - 1 characters). 0, or -1 for a missing argument, a
 * size below 1, an unreadable file or no such line.
 */
KN_EXPORT int read_conf_value_safe(const char* path, const char* key,
                                   char* output, int size, char separator);

/*
 * Sets key to value: the first line with that key is replaced by
 * "key<separator>value\n", or the line is appended (a missing file is
 * created). Nothing is written when the trimmed values are already equal.
 * 0 written or already equal; -1 for a missing argument, a key that holds
 * the separator or a line break, a value that holds a line break, or a
 * file failure (the file is then unchanged); -2 when the new file could
 * not be renamed over the old one.
 */
KN_EXPORT int write_conf_value_safe(const char* path, const char* key,
                                    const char* value, char separator);

/* Removes every line with that key. 0 removed or nothing to remove; -1 for
 * a missing argument or a file failure; -2 when the rename failed. */
KN_EXPORT int delete_conf_value_safe(const char* path, const char* key,
                                     char separator);

/* read_conf_value_safe with an output of KN_CONF_VALUE_SIZE bytes and the
 * separator '='. */
KN_EXPORT int read_conf_value(const char* path, const char* key, char* output);
/* write_conf_value_safe with the separator '='. */
KN_EXPORT int write_conf_value(const char* path, const char* key,
                               const char* value);

/*
 * Replaces the first occurrence of old_text in the file by new_text (of
 * any length). 0 replaced; 1 old text not found (the file untouched); -1
 * for a missing or empty argument or a file failure.
 */
KN_EXPORT int replace_file_value(const char* path, const char* new_text,
                                 const char* old_text);

/*
 * Sets one threshold of a sensor in KN_OEM_CONF_PATH: after a line that
 * contains the sensor name, the first line with a '=' that contains the
 * kind's key prefix ("CRITLO_", "CRITHI_", "WARNLO_", "WARNHI_") and holds
 * the index in decimal as a whole number before its '=' (index 1 is in
 * "CRITHI_temp1", not in "CRITHI_temp10") becomes "<text before its
 * '='>=<value>". Another kind changes nothing. Returns 0 in every case; a
 * failure leaves the file as it was.
 */
KN_EXPORT int write_to_oem_conf(uint8_t index, const char* sensor, int kind,
                                int64_t value);

/*
 * The value of key in the ini section [title]: the text after the '=' of
 * the first line of the section (or of a later one) that begins with key,
 * cut at a '#', with trailing spaces at its very end removed. Leading
 * spaces, and the line break when no comment follows, stay. NULL when the
 * file, the section or the key is missing, or the line has no '='. The
 * text lives in a buffer of KN_INI_VALUE_SIZE bytes of the calling thread,
 * overwritten by its next call.
 */
KN_EXPORT char* GetIniKeyString(const char* title, const char* key,
                                const char* path);
/* GetIniKeyString's text as an integer (atoi); 0 when there is none. */
KN_EXPORT int GetIniKeyInt(const char* title, const char* key,
                           const char* path);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_CONF_H */
