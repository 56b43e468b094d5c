/* Symbol visibility of the library's interface. */
#ifndef LIBKN_KN_EXPORT_H
#define LIBKN_KN_EXPORT_H

/* Everything in the library is hidden unless marked with KN_EXPORT. */
#if defined(__GNUC__)
#define KN_EXPORT __attribute__((visibility("default")))
#define KN_NORETURN __attribute__((noreturn))
#define KN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
/* Records whose byte layout is shared with other programs. */
#define KN_PACKED __attribute__((packed))
#else
#define KN_EXPORT
#define KN_NORETURN
#define KN_PRINTF(fmt, args)
#define KN_PACKED
#endif

#endif /* LIBKN_KN_EXPORT_H */
