/*
 * SMBus transfers on an open I2C bus descriptor: the i2c_smbus_* functions
 * (i2c_smbus_read_byte, i2c_smbus_write_byte_data, i2c_smbus_read_word_data
 * and the rest). The library contains them and exports them: a program
 * that links the library calls them without linking anything else. Their
 * declarations are those of <i2c/smbus.h>, given C linkage here.
 */
#ifndef LIBKN_SMBUS_H
#define LIBKN_SMBUS_H

#ifdef __cplusplus
extern "C"
{
#endif

#include <i2c/smbus.h>

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_SMBUS_H */
