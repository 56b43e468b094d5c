/*
 * Detection of the drive backplanes, riser cards, M.2 cards and IO
 * expansion boards, by the identification registers of their CPLDs, and
 * the files that describe what was found for the BMC's other programs:
 * one JSON text per backplane and a presence marker per board under
 * KN_BACKPLANE_FOLDER, and binary bus maps of the cards behind switches.
 *
 * An identification byte holds the board id in its low 5 bits and the
 * PCB version in bits 5 and 6 (written as 'A' plus their value); all 8
 * bits together have odd parity.
 *
 * A bus map file is a little-endian u32 count followed by
 * KN_BUS_MAP_RECORDS records (unused ones zero), rewritten whole and only
 * when at least one record was found.
 *
 * The tables are writable, as the callers' configuration: row counts above
 * a table's rows are taken as its rows.
 */
#ifndef LIBKN_BACK_PLANE_MGT_H
#define LIBKN_BACK_PLANE_MGT_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define KN_BACKPLANE_FOLDER "/var/run/backplane"
#define KN_MP2_BUS_MAP "/run/backplane/mp2_bus_config"
#define KN_IOX_BUS_MAP "/run/backplane/iox_bus_config"
#define KN_RISER_BUS_MAP "/var/run/backplane/riser_bus_config"
/* Records of a bus map file. */
#define KN_BUS_MAP_RECORDS 8

/* Result codes of the detection functions. */
#define KN_BP_OK 0
#define KN_BP_OPEN_BUS_FAILED 1
#define KN_BP_TRANSFER_FAILED 2
#define KN_BP_OPEN_FILE_FAILED 3
#define KN_BP_PARITY_ERROR 4
#define KN_BP_WRITE_FAILED 5
#define KN_BP_ID_MISMATCH 6
/* iox_present_detect: the board CPLD could not be read. */
#define KN_BP_CPLD_READ_FAILED 128

/* Card name of each board id (0 to 31). */
#define KN_BOARD_NAME_ROWS 32
#define KN_BOARD_NAME_SIZE 64
KN_EXPORT extern char baord_name[KN_BOARD_NAME_ROWS][KN_BOARD_NAME_SIZE];

/* Names of the backplane models in drive locations; row 0 "UNKOWN". */
#define KN_HDD_LOCATE_ROWS 10
#define KN_HDD_LOCATE_SIZE 30
KN_EXPORT extern char bpHddLocateName[KN_HDD_LOCATE_ROWS][KN_HDD_LOCATE_SIZE];

/* Drive SSD channels {i2c bus, extension index, slot} of the backplane at
 * index 0. */
KN_EXPORT extern uint8_t d2p_right_cfg[2][3];
KN_EXPORT extern uint8_t d8p_right_cfg[8][3];
KN_EXPORT extern uint8_t d12p_right_cfg[4][3];

/* M.2 card buses: {bus, presence device, switch address (0: none), card
 * device, card bus}; the first max_config_number rows are used. */
#define KN_BUS_CONFIG_ROWS 5
KN_EXPORT extern uint8_t m2_bus_config[KN_BUS_CONFIG_ROWS][5];
KN_EXPORT extern int max_config_number;
/* IO expansion boards: {bus, id device, 0, 0, bus recorded}; the first
 * iox_config_number rows are used. */
KN_EXPORT extern uint8_t iox_bus_config[KN_BUS_CONFIG_ROWS][5];
KN_EXPORT extern int iox_config_number;
/* The riser: {bus, id device, switch address, riser device, channel}. */
KN_EXPORT extern uint8_t riser_bus_config[5];

/* 0 when the low `bits` bits of value (at most 32 are counted) hold an
 * odd number of ones, KN_BP_PARITY_ERROR otherwise. */
KN_EXPORT int odd_check(uint32_t value, int bits);

/* Appends text (when not NULL) to path, creating it. 0,
 * KN_BP_OPEN_FILE_FAILED when it cannot be opened, KN_BP_WRITE_FAILED
 * when the write fails. */
KN_EXPORT int create_and_write_file(const char* path, const char* text);

/*
 * Writes the two bytes reg, value to the device. With ext not 0 the bus
 * is CmmFunGetI2CExtBus(bus, ext); an answer of 0 or below gives
 * KN_BP_OPEN_BUS_FAILED with nothing sent. 0, KN_BP_OPEN_BUS_FAILED or
 * KN_BP_TRANSFER_FAILED (logged).
 */
KN_EXPORT int write_cpld_reg(uint8_t bus, uint8_t ext, uint8_t address,
                             uint8_t reg, uint8_t value);

/*
 * Detect one backplane through its CPLD (id register at offset, presence
 * bits at 25, media bits at 9, version at 8) and write its JSON file
 * KN_BACKPLANE_FOLDER "/<kind><index>.json", emptied first. A result code;
 * after a failed register read the file holds only the opening text.
 * Board ids accepted: 2-slot 31 and 8-slot 10 (board_id not used),
 * 12-slot board_id when 8, 11 or 24, 25-slot 9 at index 0 and 25 at any
 * other, 2-slot 3.5" board_id.
 */
KN_EXPORT int f2p_backpalne_detect(int index, uint8_t board_id, uint8_t bus,
                                   uint8_t address, uint8_t offset);
KN_EXPORT int f8p_backpalne_detect(int index, uint8_t board_id, uint8_t bus,
                                   uint8_t address, uint8_t offset);
KN_EXPORT int f12p_backpalne_detect(int index, uint8_t board_id, uint8_t bus,
                                    uint8_t address, uint8_t offset);
KN_EXPORT int f25p_backpalne_detect(int index, uint8_t board_id, uint8_t bus,
                                    uint8_t address, uint8_t offset);
KN_EXPORT int f2p_backpalne_3p5_detect(int index, uint8_t board_id, uint8_t bus,
                                       uint8_t address, uint8_t offset);

/* Checks the board's id register; on a match writes the presence marker
 * KN_BACKPLANE_FOLDER "/<name>.json" (emptied first). A result code;
 * KN_BP_OPEN_FILE_FAILED for a name that is empty, holds '/' or does not
 * fit the path. */
KN_EXPORT int backplane_board_handler(const char* name, uint8_t board_id,
                                      uint8_t bus, uint8_t address,
                                      uint8_t offset);

/* mp2_card_detect, iox_present_detect, then the 10-slot backplane's
 * marker "10p0" (id 14, bus 1, device 0x3f, register 0): its result. */
KN_EXPORT int backplane_board_detect(void);

/* Writes KN_MP2_BUS_MAP: {bus, switch address, channel, 0} per card (at
 * most KN_BUS_MAP_RECORDS; more are logged and left out). Returns 0. */
KN_EXPORT int mp2_card_detect(void);

/* Writes KN_IOX_BUS_MAP: {bus, 0, 0, board id} per board found. 0, or
 * KN_BP_CPLD_READ_FAILED when the board CPLD cannot be read. */
KN_EXPORT int iox_present_detect(void);

/* Writes KN_RISER_BUS_MAP ({bus, switch address, channel} records) when
 * the riser card is found. Returns 0. single_riser_detect is the same. */
KN_EXPORT int riser_card_detect(void);
KN_EXPORT int single_riser_detect(void);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_BACK_PLANE_MGT_H */
