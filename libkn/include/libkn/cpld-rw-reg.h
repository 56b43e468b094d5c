/*
 * Registers of the board's CPLD, on a fixed I2C bus and address.
 *
 * Each transfer is tried up to KN_CPLD_TRIES times, KN_CPLD_RETRY_PAUSE_US
 * apart (also after the last failure); a register call that never gets
 * through takes that long and then writes one line to the error log
 * (log_call type KN_LOG_ERROR).
 */
#ifndef LIBKN_CPLD_RW_REG_H
#define LIBKN_CPLD_RW_REG_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define KN_CPLD_BUS 11
#define KN_CPLD_ADDRESS 0x3F
/* Most data bytes of one register write or read. */
#define KN_CPLD_DATA_MAX 20
#define KN_CPLD_TRIES 5
#define KN_CPLD_RETRY_PAUSE_US 1000000

/* Results besides 0. */
#define KN_CPLD_BAD_ARGUMENT 2
#define KN_CPLD_READ_FAILED 3
#define KN_CPLD_WRITE_FAILED 4

/* Opens the CPLD's bus; the descriptor or -1. */
KN_EXPORT int CPLDChannelEnable(void);
/* Closes it; 0. */
KN_EXPORT int CPLDChannelDisale(int fd);

/* Writes the data (1 to KN_CPLD_DATA_MAX bytes) to the registers from
 * offset on. 0; KN_CPLD_BAD_ARGUMENT for a bad length, no data or a
 * negative descriptor (nothing sent); KN_CPLD_WRITE_FAILED when every try
 * failed. */
KN_EXPORT int CPLDModuleWriteRegister(int fd, uint8_t offset,
                                      const uint8_t* data, uint8_t length);
/* Reads length registers (1 to KN_CPLD_DATA_MAX) from offset on into the
 * buffer. 0; KN_CPLD_BAD_ARGUMENT as above; KN_CPLD_READ_FAILED when every
 * try failed (the buffer is then untouched). */
KN_EXPORT int CPLDModuleReadRegister(int fd, uint8_t offset, uint8_t* buffer,
                                     uint8_t length);

/* Open the bus, write or read as above, close it: the register call's
 * result, or KN_CPLD_BAD_ARGUMENT when the bus cannot be opened. */
KN_EXPORT int CPLDModuleWriteDatas(uint8_t offset, const uint8_t* data,
                                   uint8_t length);
KN_EXPORT int CPLDModuleReadDatas(uint8_t offset, uint8_t* buffer,
                                  uint8_t length);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_CPLD_RW_REG_H */
