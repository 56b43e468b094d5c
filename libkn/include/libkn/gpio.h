/*
 * GPIO lines, memory fault LEDs and platform facts, through sysfs files.
 *
 * The sysfs files are written directly, the way "echo <text> ><file>"
 * would write them: the text and a line break, into the file opened for
 * writing. A write that fails gives -1.
 */
#ifndef LIBKN_GPIO_H
#define LIBKN_GPIO_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define KN_GPIO_SYSFS "/sys/class/gpio"
/* The platform's SKU file, written by another program at start-up. */
#define KN_SKU_FILE "/var/run/obmcinfo/sku"
/* Checks of wait_sku_file, one second apart. */
#define KN_SKU_WAIT_CHECKS 239

/* Exports the GPIO unless its folder exists, then writes the direction
 * text (such as "in" or "out") as it is to its direction file; 0, or -1
 * when the direction cannot be written. */
KN_EXPORT int set_gpio_direction(int gpio, const char* direction);
/* Writes the value to the GPIO's value file; 0 or -1. */
KN_EXPORT int write_gpio(int gpio, int value);
/* Exports the GPIO; 0 or -1. */
KN_EXPORT int enable_gpio(int gpio);

/* Sets the brightness of the memory fault LED of the CPU, DIMM and module
 * ("/sys/devices/platform/leds/leds/cpu<c>_dimm<d>_m<m>/brightness");
 * returns 0 whatever happened. */
KN_EXPORT int CmmFunMemFaultLed(uint8_t cpu, uint8_t dimm, uint8_t module,
                                int value);

/*
 * The bus number of the index-th (from 1) extension bus behind bus: from
 * the cache file "/var/run/obmcinfo/i2c/i2c-<bus>-<index>" when it exists,
 * else from the kernel's messages about the bus (kept in
 * "/var/run/obmcinfo/i2c_dmesg" once captured whole): the index-th line
 * naming "i2c-<bus>" announces the bus number. 0 when no such bus is
 * announced (or for index 0), -1 when there is no capture. Nothing is
 * written besides the capture, so any number of processes may ask at once.
 */
KN_EXPORT int CmmFunGetI2CExtBus(uint8_t bus, uint8_t index);

/* The platform's SKU: 4. */
KN_EXPORT int get_sku(void);
/* Waits for KN_SKU_FILE: up to KN_SKU_WAIT_CHECKS checks, one second
 * apart. Returns 0 either way: a caller that must know tests the file. */
KN_EXPORT int wait_sku_file(void);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_GPIO_H */
