/*
 * SNMP agent settings, v3 users and trap slots.
 *
 * The settings live in the agent's configuration file KN_SNMP_CONF: the
 * port ("agentaddress"), the community ("com2sec ... default"), the v1 and
 * v2c access ("group" lines), the v3 users ("createUser", "rwuser" and
 * "rouser" lines) and the switch "#protocolEnabled" (a key=value line that
 * the agent reads as a comment). A setting is read from the first line
 * that holds its keywords, does not begin with '#' and begins with the
 * setting's keyword in any letter case (blanks around it ignored).
 *
 * Every change rewrites the file through a temporary file beside it and a
 * rename; changers take turns, and the file keeps its permissions. A
 * missing file is created readable by its owner alone (it holds the
 * community and the users' pass phrases). Changers return 0 done (also
 * when nothing needed to change), -1 for a refused argument or a file
 * failure (the file unchanged), -ENOENT when the new file could not be
 * renamed over the old one.
 *
 * Traps are handed to the trap sender in KN_SHM_TRAP_COUNT slots of the
 * main shared-memory segment (libkn/shm.h): state 0 free, 1 being
 * written, 2 ready; the sender sets a slot back to 0 once sent.
 */
#ifndef LIBKN_SNMP_H
#define LIBKN_SNMP_H

#include <libkn/kn_export.h>
#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* The agent's configuration, its persistent state, and the file of the
 * platform services' states. */
#define KN_SNMP_CONF "/etc/snmp/snmpd.conf"
#define KN_SNMP_STATE_CONF "/var/lib/net-snmp/snmpd.conf"
#define KN_OEM_BMC_CONF "/etc/oem_bmc.conf"
/* The agent's service, also the key of its state in KN_OEM_BMC_CONF. */
#define KN_SNMP_SERVICE "obmc-kn-snmp.service"

/* Port when none is configured. */
#define KN_SNMP_DEFAULT_PORT 161
/* Longest community, engine id, and v3 user name or pass phrase. */
#define KN_SNMP_TEXT_MAX 127
#define KN_SNMP_V3_TEXT_SIZE 32

/* Bits of snmp_service_status_set, done in this order: the switch in the
 * configuration (off, then on: on wins when both are set), then stop,
 * start and restart of the agent's service. */
#define KN_SNMP_PROTOCOL_OFF 0x01
#define KN_SNMP_PROTOCOL_ON 0x02
#define KN_SNMP_SERVICE_START 0x04
#define KN_SNMP_SERVICE_STOP 0x08
#define KN_SNMP_SERVICE_RESTART 0x10

/* Authentication protocols of v3 users; names compare in any case. */
typedef enum
{
    SNMP_V3_AUTHEN_SHA = 0,     /* "SHA" */
    SNMP_V3_AUTHEN_SHA256 = 1,  /* "SHA-256" */
    SNMP_V3_AUTHEN_SHA384 = 2,  /* "SHA-384" */
    SNMP_V3_AUTHEN_SHA512 = 3,  /* "SHA-512" */
    SNMP_V3_AUTHEN_SHA224 = 4,  /* "SHA-224" */
    SNMP_V3_AUTHEN_MD5 = 5,     /* "MD5" */
    SNMP_V3_AUTHEN_UNKNOWN = 6, /* not recognised */
} SNMP_V3_AUTHEN;

/* Privacy protocols of v3 users. */
typedef enum
{
    SNMP_V3_ENCRYPT_DES = 0,     /* "DES" */
    SNMP_V3_ENCRYPT_AES = 1,     /* "AES" */
    SNMP_V3_ENCRYPT_UNKNOWN = 2, /* not recognised */
} SNMP_V3_ENCRYPT;

/* Protocol versions of snmp_ver_status_set; 0 is taken as v2c too. */
typedef enum
{
    SNMP_VERSION_V1 = 1,
    SNMP_VERSION_V2C = 2,
} SNMP_VERSION;

/* One v3 user of a list made by snmp_v3_user_get; texts terminated. */
typedef struct SNMP_V3_USER
{
    uint32_t authen;  /* SNMP_V3_AUTHEN */
    uint32_t encrypt; /* SNMP_V3_ENCRYPT */
    char name[KN_SNMP_V3_TEXT_SIZE];
    char password[KN_SNMP_V3_TEXT_SIZE]; /* the authentication pass phrase */
    struct SNMP_V3_USER* next;           /* NULL at the end */
} SNMP_V3_USER;

/*
 * Puts a trap into the first free slot: id, value, severity and at most
 * KN_TRAP_TEXT_SIZE bytes of text (NUL-padded), then marks it ready.
 * Returns 0 always: without a free slot or without the segment the trap
 * is dropped and nothing is written. Senders in any process never share
 * a slot.
 */
KN_EXPORT int snmpSendTrap(uint32_t id, uint32_t value, uint8_t severity,
                           const char* text);

/* 0 when path is a FIFO or one was made there with mode; 1 after logging
 * why not. */
KN_EXPORT int checkFIFOFile(const char* path, uint32_t mode);

