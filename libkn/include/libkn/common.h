/*
 * User access rules: whether a user may log in over an interface from a
 * client address.
 *
 * KN_USER_PRIVILEGE_FILE holds one line per user: name, the 12-character
 * privilege bits (last character = interface 0) and the ids of the rules
 * that apply ("0" to "2", one character each). KN_USER_RULES_FILE holds up
 * to three rules: id, IPv4 rule (address/mask bits), MAC rule (3 or 6
 * groups), validity (start-end), open flag (1/0), IPv6 rule
 * (address/prefix bits); an empty field restricts nothing.
 *
 * Changes are staged in the file's path followed by "_temp" and take
 * effect when updateFile commits them; checks read the committed files.
 * Every refusal is logged to "/tmp/log".
 */
#ifndef LIBKN_COMMON_H
#define LIBKN_COMMON_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define KN_USER_FOLDER "/etc/user"
#define KN_USER_RULES_FILE "/etc/user/rules"
#define KN_USER_PRIVILEGE_FILE "/etc/user/privilege"

/* Size of the MAC text that getMacByIp writes: "xx:xx:xx:xx:xx:xx". */
#define KN_MAC_TEXT_SIZE 18

/* The interface a login comes over. */
typedef enum
{
    INTERFACE_WEB = 0,
    INTERFACE_IPMI = 1,
    INTERFACE_SSH = 2,
    INTERFACE_LOCAL = 3,
    INTERFACE_REDFISH = 4,
    INTERFACE_SNMP = 5,
} userInterface;

/* Result codes: 0 allowed or done; 256 to 261 refusals; 4096 to 4105
 * errors. */
#define KN_USER_PRIVILEGE_NOT_MATCH 256
#define KN_USER_IP_NOT_MATCH 257
#define KN_USER_MAC_NOT_MATCH 258
#define KN_USER_TIME_NOT_MATCH 259
#define KN_USER_INTERNAL_ERROR 4096
#define KN_USER_PARAMETER_IP_ERROR 4097
#define KN_USER_PARAMETER_MAC_ERROR 4098
#define KN_USER_PARAMETER_TIME_ERROR 4099
#define KN_USER_PARAMETER_PRIVILEGE_ERROR 4100
#define KN_USER_OPEN_FILE_FAILED 4101
#define KN_USER_WRITE_FILE_FAILED 4102
#define KN_USER_FILE_NOT_EXIST 4103
#define KN_USER_PARAMETER_RULEID_ERROR 4104

/* Texts of the interfaces (the first 6 used), of the codes 4096 to 4105
 * (index code - 4096) and of the codes 256 to 261 (index code - 256). */
KN_EXPORT extern const char* const userInterfaceStr[12];
KN_EXPORT extern const char* const ErrorCodeStr[10];
KN_EXPORT extern const char* const FailReasonStr[6];

/*
 * The whole login check: the client address from the endpoint text (for
 * every interface but the local one), its MAC from the ARP table, then
 * checkUser. A result code; 4096 for a missing argument, an interface
 * outside 0 to 5 or an endpoint without an IPv6 address.
 */
KN_EXPORT int checkUserAllInOne(const char* user, int interface,
                                const char* endpoint);
/* The user's privilege for the interface, then each rule that applies;
 * 0 when there is no privilege file or no rules file. A result code. */
KN_EXPORT int checkUser(const char* user, const char* ip, const char* mac,
                        int interface);
/* The MAC of the IPv4 address at the end of the text, from the ARP table
 * of the interfaces that have an IPv4 address, as "%02x:...", into mac
 * (KN_MAC_TEXT_SIZE bytes); 0, or 1. The device is not used. */
KN_EXPORT int getMacByIp(const char* ip, char* mac, const char* device);
/* Commits (commit not 0) or discards the staged copy of path; 0, or 1
 * when it could not be committed. */
KN_EXPORT int updateFile(const char* path, int commit);

#ifdef __cplusplus
}

#include <bitset>
#include <ctime>
#include <set>
#include <string>
#include <utility>
#include <vector>

