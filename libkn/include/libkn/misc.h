/*
 * General helpers: CRC-16, processes, files, paths, strings, code tables
 * and time texts.
 *
 * Functions that take a buffer and its size never write past that size:
 * text that does not fit is cut. A size of 0 or less is refused.
 */
#ifndef LIBKN_MISC_H
#define LIBKN_MISC_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Size of the buffer that GetCurrentPath fills. */
#define KN_CURRENT_PATH_SIZE 513
/* Size of the buffer that get_timestamp_string fills. */
#define KN_TIMESTAMP_SIZE 64
/* Size of the vendor name buffer of get_raid_hdd_manufacturer. */
#define KN_HDD_VENDOR_SIZE 8
/* Size of the name buffer of get_file_name. */
#define KN_FILE_NAME_SIZE 256
/* Size of a FRU common header checked by CalculateHeaderCrc16. */
#define KN_HEADER_CRC_SIZE 64

/* One row of a code-to-text table. */
typedef struct
{
    int code;
    const char* text;
} kn_code_string;

/* CRC-16 with polynomial 0x1021, most significant bit first, no
 * reflection, no final inversion. */
KN_EXPORT uint16_t CalculateCrc16Base(uint16_t crc, uint8_t byte);
/* CRC-16/XMODEM (start value 0) of the buffer. */
KN_EXPORT uint16_t calc_crc16(const uint8_t* buffer, uint32_t length);
/* CRC of a 64-byte header, bytes 36 to 39 left out. Any other length
 * returns start unchanged. */
KN_EXPORT uint16_t CalculateHeaderCrc16(uint16_t start, const uint8_t* buffer,
                                        uint64_t length);

/* First process id that `pidof name` reports, 0 when there is none. A
 * name that is empty or begins with '-' gives 0. */
KN_EXPORT int get_pid_by_name(const char* name);
/* Queues the signal with the value to the process found by name;
 * sigqueue's result, or -1 when no such process runs. */
KN_EXPORT int send_signal_to_process(const char* name, int signal, int value);
/* Base name of the executable of process pid (-1: the caller); 0 or -1. */
KN_EXPORT int app_name_get(int pid, char* buffer, int size);
/* 1 when the process exists, else 0. */
KN_EXPORT int app_pid_existed(int pid);
/* Directory of the running program's command path followed by name, in a
 * buffer of KN_CURRENT_PATH_SIZE bytes. A command path without a '/'
 * gives the name alone. 0, or -1 for no buffer. */
KN_EXPORT int GetCurrentPath(char* buffer, const char* name);

/* The first line's integer into value; 0, or -1 for no path, an
 * unopenable or an empty file. */
KN_EXPORT int read_file_value_error(const char* path, int* value);
/* The first line's integer, 0 for an empty file, -1 for no path or a file
 * that cannot be opened or read. */
KN_EXPORT int read_file_value(const char* path);
/* Replaces the file with the value in decimal; 0 or -1. */
KN_EXPORT int write_file_value(const char* path, int value);
/* Replaces the file with the bytes; 0 or -1. */
KN_EXPORT int write_bin_value(const char* path, const void* buffer, int size);
/* Replaces the file with the text; 0 or -1. */
KN_EXPORT int writeFile(const char* path, const char* text);
/* Replaces the file with the text; bytes written or -1. */
KN_EXPORT int write_file_str_truncate(const char* path, const char* text);
/* Appends the bytes, creating the file; bytes written or -1. */
KN_EXPORT int write_file_str(const char* path, const void* buffer, int size);
/* The first line (newline included, cut to size - 1) into buffer; 0, or
 * -1 when the file cannot be opened or read (a read error leaves ""). */
KN_EXPORT int read_file_str(const char* path, char* buffer, int size);
/* Appends the whole file to the text already in buffer (cut to size - 1
 * characters in all) and removes one final newline; 0, or -1 when the file
 * cannot be opened or read (the buffer's text then stays as it was). */
