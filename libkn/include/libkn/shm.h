/*
 * System V shared-memory segments shared by the programs that link the
 * library, and the byte layout of the main segment.
 *
 * Segments are created on first use (mode 0777) and attached read-write.
 * init_shm, init_raid_shm and init_ai_card_shm keep one attachment per
 * process, which is never detached. init_sel_shm attaches anew on every
 * call: its caller detaches what it got with shmdt.
 *
 * Multi-byte fields of the main segment are little-endian and unaligned;
 * read and write them byte by byte at the offsets below.
 */
#ifndef LIBKN_SHM_H
#define LIBKN_SHM_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Segments: keys and sizes. */
#define KN_SHM_MAIN_KEY 0x1314500
#define KN_SHM_MAIN_SIZE 0xC00000
#define KN_SHM_SEL_KEY 0x1234500
#define KN_SHM_SEL_SIZE 0xC00000
#define KN_SHM_RAID_KEY 0x1314501
#define KN_SHM_RAID_SIZE 0x300000
#define KN_SHM_AI_CARD_KEY 0x1314502
#define KN_SHM_AI_CARD_SIZE 0x1000

/* Main segment: sensor records, indexed by sensor number. */
#define KN_SHM_SENSOR_OFFSET 33
#define KN_SHM_SENSOR_SIZE 454
#define KN_SHM_SENSOR_COUNT 255

/* Main segment: FRU device descriptors, indexed by FRU device id. */
#define KN_SHM_FRU_DEVICE_OFFSET 115803
#define KN_SHM_FRU_DEVICE_SIZE 31

/* Main segment: SEL queue. Slot flag 1 holds a record waiting to be
 * taken; KN_SEL_SLOT_BUSY is a slot being filled; anything else is free.
 * The reader takes a record and sets the flag back to 0. */
#define KN_SHM_SEL_QUEUE_OFFSET 116544
#define KN_SHM_SEL_SLOT_SIZE 81
#define KN_SHM_SEL_SLOT_COUNT 30
#define KN_SEL_SLOT_FLAG 3
#define KN_SEL_SLOT_RECORD 4
#define KN_SEL_RECORD_MAX 77
#define KN_SEL_SLOT_WAITING 1
#define KN_SEL_SLOT_BUSY 0xFF

/* Main segment: Redfish event subscriptions. */
#define KN_SHM_SUBSCRIPTION_OFFSET 128891
#define KN_SHM_SUBSCRIPTION_SIZE 837
#define KN_SHM_SUBSCRIPTION_COUNT 4

/* Main segment: the current event record and its fields. */
#define KN_SHM_EVENT_INFO_OFFSET 132239
#define KN_SHM_EVENT_INFO_SIZE 249
#define KN_EVENT_NE_UID 0
#define KN_EVENT_NE_NAME 64
#define KN_EVENT_OBJECT_UID 128
#define KN_EVENT_OBJECT_NAME 129
#define KN_EVENT_OBJECT_TYPE 161
#define KN_EVENT_ID 193
#define KN_EVENT_TIMESTAMP 197
#define KN_EVENT_SEVERITY 229
#define KN_EVENT_ALARM_STATUS 245

/* Main segment: SNMP trap slots. */
#define KN_SHM_TRAP_OFFSET 212504
#define KN_SHM_TRAP_SIZE 213
#define KN_SHM_TRAP_COUNT 16
#define KN_TRAP_STATE 0
#define KN_TRAP_ID 4
#define KN_TRAP_VALUE 8
#define KN_TRAP_SEVERITY 12
#define KN_TRAP_TEXT 13
#define KN_TRAP_TEXT_SIZE 200

/* Main segment: I2C mux claim bytes, at offset + 127 * bus + address. */
#define KN_SHM_MUX_CLAIM_OFFSET 217580
#define KN_SHM_MUX_CLAIM_STRIDE 127
#define KN_SHM_MUX_CLAIM_BUSES 15

/* Main segment: the e-mail settings record. */
#define KN_SHM_MAIL_CONFIG_OFFSET 219485

/* Address of the main segment (attached once per process), or NULL. */
KN_EXPORT void* init_shm(void);
/* The cached main-segment address, attaching it first when needed. */
KN_EXPORT void* get_shm_address(void);
/* The cached main-segment address only; NULL until attached here. */
KN_EXPORT void* get_share_mem(void);
/* A new attachment of the SEL segment on every call, or NULL; the caller
 * detaches it with shmdt. */
KN_EXPORT void* init_sel_shm(void);
/* Address of the RAID segment (attached once per process), or NULL. */
KN_EXPORT void* init_raid_shm(void);
/* Address of the AI card segment (attached once per process), or NULL. */
KN_EXPORT void* init_ai_card_shm(void);

/*
 * Queues a record of at most KN_SEL_RECORD_MAX bytes in the first free SEL
 * queue slot of the main segment at base. Returns 0; -1 for no base, no
 * record or a bad length (nothing touched); -2 when every slot holds a
 * waiting record (nothing written). Safe against other writers in any
 * process: no two share a slot, and the flag reads 1 only once the whole
 * record is in place.
 */
KN_EXPORT int add_sel_to_shm(void* base, const void* record, int length);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_SHM_H */