/* One line of the rules file. */
struct userRule
{
    int id = 0;
    std::string ipv4;      /* address/mask bits, or empty */
    std::string mac;       /* MAC prefix, or empty */
    std::string validTime; /* start-end, or empty */
    std::string ipv6;      /* address/prefix bits, or empty */
    bool openFlag = false; /* false: the rule is switched off */

    /* Stages this rule's line; throws std::exception on failure. */
    KN_EXPORT void writeRule2File() const;
};

/* One line of the privilege file. */
struct userPrivilege
{
    std::string userName;
    std::bitset<12> privilege; /* bit i: may log in over interface i */
    std::string ruleId;        /* ids of the rules that apply */

    /* Stages this privilege's line; throws std::exception on failure. */
    KN_EXPORT void writeRule2File() const;
};

/* A result code (0, 256 or a file code) and the user's rule ids. */
KN_EXPORT std::pair<int, std::string>
    checkUserPrivilege(const std::string& user, int interface);
/* Checks the client against the rule with that id (a character "0" to
 * "2"); 0, 257, 258, 259, 4096 or a file code. */
KN_EXPORT int checkUserRule(const std::string& user, const std::string& ip,
                            const std::string& mac, char ruleId, int interface);
/* 1 when the first prefix bits of the two IPv6 addresses agree (a plain
 * IPv4 client address counts as its IPv4-mapped form), else 0. */
KN_EXPORT int ipCheckRule(const std::string& clientIp,
                          const std::string& ruleIp, uint8_t prefix);
/* 1 when the rule MAC is empty or begins the client MAC (letter case
 * ignored), else 0. */
KN_EXPORT int macCheckRule(const std::string& clientMac,
                           const std::string& ruleMac);
/* 1 when now lies in the validity (empty: always), else 0. A validity that
 * cannot be read is logged and counts as valid. */
KN_EXPORT int timeCheckRule(const std::string& validTime);
/* 1 for a text without '.' (plain IPv6), else 0. */
KN_EXPORT int getIpType(const std::string& ip);
/* The client address of an endpoint text of the interface; 0, or 4096
 * when it is not an IPv6 address. */
KN_EXPORT int getIpByEndpoint(const std::string& endpoint, std::string& ip,
                              int interface);
/* The MAC of a connected IPv4 socket's peer, from the ARP table of the
 * device; 0, or the system error number. */
KN_EXPORT int getMacBySockfd(int sockfd, std::string& mac,
                             const std::string& device);
/* The names of the interfaces that have an IPv4 address, "lo" excepted. */
KN_EXPORT std::set<std::string> getAllNetdevice();
/* The rules (appended); 0, 4096 (malformed line), 4101 or 4103. */
KN_EXPORT int getUserRule(std::vector<userRule>& rules);
/* The privileges (appended); 0, 4096 (a malformed line, the others are
 * read), 4101 or 4103. */
KN_EXPORT int getUserPrivilege(std::vector<userPrivilege>& privileges);
/* Validates and stages a rule; 0 or a parameter or file code. */
KN_EXPORT int setUserRule(uint8_t id, const std::string& ipv4,
                          const std::string& mac, const std::string& validTime,
                          bool openFlag, const std::string& ipv6);
/* Validates and stages a privilege line; 0 or a parameter or file code. */
KN_EXPORT int setUserPrivilege(const std::string& user,
                               const std::string& privilege,
                               const std::string& ruleIds);
/* Writes path's staged copy: the committed lines whose first field is not
 * key, then line. Throws std::exception on failure. */
KN_EXPORT void modifyLineData(const std::string& path, const std::string& key,
                              const std::string& line);
/* Four '.'-separated decimal numbers 0 to 255 and nothing else. */
KN_EXPORT bool ipv4VerifyIp(const std::string& text);
/* 3 or 6 ':'-separated groups of two hexadecimal digits. */
KN_EXPORT bool macVerify(const std::string& text);
/* A date ("y/m/d"), a time ("h:m" or "h:m:s") or both separated by a
 * space, into date (fields not given are left as they are). */
KN_EXPORT bool convertString2Date(const std::string& text, struct tm& date);
#endif

#endif /* LIBKN_COMMON_H */
