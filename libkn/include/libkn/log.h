/*
 * Logging of the library and its callers.
 *
 * Every function opens its file for one line and closes it again; a file
 * that cannot be opened is skipped, so logging never fails its caller.
 * Each line goes out with a single write on a descriptor opened for
 * appending: lines of several processes interleave whole.
 */
#ifndef LIBKN_LOG_H
#define LIBKN_LOG_H

#include <libkn/kn_export.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Number of rows in the log file tables, and the size of one row. */
#define KN_LOG_TYPE_COUNT 6
#define KN_LOG_PATH_SIZE 64

/* Log types, the row of log_path and nv_log_path used by log_call. */
#define KN_LOG_ERROR 0
#define KN_LOG_WARN 1
#define KN_LOG_INFO 2
#define KN_LOG_DEBUG 3
#define KN_LOG_SEL_EXTRA 4
#define KN_LOG_ACTION 5

/* A working log of this many bytes or more is archived and emptied. */
#define KN_LOG_ARCHIVE_LIMIT 0x400000

/* Formatted messages are cut at this many characters. */
#define KN_LOG_MESSAGE_SIZE 1024

/*
 * Working logs and their archives on the SD card, indexed by log type.
 * Writable: a caller may change a row (at most 63 characters and a NUL)
 * before logging; a row is never read past its 64 bytes.
 */
KN_EXPORT extern char log_path[KN_LOG_TYPE_COUNT][KN_LOG_PATH_SIZE];
KN_EXPORT extern char nv_log_path[KN_LOG_TYPE_COUNT][KN_LOG_PATH_SIZE];

/* Severity given to _kn_logv; it does not change what is written. */
typedef enum
{
    KN_SYSTEM_LOG_ERROR = 0,
    KN_SYSTEM_LOG_WARNING = 1,
    KN_SYSTEM_LOG_INFO = 2,
    KN_SYSTEM_LOG_DEBUG = 3,
} KNSystemLogSeverity;

/* Appends the formatted text unchanged to "/tmp/log-bmc". */
KN_EXPORT void plog(const char* format, ...) KN_PRINTF(1, 2);

/* Appends "[pid] yy-mm-dd HH:MM:SS message\n" to "/tmp/log". */
KN_EXPORT void kestrelonLog(const char* format, va_list args) KN_PRINTF(1, 0);
KN_EXPORT void kestrelon_log(const char* format, ...) KN_PRINTF(1, 2);

/* Appends "libkn[pid][yy-mm-dd HH:MM:SS]: " and the message, without
 * adding a newline, to "/tmp/log". */
KN_EXPORT void _kn_logv(KNSystemLogSeverity severity, const char* format,
                        va_list args) KN_PRINTF(2, 0);
KN_EXPORT void _kn_warn(const char* format, ...) KN_PRINTF(1, 2);

/* _kn_warn(format, base name of file, line, a, b). */
KN_EXPORT void _kn_warn_message(const char* format, const char* a,
                                const char* b, const char* file, int line);

/* Reports a failed check of a function's precondition. */
KN_EXPORT void _kn_warn_return_if_fail(const char* function,
                                       const char* expression, const char* file,
                                       int line);

/* Writes the calling thread's backtrace to "/tmp/log". */
KN_EXPORT void _kn_print_backtrace(void);

/* Writes the backtrace, then ends the process with exit status 1. */
KN_EXPORT KN_NORETURN void _kn_abort(void);

/* Returns condition; when it is 0, logs the failed assertion and aborts. */
KN_EXPORT unsigned _kn_real_assert(unsigned condition, const char* expression,
                                   const char* file, int line,
                                   const char* function);

/* Logs that the code should not have been reached and aborts. */
KN_EXPORT KN_NORETURN void _kn_real_assert_not_reached(const char* function,
                                                       const char* file,
                                                       int line);

/*
 * Appends "<ctime text>-<message>\n" to the working log of the type,
 * archiving and emptying it first when it reached KN_LOG_ARCHIVE_LIMIT.
 * Writers in any process take turns on a lock of the working log from the
 * size check to their line, so a full log is archived once and no line is
 * lost. Debug lines are written only while "/tmp/debug.log" exists.
 * Returns 0 (also when the log cannot be opened), -1 for a debug line
 * while debugging is off, or the printed length of the message about a
 * type outside 0..5.
 */
KN_EXPORT int log_call(int type, const char* format, ...) KN_PRINTF(2, 3);

/*
 * Archives the working log at path when it holds KN_LOG_ARCHIVE_LIMIT
 * bytes or more: its content is appended to the type's nv_log_path row
 * followed by the local time, when "/media/card" exists (the archive's
 * folder is created when missing). A copy that fails is cut off the
 * archive again, and a line on standard output tells so.
 * Returns 1 when the working log is to be started afresh, 0 when it is
 * below the limit, -1 when it cannot be opened or the type is outside
 * the tables.
 */
KN_EXPORT int save_log_to_nv_storage(int type, const char* path);

/* Precondition checks: the function name used in their reports. The macro's
 * name is the library's own, quoted in the checks' expression text. */
/* NOLINTNEXTLINE(bugprone-reserved-identifier) */
#define _KN_FUNCTION_NAME __func__

/*
 * Returns val from the calling function, after reporting the expression,
 * when expr is false.
 */
#define KN_RETURN_VAL_IF_FAIL(expr, val)                                       \
    do                                                                         \
    {                                                                          \
        _kn_real_assert(1, "(*(const char*)_KN_FUNCTION_NAME) != '_'",         \
                        __FILE__, __LINE__, _KN_FUNCTION_NAME);                \
        if (!(expr))                                                           \
        {                                                                      \
            _kn_warn_return_if_fail(_KN_FUNCTION_NAME, #expr, __FILE__,        \
                                    __LINE__);                                 \
            return (val);                                                      \
        }                                                                      \
    } while (0)

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_LOG_H */
