/* Symbol visibility of the library's interface. */
#ifndef LIBKN_KN_EXPORT_H
#define LIBKN_KN_EXPORT_H

/* Everything in the library is hidden unless marked with KN_EXPORT. */
#if defined(__GNUC__)
#define KN_EXPORT __attribute__((visibility("default")))
#define KN_NORETURN __attribute__((noreturn))
#define KN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KN_EXPORT
#define KN_NORETURN
#define KN_PRINTF(fmt, args)
#endif

#endif /* LIBKN_KN_EXPORT_H */
