/*
 * I2C access through the bus character devices /dev/i2c-N: register reads
 * and writes, combined write-then-read transfers, a retried send and
 * receive, and the channels of I2C switches.
 *
 * Transfer functions hand back the kernel request's result: the number of
 * messages for a combined transfer (negative on failure), the byte count
 * for a plain write. Device addresses are 7-bit.
 */
#ifndef LIBKN_I2C_H
#define LIBKN_I2C_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Most bytes that i2c_read_data and i2c_write_data move in one call: the
 * register offset and the data share one 255-byte message. */
#define KN_I2C_TRANSFER_MAX 253

/* Results of switch_channel_request besides 0 and -1. */
#define KN_MUX_NO_SHARED_MEMORY 128
#define KN_MUX_CLAIMED 192
#define KN_MUX_WRITE_FAILED 255

/* Opens "/dev/i2c-<bus>" read-write; the descriptor or -1. */
KN_EXPORT int i2c_open(int bus);
/* close's result. */
KN_EXPORT int i2c_close(int fd);

/* Selects the address, then writes the bytes; write's result, or -1 for a
 * negative descriptor, a failed selection or a bad buffer. */
KN_EXPORT int internal_master_write(int fd, uint8_t address, const void* buffer,
                                    int length);

/*
 * Writes the register offset (width 0, 1 or 2 bytes; two bytes go high
 * byte first), then reads length bytes, in one combined transfer. 2 on
 * success, negative on failure; -1 for a length above KN_I2C_TRANSFER_MAX,
 * another width or a missing buffer, before any transfer. On a failed
 * transfer the buffer receives zeros.
 */
KN_EXPORT int i2c_read_data(int fd, uint8_t address, uint16_t offset, int width,
                            uint8_t* buffer, int length);
/* Writes the offset (as above) followed by the data in one message; 1 on
 * success, negative on failure, -1 for a bad argument. */
KN_EXPORT int i2c_write_data(int fd, uint8_t address, uint16_t offset,
                             int width, const uint8_t* data, int length);

/* A write message, then a read message, in one transfer; the request's
 * result, -1 for a negative length or a missing buffer. */
KN_EXPORT int i2c_read_data_new(int fd, uint8_t address,
                                const uint8_t* write_buffer, int write_length,
                                uint8_t* read_buffer, int read_length);
/* A write message, followed by a read message when read_length is not 0,
 * in one transfer; the request's result, -1 without write bytes or with a
 * read length but no read buffer. */
KN_EXPORT int i2c_rw_data(int fd, uint8_t address, const uint8_t* write_buffer,
                          int write_length, uint8_t* read_buffer,
                          int read_length);

/* Probes every address 0 to 127 with an empty write: 1 when a device
 * answers at the given address, 0 when none does, -1 for a descriptor
 * below 1. */
KN_EXPORT int check_slave_active(int fd, uint8_t address);

/* Nothing to set up or tear down; both return 0. */
KN_EXPORT int i2cInit(void);
KN_EXPORT int i2cUnInit(void);

/*
 * Opens the bus, selects the address, and tries up to `tries` times to
 * write the write bytes (when write_length is not 0) and then read
 * read_length bytes (when not 0); a try succeeds when every transfer it
 * made moved all its bytes. 0 after a successful try; -1 when the bus
 * cannot be opened or a buffer is missing; -2 when the address cannot be
 * selected or every try failed (also for 0 tries). The first and the last
 * argument are not used.
 */
KN_EXPORT int i2cSendRecvMsg(int unused1, int bus, uint8_t address,
                             const uint8_t* write_buffer, uint16_t write_length,
                             uint8_t* read_buffer, uint16_t read_length,
                             uint8_t tries, int unused2);

/* Selects one channel (counted from 1, up to 8) of an I2C switch: sends
 * 0x00 and 1 << (channel - 1) with 3 tries. i2cSendRecvMsg's result, or -1
 * for another channel. */
KN_EXPORT int set_9546switch(int bus, uint8_t address, int channel);

/*
 * Claims (claim not 0) or releases a switch channel for this and the
 * other processes, through the claim byte of (bus, mux address) in the
 * main shared segment. A claim that finds the byte taken returns
 * KN_MUX_CLAIMED at once, without touching the bus; otherwise it takes the
 * byte and sends 0x00 and 1 << channel (channel counted from 0, up to 7)
 * to the switch on fd: 0, or KN_MUX_WRITE_FAILED with the byte free again.
 * A release frees the byte and sends nothing. KN_MUX_NO_SHARED_MEMORY when
 * the segment cannot be attached; -1 for a bus outside 0 to 14, a mux
 * address above 126 or (for a claim) a channel outside 0 to 7.
 */
KN_EXPORT int switch_channel_request(int fd, int bus, int channel,
                                     uint8_t mux_address, int claim);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_I2C_H */