KN_EXPORT int read_all_file(const char* path, char* buffer, int size);
/* Copies source into destination; 0 (also when both name the same file,
 * which is left alone), 128 when one cannot be opened, -1 when the copy
 * fails on the way. */
KN_EXPORT int copy_file_func(const char* source, const char* destination);
/* Size in bytes, 0 for no path or a file that cannot be examined. */
KN_EXPORT int64_t get_file_size(const char* path);
/* Name of the first subdirectory of directory whose name contains text,
 * into output (KN_FILE_NAME_SIZE bytes); 0 found, 1 none, -1 failure. */
KN_EXPORT int get_file_name(const char* directory, const char* text,
                            char* output);
/* Creates the directory (0777) unless the path exists; 0 or mkdir's
 * result; -1 for no path. */
KN_EXPORT int path_create(const char* path);
/* 1 when the path exists, else 0. */
KN_EXPORT int file_existed(const char* path);
/* Copies path into buffer (cut to size - 1) and returns the part after
 * its last '/' inside the buffer; an empty text for no path or buffer. */
KN_EXPORT char* file_path_get(const char* path, char* buffer, int size);
/* The part of path after its last '/'; an empty text for no path. */
KN_EXPORT char* file_name_get(const char* path);
/* 0 when the image holds the firmware volume marker at one of the 1 MiB
 * steps from 7 to 15 MiB, else 1. */
KN_EXPORT int bios_is_legal(const char* path);

/* Reverses text in place; returns it. */
KN_EXPORT char* strrev(char* text);
/* Removes leading and trailing spaces in place; 0, or -1 for no text. */
KN_EXPORT int delete_string_blank(char* text);
/* Removes trailing spaces; returns a pointer past the leading ones. */
KN_EXPORT char* rtspace(char* text);
/* First character of text not in set (NULL set: " \t\n\r"). */
KN_EXPORT char* skip_leading_chars(char* text, const char* set);
/* Cuts text after its last character not in set (NULL: " \t\n\r"). */
KN_EXPORT char* delete_trailing_chars(char* text, const char* set);
/* Both of the above with " \t\n\r". */
KN_EXPORT char* string_strip(char* text);
/* 1 for no text or an empty text, else 0. */
KN_EXPORT int is_empty(const char* text);
/* Code of the first row whose text equals text, -1 when none. */
KN_EXPORT int string_to_int(const kn_code_string* table, int count,
                            const char* text);
/* Text of the first row with code, an empty text when none. */
KN_EXPORT const char* int_to_string(const kn_code_string* table, int count,
                                    int code);
/* Sorts ascending in place, keeping equal values in order; returns it. */
KN_EXPORT int32_t* bubble_sort(int32_t* values, int count);
/* Vendor of a drive model ("Intel", "Samsung", "Seagate") into output
 * (KN_HDD_VENDOR_SIZE bytes); 0, or -1 with output untouched. */
KN_EXPORT int get_raid_hdd_manufacturer(const char* model, char* output);
/* Local time as ctime text without its newline, into a buffer of
 * KN_TIMESTAMP_SIZE bytes; 0, or -1 for no buffer. */
KN_EXPORT int get_timestamp_string(char* buffer);
/* Local time as "YYYY-MM-DD HH:MM:SS" (cut to size - 1); returns buffer,
 * or an empty text for no buffer. */
KN_EXPORT char* time_string_get(char* buffer, int size);

/* 2 when the 10-slot backplane is fitted (its marker
 * "/var/run/backplane/10p0.json" exists, or board id 14 answers on bus 1 at
 * 0x3f), 1 otherwise. */
KN_EXPORT int read_chassis_type(void);

#ifdef __cplusplus
}

#include <string>
#include <vector>

/*
 * Splits text at every separator: adjacent separators give an empty
 * piece, a final separator an empty last piece, an empty text no piece.
 */
KN_EXPORT void split(std::vector<std::string>& pieces, const std::string& text,
                     char separator);
#endif

#endif /* LIBKN_MISC_H */
