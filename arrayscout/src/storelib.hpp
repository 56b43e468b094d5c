#pragma once

// The storage library's one entry point and its command record. The library
// is the controller maker's closed shared object, libstorelib.so.07, linked
// at build time; this header states what the daemon relies on.

#include <cstddef>
#include <cstdint>

/** One command for the library. Every field is little-endian at a fixed
 *  offset; the record is set to zero before its fields are filled. The data
 *  address is pointer sized: 4 bytes on the BMC (a 36-byte record), 8 on a
 *  64-bit build host. */
struct StorageCommand
{
    uint8_t commandType;   // 0 library, 1 controller, 2 drive, 3 volume,
                           // 4 configuration, 6 pass-through
    uint8_t commandCode;   // the command within its type
    uint16_t reserved;     // zero
    uint32_t controllerId; // as the init reply gave it (0 for init)
    uint8_t parameters[20];
    uint32_t dataSize; // byte size of the data area (0: no data)
    void* data;        // the caller's data area: request in, reply out
};

static_assert(offsetof(StorageCommand, commandCode) == 1);
static_assert(offsetof(StorageCommand, controllerId) == 4);
static_assert(offsetof(StorageCommand, parameters) == 8);
static_assert(offsetof(StorageCommand, dataSize) == 28);
static_assert(offsetof(StorageCommand, data) == 32);
static_assert(sizeof(void*) != 4 || sizeof(StorageCommand) == 36,
              "the record is 36 bytes on the BMC");
static_assert(sizeof(void*) != 8 || sizeof(StorageCommand) == 40,
              "and 40 on a 64-bit build host");

/** Runs one command synchronously: fills the data area and returns 0, or
 *  returns the library's non-zero status. */
extern "C" int ProcessLibCommand(StorageCommand* command);
