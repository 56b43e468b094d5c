/*
 * Redfish event posts to the subscribers kept in the main shared segment.
 *
 * Each subscriber that wants an event gets one POST through the outside
 * program curl (run directly, no shell), which gives up after 5 seconds;
 * nothing is retried. Cookies are kept in the file "cjar" of the current
 * folder, and the server's certificate is not checked.
 */
#ifndef LIBKN_REDFISH_H
#define LIBKN_REDFISH_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Bits of a subscription's event-type mask. */
#define KN_EVENT_TYPE_STATUS_CHANGE 0x01
#define KN_EVENT_TYPE_RESOURCE_UPDATED 0x02
#define KN_EVENT_TYPE_RESOURCE_ADDED 0x04
#define KN_EVENT_TYPE_RESOURCE_REMOVED 0x08
#define KN_EVENT_TYPE_ALERT 0x10
/* Room eventtypeToStr may append, terminator included. */
#define KN_EVENT_TYPES_TEXT_SIZE 72
/* Size of the text of getspecificProblem. */
#define KN_SPECIFIC_PROBLEM_SIZE 124
/* Characters of the message that go into a post. */
#define KN_EVENT_MESSAGE_MAX 1023

/* A subscription (837 bytes) of the main segment, record i at
 * KN_SHM_SUBSCRIPTION_OFFSET + KN_SHM_SUBSCRIPTION_SIZE * i. */
typedef struct KN_PACKED
{
    uint8_t reserved;
    uint8_t in_use;      /* non-zero: in use */
    uint8_t event_types; /* KN_EVENT_TYPE_* bits */
    char token[64];      /* X-Auth-Token */
    char destination[256];
    uint8_t no_message_filter; /* 1: the filters below are not used */
    uint8_t all_sensors;       /* 1: every sensor */
    /* 0 empty, else 1 + a row number of the generic or sensor-specific
     * event table: messages holding that row's text are not sent. */
    uint8_t generic_filter[128];
    uint8_t specific_filter[128];
    uint8_t sensor_select[256]; /* by sensor number: non-zero selected */
} event_subscription;

/* The current event record (249 bytes) at KN_SHM_EVENT_INFO_OFFSET.
 * Numbers are little-endian; texts need not be terminated. */
typedef struct KN_PACKED
{
    char neUID[64];
    char neName[64];
    uint8_t objectUID;
    char objectName[32];
    char objectType[32];
    uint32_t EventId;
    char EventTimestamp[32];
    char Severity[16];
    uint32_t alarmStatus;
} event_info;

/* Posts the event (its SEL record and rendered message) to every
 * subscription in use of the main segment at base that wants it. 0, or -1
 * for a missing argument. */
KN_EXPORT int send_event_subscriptions(void* base, const uint8_t* record,
                                       const char* message);
/* 1 when the subscription wants the event: its sensor is selected, the
 * event type is wanted and no filter row's text is in the message; else
 * 0. */
KN_EXPORT int check_event_subscription_active(event_subscription subscription,
                                              const uint8_t* record,
                                              const char* message);
/* 0 when the mask wants the record's event type (threshold, generic and
 * sensor-specific events: Alert; others: any of the other four), else
 * -1. */
KN_EXPORT int check_event_subscription_type(uint8_t mask,
                                            const uint8_t* record);
/*
 * Fills neUID and neName of info (getUIDandAssetTag) and posts the event
 * to the subscription's destination with its token. curl's wait status as
 * system() gives it; -1 with nothing run for a destination that is empty
 * or not http or https, or a token holding CR or LF.
 */
KN_EXPORT int send_curl_message(const event_subscription* subscription,
                                const char* message, event_info* info);
/* Appends the names of the mask's bits, in bit order and separated by ","
 * (at most KN_EVENT_TYPES_TEXT_SIZE bytes); returns out. */
KN_EXPORT char* eventtypeToStr(uint8_t mask, char* out);
/* The first event table row (generic, sensor-specific, then OEM) whose
 * text is in the message: id = table class << 28 | code << 8 | offset
 * and its text (KN_SPECIFIC_PROBLEM_SIZE bytes); 0xFFFFFFFF and "Unknown
 * Problem" when none is. */
KN_EXPORT void getspecificProblem(const char* message, uint32_t* id,
                                  char* text);
/* The BMC's GUID (first line of "/var/run/obmcinfo/GUID") and the
 * "Product Asset Tag" of "/var/run/obmcinfo/fruinfo"; the result of the
 * asset tag's read (0 or -1). */
KN_EXPORT int getUIDandAssetTag(char* guid, int guid_size, char* asset,
                                int asset_size);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_REDFISH_H */
