/*
 * The BMC's own network interfaces: up/down state, link, speed, index,
 * MAC address, the bonding mode that a platform script switches, and an
 * IPv6 text parser.
 *
 * Interface requests go through a datagram socket opened for the call and
 * closed before it returns. Interface names are cut to 15 characters.
 */
#ifndef LIBKN_NET_H
#define LIBKN_NET_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Network mode codes: 0 no bonding, 1 to 7 bonding modes 0 to 6 ("bond0"
 * to "bond6"), 8 unknown. */
#define KN_NET_MODE_ETH 0
#define KN_NET_MODE_UNKNOWN 8

#define KN_BONDING_STATUS "/proc/net/bonding/bond0"
#define KN_BONDING_SCRIPT "/etc/default/obmc/bonding/bonding.sh"

/* Sets (up 1) or clears (up 0) the interface's up flag, keeping its other
 * flags; other values write the flags back as read. 0, or -1 (no name, no
 * socket, or a failed read or write of the flags, reported with perror). */
KN_EXPORT int if_updown(const char* name, int up);
/* Sets the Ethernet hardware address (6 bytes); the request's result, -1
 * for a missing argument or no socket. */
KN_EXPORT int set_mac_addr(const char* name, const uint8_t* mac);
/* The interface index, or -1. */
KN_EXPORT int net_index_get(const char* name);
/* 1 when the interface is up, 0 when not, -1 on failure. */
KN_EXPORT int net_enable_get(const char* name);
/* Brings the interface (of an alias "base:n", its base) up (1) or down
 * (0) unless it already is; 0, or -1 on failure or another request. */
KN_EXPORT int net_enable_set(const char* name, int enable);
/* 1 when the link is up (running), 0 when not, -1 on failure. */
KN_EXPORT int net_link_get(const char* name);
/* The link speed in Mb/s that the driver reports, -1 on failure. */
KN_EXPORT int net_speed_get(const char* name);

/* The mode code of "eth", "bond0" ... "bond6" (letter case ignored); 8 for
 * any other text. */
KN_EXPORT int net_mode_atoi(const char* text);
/* The text of a mode code; "unknow" outside 0 to 7. */
KN_EXPORT const char* net_mode_itoa(int code);
/* 0 without bonding; otherwise the code of the mode named on the "Bonding
 * Mode" line of KN_BONDING_STATUS; 8 when it names none or is missing. */
KN_EXPORT int net_mode_get(void);
/* Runs the bonding script for the code; 0 when it succeeds, -1 otherwise.
 * A code outside 0 to 7 runs nothing and returns 0. */
KN_EXPORT int net_mode_set(int code);
/* The "Currently Active Slave" of KN_BONDING_STATUS into the buffer (cut
 * to size - 1 characters); 0, or -1 when it cannot be read. */
KN_EXPORT int net_bond_active_slave(char* buffer, int size);

/*
 * The IPv6 address text (with an optional "%zone" suffix) as four words:
 * word k holds group 2k in its high 16 bits and group 2k + 1 in its low
 * 16 bits. 0; -1, with the words untouched, for a text that is not an
 * IPv6 address.
 */
KN_EXPORT int ipv6_parse(const char* text, uint32_t* words);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_NET_H */
