/*
 * Message queues over named FIFOs, the storage command FIFOs, and a small
 * singly linked list of byte buffers.
 *
 * A message on a FIFO is one length byte N (0 to 255) followed by N bytes.
 * Writers take a write lock of the FIFO for each message and write it
 * whole; readers take turns too, so every message reaches exactly one
 * reader in one piece, whatever the number of writers and readers.
 *
 * Storage messages carry a command (32-bit, little-endian) and up to
 * KN_STORAGE_DATA_MAX data bytes: N = data length + 4.
 */
#ifndef LIBKN_MKFIFO_H
#define LIBKN_MKFIFO_H

#include <libkn/kn_export.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

/* Commands to the storage service, and its messages to the Redfish
 * service. */
#define KN_FIFO_STORAGE_W "/run/fifo/storage_w"
#define KN_FIFO_STORAGE_R "/run/fifo/storage_r"

/* Largest message body, and the buffer size that readMsg needs. */
#define KN_FIFO_BODY_MAX 255
#define KN_FIFO_BUFFER_SIZE 256
/* Largest data length of a storage message. */
#define KN_STORAGE_DATA_MAX 251
/* Seconds that the storage receive functions wait for a message. */
#define KN_STORAGE_TIMEOUT 30

/* A received storage message: 256 bytes, no padding. */
typedef struct KN_PACKED
{
    uint8_t length;   /* data length, N - 4 */
    uint32_t command; /* as sent */
    uint8_t data[KN_STORAGE_DATA_MAX];
} storage_message;

/* A list node: its own copy of the caller's bytes. Nodes, and their data,
 * are allocated with malloc: a node taken out of a list is freed with
 * free(node->data) and free(node). */
typedef struct kn_list_node
{
    void* data;
    uint32_t size;
    struct kn_list_node* next;
} kn_list_node;

/* 0 when the path exists (whatever it is) or a FIFO with permissions 0664
 * was created there; -1 otherwise. The second argument is not used. */
KN_EXPORT int AddQueue(const char* path, int unused);
/* open(path, flags, mode): the descriptor or -1. */
KN_EXPORT int GetQueue(const char* path, int flags, uint32_t mode);

/* Writes the bytes (the caller puts the length byte in front) under a
 * write lock of the FIFO; 0 when all were written, else -1 (also when no
 * reader is left: SIGPIPE is held back and does not reach the caller). */
KN_EXPORT int writeMsg(int fd, const void* buffer, int length);

/*
 * Waits up to timeout seconds for a message, then reads it: the body goes
 * to the buffer (KN_FIFO_BUFFER_SIZE bytes) from its first byte, N to
 * length. 0; -2 when nothing came in time; -1 for a failed wait, a read
 * error, or a message cut short because every writer went away.
 */
KN_EXPORT int readMsg(int fd, void* buffer, int* length, int timeout);

/* Reads length bytes into the buffer, as many reads as it takes. count
 * receives the bytes read (fewer when every writer went away), or -1
 * after a read error. Returns 0, or -1 for no count. */
KN_EXPORT int get_from_q(void* buffer, int length, int fd, int* count);

/*
 * Sends one storage message on KN_FIFO_STORAGE_W. 0; -1 for a data length
 * above KN_STORAGE_DATA_MAX or missing data, when the path is not a FIFO,
 * when no receiver has it open (the message would be lost), or when the
 * write failed.
 */
KN_EXPORT int send_storage_func(uint32_t command, const void* data,
                                uint8_t length);

/*
 * Receives one storage message from KN_FIFO_STORAGE_W into the record,
 * waiting at most KN_STORAGE_TIMEOUT seconds. The process keeps the FIFO
 * open from its first call on, so that messages sent between two calls
 * wait for the next one. 0; -2 when nothing came in time; -1 when the
 * FIFO cannot be opened, on a read error, or for a message shorter than a
 * command (the record is then all zero). The last two arguments are not
 * used.
 */
KN_EXPORT int recv_storage_func(storage_message* record, int unused, int mode);

/* The same two over KN_FIFO_STORAGE_R. */
KN_EXPORT int storage_send_redfish_func(uint32_t command, const void* data,
                                        uint8_t length);
KN_EXPORT int redfish_recv_storage_func(storage_message* record, int unused,
                                        int mode);

/* A new node holding a copy of the data; NULL when memory runs out or the
 * data is missing. The first argument is not used. */
KN_EXPORT kn_list_node* CreateList(int unused, const void* data, uint32_t size);
/* A new node holding a copy of the data, linked right after node (the
 * nodes that followed it follow the new one); NULL, with node unchanged,
 * when memory runs out or an argument is missing. */
KN_EXPORT kn_list_node* InsertLastList(kn_list_node* node, const void* data,
                                       uint32_t size);
/* Unlinks and returns the list's first node; NULL for an empty list. */
KN_EXPORT kn_list_node* GetHeadList(kn_list_node** list);
/* Frees every node and its data; the list becomes empty. */
KN_EXPORT void ClearList(kn_list_node** list);

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_MKFIFO_H */
