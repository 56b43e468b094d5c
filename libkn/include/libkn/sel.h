/*
 * The system event log: records queued for the SEL owner in the main
 * shared segment, and a plain-text SEL file moved onto the SD card when it
 * grows too large.
 */
#ifndef LIBKN_SEL_H
#define LIBKN_SEL_H

#include <libkn/kn_export.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Bytes of a SEL record. */
#define KN_SEL_RECORD_SIZE 16
/* The text file in the caller's folder. */
#define KN_SEL_FILE_NAME "sel.log"
/* A SEL file of this many bytes or more is moved to KN_SEL_ARCHIVE_FOLDER. */
#define KN_SEL_FILE_LIMIT 0x800000
/* Where full SEL files go, as "sel-YYYYMMDDhhmmss.log" (local time). The
 * folder is never created: without the card the file goes on growing. */
#define KN_SEL_ARCHIVE_FOLDER "/media/card/sellog"
/* A line, and the path of the SEL file, stay below this many bytes. */
#define KN_SEL_LINE_SIZE 200

/*
 * Queues a system event record of the sensor in the main segment at base
 * (add_sel_to_shm): record id 0x0021, type 0x02, the fixed timestamp
 * E1 A2 FF 4E, generator 0x0020, revision 0x04, then the sensor type and
 * number, the event direction and type, and the three event data bytes.
 * 0, or -1 when no base is given or every queue slot is taken.
 */
KN_EXPORT int SensorSELWrite(void* base, uint8_t sensor_number, int unused,
                             uint8_t sensor_type, uint8_t event_type,
                             uint8_t data1, uint8_t data2, uint8_t data3);

/*
 * Appends "#<record_id> <number> <text>\r\n" to KN_SEL_FILE_NAME in the
 * folder (created 0755 when missing), then checks its size as
 * check_file_size does, holding the file's lock throughout. The time is in
 * seconds since the epoch (64 bits whatever the caller's time_t).
 * A text too long for the line is cut; control characters in it (TAB
 * excepted) become blanks. 0; -1 for no text or folder, a path that does
 * not fit KN_SEL_LINE_SIZE, or a failed append.
 */
KN_EXPORT int save_sel_to_file(int record_id, int64_t time, int number,
                               const char* text, const char* directory);

/*
 * 1 when the file holds less than KN_SEL_FILE_LIMIT bytes (or cannot be
 * examined); otherwise moves it to its name in KN_SEL_ARCHIVE_FOLDER for
 * the time and returns 0, whether or not the move went through. Writers
 * take turns on an exclusive lock of "<path>.lock". An archive of the same
 * name is never replaced: the new one gets "-1", "-2", ... before ".log".
 * Onto another file system the file is copied, flushed, and removed only
 * while the path still names the file copied; a card without room for the
 * copy is reported in one line on standard output and nothing is copied.
 */
KN_EXPORT int check_file_size(const char* path, int64_t time);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_SEL_H */
