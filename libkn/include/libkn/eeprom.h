/*
 * Byte access to 24Cxx-type serial EEPROMs through SMBus transfers.
 *
 * Every address or data write is followed by a pause of
 * KN_EEPROM_WRITE_PAUSE_US, whether it went through or not, and a failed
 * one is reported on standard error.
 */
#ifndef LIBKN_EEPROM_H
#define LIBKN_EEPROM_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* EEPROM types: the width of the word address. */
#define KN_EEPROM_TYPE_8BIT_ADDR 1
#define KN_EEPROM_TYPE_16BIT_ADDR 2

#define KN_EEPROM_WRITE_PAUSE_US 5000

/* An open EEPROM. dev is the caller's string, not a copy. */
typedef struct
{
    const char* dev;
    int32_t addr;
    int32_t fd;
    int32_t type;
} eeprom_handle;

/*
 * Opens the I2C bus device at path, checks that its adapter has the SMBus
 * byte, byte-data and word-data transfers, and selects the address. 0 and
 * a filled handle; -1 when the device cannot be opened or the adapter
 * lacks a transfer (reported on standard error); the failing request's
 * result when the adapter query or the selection fails. On failure the
 * handle holds no descriptor (fd -1).
 */
KN_EXPORT int eeprom_open(const char* dev, int addr, int type,
                          eeprom_handle* handle);
/* Closes the descriptor and clears the handle (fd -1, no path, type 0);
 * 0, or -1 for no handle. */
KN_EXPORT int eeprom_close(eeprom_handle* handle);

/* The byte at the EEPROM's current address, or a negative error. */
KN_EXPORT int eeprom_read_current_byte(eeprom_handle* handle);
/* Sets the word address, then reads the byte there; the byte or a negative
 * error; -1 for an unknown type ("ERR: unknown eeprom type" on standard
 * error, nothing sent). */
KN_EXPORT int eeprom_read_byte(eeprom_handle* handle, uint16_t address);
/* Writes one byte at the word address; the SMBus result, -1 for an unknown
 * type. */
KN_EXPORT int eeprom_write_byte(eeprom_handle* handle, uint16_t address,
                                uint8_t value);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_EEPROM_H */