/*
 * Opens the trap FIFO with the flags and mode, once: the library keeps
 * the descriptor, and later calls return 0 at once. A failed open is
 * tried again after a second. 0 when open, 1 after logging the failure.
 */
KN_EXPORT int getSNMPTrapWriteFD(const char* path, int flags, uint32_t mode);

/* Writes the bytes with one write: 0 when all went out, else 1 after
 * logging the failure (also without a reader: SIGPIPE is held back). */
KN_EXPORT int snmpWriteMsg(int fd, const void* bytes, int length);

/*
 * The agent's port: from the first "agentaddress" line, the first address
 * (up to a ','), the number after its last ':', or the value itself when
 * it holds neither ':' nor '.'. KN_SNMP_DEFAULT_PORT when there is no such
 * line or number, for 0 or a number above 65535, and for an address with
 * '.' but no ':'. 0, or -1 for no output.
 */
KN_EXPORT int snmp_service_port_get(uint16_t* port);
/* Sets the port: the first "agentaddress" line (its address is dropped)
 * or a new one becomes "agentaddress   <port>". Nothing is written when
 * the port is already the one read; port 0 is refused. */
KN_EXPORT int snmp_service_port_set(uint16_t port);

/* 0 when the "#protocolEnabled" switch is "false" (any case), else 1 (also
 * without the switch). 0, or -1 for no output. */
KN_EXPORT int snmp_service_status_get(uint8_t* status);
/* Does what the KN_SNMP_* bits ask and returns 0 at once: the service
 * commands run in the background, one after the other, and the service's
 * state ("0" stopped, "1" started) goes to KN_OEM_BMC_CONF. */
KN_EXPORT int snmp_service_status_set(uint32_t flags);

/* The community (the fourth word of the first "com2sec" line that holds
 * "default"), cut to size - 1 and KN_SNMP_TEXT_MAX characters. 0, or -1
 * when there is none, for no output or a size below 1. */
KN_EXPORT int snmp_community_get(char* community, int size);
/* Sets the community: 1 to KN_SNMP_TEXT_MAX printable characters without
 * blanks or '#'; else -1. The line becomes "com2sec  mynetwork   default
 * <community>". */
KN_EXPORT int snmp_community_set(const char* community);

/* 1 when v1 (respectively v2c) access is on: a "group" line that holds
 * "v1" ("v2c"); else 0. 0, or -1 for no output or an unreadable file. */
KN_EXPORT int snmp_v1_status_get(uint8_t* status);
KN_EXPORT int snmp_v2_status_get(uint8_t* status);
/* Switches v1 or v2c access: on adds the version's group line after the
 * first comment that mentions "securityModel" (at the end without one);
 * off removes every group line of the version. -1 for a version above 2. */
KN_EXPORT int snmp_ver_status_set(SNMP_VERSION version, bool enable);

/* The engine id (second word of the first "oldEngineID" line of
 * KN_SNMP_STATE_CONF), cut like the community. 0 or -1. */
KN_EXPORT int snmp_v3_engineid_get(char* engine_id, int size);

/*
 * Lists the v3 users of the "createUser" lines in file order: name,
 * authentication protocol, pass phrase and privacy protocol, each word cut
 * to KN_SNMP_V3_TEXT_SIZE - 1 characters. Lines with fewer words or an
 * unknown protocol are left out. *head receives the list when there is at
 * least one user (set it to NULL first); free it with snmp_v3_user_free.
 * 0, or -1 for no head, an unreadable file or no memory.
 */
KN_EXPORT int snmp_v3_user_get(SNMP_V3_USER** head);
/* Frees the list and sets *head to NULL; 0. */
KN_EXPORT int snmp_v3_user_free(SNMP_V3_USER** head);
/*
 * Adds a v3 user with the net-snmp-create-v3-user tool, with the password
 * as both pass phrases. The name (1 to 31 characters, not beginning with
 * '-') and the password must hold no blank, control character or '#',
 * and both protocols must be known; otherwise -1 and nothing runs. 0 when
 * the tool succeeded, -1 when it failed or could not start.
 */
KN_EXPORT int snmp_v3_user_add(const char* name, const char* password,
                               SNMP_V3_AUTHEN authen, SNMP_V3_ENCRYPT encrypt);
/* Removes the user's first "createUser" line and its first "rwuser" or
 * "rouser" line (a missing file is created empty). */
KN_EXPORT int snmp_v3_user_del(const char* name);

/* Protocol names and codes; an unknown name gives SNMP_V3_AUTHEN_UNKNOWN
 * or SNMP_V3_ENCRYPT_UNKNOWN, an unknown code NULL. */
KN_EXPORT SNMP_V3_AUTHEN snmp_v3_authen_atoi(const char* name);
KN_EXPORT const char* snmp_v3_authen_itoa(SNMP_V3_AUTHEN authen);
KN_EXPORT SNMP_V3_ENCRYPT snmp_v3_encrypt_atoi(const char* name);
KN_EXPORT const char* snmp_v3_encrypt_itoa(SNMP_V3_ENCRYPT encrypt);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_SNMP_H */
