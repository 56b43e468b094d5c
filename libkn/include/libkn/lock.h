/*
 * Cross-process locks and NVR records.
 *
 * Named locks are POSIX named semaphores used as mutexes: call init_lock
 * once (any process), then get_lock and release_lock around each critical
 * section. They are not recursive, and a process that ends while holding
 * one leaves it taken.
 *
 * File locks cover the whole file and belong to the calling process:
 * threads of one process do not exclude each other with them, and closing
 * any descriptor of the file drops them.
 */
#ifndef LIBKN_LOCK_H
#define LIBKN_LOCK_H

#include <libkn/kn_export.h>
#include <semaphore.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Modes of ReadWriteNVR. */
#define KN_NVR_WRITE 1
#define KN_NVR_READ 2

/* Creates the named semaphore (value 1, mode 0644) unless it exists. */
KN_EXPORT int init_lock(const char* name);
/* Waits for the named lock and stores its handle; 0 or -1. The last two
 * arguments are not used. */
KN_EXPORT int get_lock(const char* name, sem_t** handle, int unused1,
                       int unused2);
/* Frees the lock and closes the handle; the close's result. */
KN_EXPORT int release_lock(sem_t* handle);

/* fcntl(fd, command) with a lock record of the type, start, whence and
 * length; fcntl's result. */
KN_EXPORT int fcntl_lock_util(int fd, int command, int type, int64_t start,
                              int16_t whence, int64_t length);
/* Whole-file write or read lock, waiting until granted; 0 or -1. */
KN_EXPORT int file_lock_write(int fd);
KN_EXPORT int file_lock_read(int fd);
/* Releases the whole-file lock; 0 or -1. */
KN_EXPORT int file_unlock(int fd);

/*
 * Writes (mode KN_NVR_WRITE) or reads (any other mode) length bytes at
 * offset of the file, under a whole-file lock; a file created here gets
 * mode 0777. Returns the bytes transferred (fewer at the end of the file
 * for a read), or -1 (also for a negative offset or length).
 */
KN_EXPORT int ReadWriteNVR(const char* path, void* buffer, int32_t offset,
                           int32_t length, uint8_t mode);
KN_EXPORT int API_ReadNVR(const char* path, int32_t offset, int32_t length,
                          void* buffer);
KN_EXPORT int API_WriteNVR(const char* path, int32_t offset, int32_t length,
                           const void* buffer);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_LOCK_H */
