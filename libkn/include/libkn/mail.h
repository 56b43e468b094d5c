/*
 * E-mail alert settings: the record shared in the main shared-memory
 * segment, and the "set" lines of the mail client's file.
 *
 * The file holds key=value lines (libkn/conf.h): "set smtp" (the server
 * as "smtp://server:port", or "smtps://" with TLS), and with a login
 * "set smtp-auth" ("login"), "set from", "set smtp-auth-user" and
 * "set smtp-auth-password". Without a login the user and password are
 * kept in "#set smtp-auth-user" and "#set smtp-auth-password"; the
 * recipients ("#user-recv", separated by spaces), the active flag
 * ("#active") and the error level ("#error-level") are comment lines too.
 * Other lines are left alone. A missing file is created readable by its
 * owner alone (it holds the password); an existing one keeps its
 * permissions.
 */
#ifndef LIBKN_MAIL_H
#define LIBKN_MAIL_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* The mail client's file when the caller names none. */
#define KN_MAIL_CONF "/var/lib/ipmi/nail.rc"

#define KN_MAIL_RECIPIENTS 5
/* The record's size, up to the end of auth. */
#define KN_MAIL_CONFIG_SIZE 856

/*
 * The settings record, laid out byte for byte as the programs that share
 * it expect: no padding, texts terminated within their fields, integers
 * 32-bit little-endian at any address (the library reads and writes them
 * byte by byte). The reserved ranges belong to other programs.
 */
typedef struct KN_PACKED mail_config
{
    char user[64];     /* login name, also the sender when logging in */
    char server[64];   /* host name or IPv4 address */
    char password[32]; /* login password */
    char recipient[KN_MAIL_RECIPIENTS][64]; /* up to the first empty one */
    uint8_t reserved[288];
    char active[8]; /* the active flag as text, stored verbatim */
    uint32_t port;  /* 0: 465 with TLS, 25 without */
    uint8_t reserved2[64];
    uint32_t error_level;
    uint32_t tls;  /* 1: "smtps://", 0: "smtp://" */
    uint32_t auth; /* 1: log in to the server */
} mail_config;

/*
 * Fills the record from the file (KN_MAIL_CONF for NULL). The fields the
 * file sets are cleared first, so a missing line leaves its field empty;
 * the reserved ranges are not touched. 0, or -1 for no record or a file
 * that does not exist (the record untouched).
 */
KN_EXPORT int read_email_config(const char* path, mail_config* config);

/*
 * Writes the record's lines into the file (KN_MAIL_CONF for NULL); lines
 * whose value is already there are not rewritten. Every line is tried; 0
 * when all were written, -1 for no record or when any write or removal
 * failed (a value holding a line break, a file that cannot be written).
 */
KN_EXPORT int write_email_config(const char* path, const mail_config* config);

/* The record in the main shared-memory segment, or NULL without the
 * segment. */
KN_EXPORT mail_config* get_mail_config(void);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_MAIL_H */
