/*
 * The board's field-replaceable-unit (FRU) description: the model kept in
 * the globals below, the "fru.ini" text file that fills it, the binary FRU
 * image (common header, chassis, board and product areas) built from it
 * and read back into it, and the FRU EEPROMs that hold the image.
 *
 * Image format: every text field is a type/length byte 0xC0 + length
 * followed by that many 8-bit ASCII bytes (0xC0 alone is an empty field);
 * offsets and area lengths count 8-byte units; an area ends with 0xC1, is
 * zero-padded to a multiple of 8 bytes and closed by a zero-sum checksum.
 * A one-character text would get the type/length 0xC1, the end-of-fields
 * marker, so it is written padded with one blank (0xC2). The decoders
 * refuse areas of more than 255 bytes (length byte 32 or more).
 *
 * All state is process-wide and unlocked: one FRU description per process
 * at a time, used from one thread. The calls read and write "fru.ini",
 * "default-fru.bin" and "fru.bat" in the current directory.
 *
 * Calling order: fru_init, then fru_read_ini or parse_bin_date, then
 * modify_section for one field if wanted, then get_fru_date, then
 * write_to_fru or write_to_bin.
 *
 * Note: the objects fru, ip, user and passwd and the functions help and
 * hexdump have short names. A program that defines its own object of one
 * of these names takes the library's place: the library then works on the
 * program's object, which must have the type declared here. A program's own
 * help or hexdump function is the one that the program's calls reach.
 */
#ifndef LIBKN_FRU_H
#define LIBKN_FRU_H

#include <libkn/kn_export.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#define KN_FRU_ASSERT(condition, text) static_assert(condition, text)
#else
#define KN_FRU_ASSERT(condition, text) _Static_assert(condition, text)
#endif

/* Characters held for one text field; at most 63 are used (0xC0 + 63). */
#define KN_FRU_TEXT_SIZE 64
#define KN_FRU_TEXT_MAX 63
/* Custom fields per area. */
#define KN_FRU_CUSTOM_COUNT 8

/* Type/length bytes. */
#define KN_FRU_TYPE_ASCII 0xC0
#define KN_FRU_END_MARKER 0xC1

/* Encoded-area slots of fru_buff. */
#define KN_FRU_SLOT_HEADER 0
#define KN_FRU_SLOT_CHASSIS 1
#define KN_FRU_SLOT_BOARD 2
#define KN_FRU_SLOT_PRODUCT 3
#define KN_FRU_SLOT_MULTIRECORD 4
#define KN_FRU_SLOT_COUNT 5
#define KN_FRU_SLOT_SIZE 1024

/* Size of bmc_fru_date; the largest image on a device (fru_modify_key). */
#define KN_FRU_IMAGE_BUFFER_SIZE 4096
#define KN_FRU_IMAGE_MAX 1024

/* Rows of the ini name tables. */
#define KN_FRU_CHASSIS_PARAMS 3
#define KN_FRU_BOARD_PARAMS 12
#define KN_FRU_PRODUCT_PARAMS 12
#define KN_FRU_PARAMS 27

/* The default fru.ini: lines and line size of default_ini. */
#define KN_FRU_INI_LINES 30
#define KN_FRU_INI_LINE_SIZE 256
#define KN_FRU_INI_PATH "fru.ini"
#define KN_FRU_BIN_PATH "default-fru.bin"
#define KN_FRU_BACKUP_PATH "fru.bat"

/* FRU device ids 0 to KN_FRU_DEVICE_MAX have a descriptor in the main
 * shared segment (KN_SHM_FRU_DEVICE_OFFSET + KN_SHM_FRU_DEVICE_SIZE * id). */
#define KN_FRU_DEVICE_MAX 22

/* Descriptor values. */
#define KN_FRU_NO_ACCESS 1
#define KN_FRU_ROUTE_I2C 2
#define KN_FRU_ROUTE_FILE 3
#define KN_FRU_SYSFS_I2C "/sys/class/i2c-dev"

/* Storage pacing and retries. */
#define KN_FRU_TRIES 5
#define KN_FRU_RETRY_PAUSE_US 100000
#define KN_FRU_PIECE_SIZE 8
#define KN_FRU_PIECE_PAUSE_US 10000
#define KN_FRU_COMMAND_TRIES 20

/* Result codes. */
#define KN_FRU_INI_ENCODE_FAILED 3    /* write_fru_ini */
#define KN_FRU_CHASSIS_FAILED 4       /* get_fru_date */
#define KN_FRU_BOARD_FAILED 5         /* get_fru_date */
#define KN_FRU_PRODUCT_FAILED 6       /* get_fru_date */
#define KN_FRU_BAD_HEADER 9           /* parse_bin_date */
#define KN_FRU_BAD_CHASSIS 10         /* parse_bin_date */
#define KN_FRU_BAD_BOARD 11           /* parse_bin_date */
#define KN_FRU_BAD_PRODUCT 12         /* parse_bin_date */
#define KN_FRU_READ_FAILED 13         /* fru_modify_key */
#define KN_FRU_ENCODE_FAILED 14       /* fru_modify_key */
#define KN_FRU_BIN_INI_FAILED 15      /* create_fru_bin */
#define KN_FRU_BIN_ENCODE_FAILED 16   /* create_fru_bin */
#define KN_FRU_MISSING_ARGUMENT (-10) /* fru_modify_key */

/* A text field: type/length byte and the characters, not terminated; only
 * the count in the type/length byte is meaningful. */
typedef struct KN_PACKED
{
    uint8_t type_length;
    char data[KN_FRU_TEXT_SIZE];
} fru_text;

/* The common header, as in the image. */
typedef struct KN_PACKED
{
    uint8_t format_version;
    uint8_t internal_offset;
    uint8_t chassis_offset;
    uint8_t board_offset;
    uint8_t product_offset;
    uint8_t multirecord_offset;
    uint8_t pad;
    uint8_t checksum;
} fru_header;

/* Custom fields: type/length 0 is an absent field. */
typedef struct KN_PACKED
{
    uint8_t format_version;
    uint8_t length; /* 8-byte units */
    uint8_t type;
    fru_text part_number;
    fru_text serial_number;
    uint8_t custom_type_length[KN_FRU_CUSTOM_COUNT];
    char custom_data[KN_FRU_CUSTOM_COUNT][KN_FRU_TEXT_SIZE];
    uint8_t end_marker;
    uint8_t pad; /* zero bytes before the checksum */
    uint8_t checksum;
} fru_chassis_area;

typedef struct KN_PACKED
{
    uint8_t format_version;
    uint8_t length;
    uint8_t language;
    /* Minutes since 1996-01-01 00:00, least significant byte first. */
    uint8_t manufacturing_time[3];
    fru_text manufacturer;
    fru_text product_name;
    fru_text serial_number;
    fru_text part_number;
    fru_text file_id;
    uint8_t custom_type_length[KN_FRU_CUSTOM_COUNT];
    char custom_data[KN_FRU_CUSTOM_COUNT][KN_FRU_TEXT_SIZE];
    uint8_t end_marker;
    uint8_t pad;
    uint8_t checksum;
} fru_board_area;

typedef struct KN_PACKED
{
    uint8_t format_version;
    uint8_t length;
    uint8_t language;
    fru_text manufacturer;
    fru_text product_name;
    fru_text part_number;
    fru_text version;
    fru_text serial_number;
    fru_text asset_tag;
    fru_text file_id;
    uint8_t custom_type_length[KN_FRU_CUSTOM_COUNT];
    char custom_data[KN_FRU_CUSTOM_COUNT][KN_FRU_TEXT_SIZE];
    uint8_t end_marker;
    uint8_t pad;
    uint8_t checksum;
} fru_product_area;

/* The whole FRU description. get_head_date sets the header's
 * multirecord_offset to the end of the product area and its pad to that
 * value + 3; neither goes into the image. */
typedef struct KN_PACKED
{
    fru_header header;
    uint8_t reserved[5];
    fru_chassis_area chassis;
    fru_board_area board;
    fru_product_area product;
} fru_info;

/* One encoded area (or the header). */
typedef struct KN_PACKED
{
    uint32_t length;
    uint8_t data[KN_FRU_SLOT_SIZE];
} fru_slot;

/* A row of the ini name tables: its id is the row number in its table. */
typedef struct KN_PACKED
{
    uint32_t id;
    char section[32];
    char key[32];
    char value[64]; /* the last value read from fru.ini */
} fru_param_entry;

/*
 * A FRU device descriptor of the main shared segment. Bytes marked unused
 * are not read here. Multi-byte fields are little-endian byte pairs.
 */
typedef struct KN_PACKED
{
    uint8_t unused0;
    uint8_t access;        /* KN_FRU_NO_ACCESS: every read and write -1 */
    uint8_t route;         /* KN_FRU_ROUTE_I2C, KN_FRU_ROUTE_FILE, else none */
    uint8_t size[2];       /* of the FRU image, in bytes */
    uint8_t behind_switch; /* non-zero: behind an I2C switch */
    uint8_t switch_channel;
    uint8_t switch_address;
    uint8_t address_width; /* word address bytes of the EEPROM */
    uint8_t unused9;
    uint8_t bus;
    uint8_t address; /* 7-bit address of the EEPROM */
    uint8_t unused12;
    uint8_t offset[2]; /* of the FRU image inside the EEPROM */
    uint8_t unused15[16];
} fru_device;

KN_FRU_ASSERT(sizeof(fru_text) == 65, "fru_text layout");
KN_FRU_ASSERT(sizeof(fru_header) == 8, "fru_header layout");
KN_FRU_ASSERT(sizeof(fru_chassis_area) == 656, "fru_chassis_area layout");
KN_FRU_ASSERT(offsetof(fru_chassis_area, custom_type_length) == 133,
              "fru_chassis_area layout");
KN_FRU_ASSERT(sizeof(fru_board_area) == 854, "fru_board_area layout");
KN_FRU_ASSERT(offsetof(fru_board_area, manufacturer) == 6,
              "fru_board_area layout");
KN_FRU_ASSERT(sizeof(fru_product_area) == 981, "fru_product_area layout");
KN_FRU_ASSERT(offsetof(fru_product_area, custom_type_length) == 458,
              "fru_product_area layout");
KN_FRU_ASSERT(sizeof(fru_info) == 2504, "fru_info layout");
KN_FRU_ASSERT(offsetof(fru_info, chassis) == 13, "fru_info layout");
KN_FRU_ASSERT(offsetof(fru_info, board) == 669, "fru_info layout");
KN_FRU_ASSERT(offsetof(fru_info, product) == 1523, "fru_info layout");
KN_FRU_ASSERT(sizeof(fru_slot) == 1028, "fru_slot layout");
KN_FRU_ASSERT(sizeof(fru_param_entry) == 132, "fru_param_entry layout");
KN_FRU_ASSERT(offsetof(fru_param_entry, value) == 68, "fru_param_entry layout");
KN_FRU_ASSERT(sizeof(fru_device) == 31, "fru_device layout");
KN_FRU_ASSERT(offsetof(fru_device, size) == 3, "fru_device layout");
KN_FRU_ASSERT(offsetof(fru_device, address_width) == 8, "fru_device layout");
KN_FRU_ASSERT(offsetof(fru_device, bus) == 10, "fru_device layout");
KN_FRU_ASSERT(offsetof(fru_device, offset) == 13, "fru_device layout");

/* The model and the encoded image. */
KN_EXPORT extern fru_info fru;
KN_EXPORT extern fru_slot fru_buff[KN_FRU_SLOT_COUNT];
KN_EXPORT extern uint8_t bmc_fru_date[KN_FRU_IMAGE_BUFFER_SIZE];
KN_EXPORT extern uint32_t bmc_fru_len;
/* The FRU device id of the last write_to_fru; write_fru_ini writes to it. */
KN_EXPORT extern uint32_t deviceid;
/* The fru tool's address, user and password; the library never reads them. */
KN_EXPORT extern char ip[20];
KN_EXPORT extern char user[20];
KN_EXPORT extern char passwd[20];

/* Names of the ini keys, and the values last read. fru_param holds the
 * chassis, board and product rows in that order (ids 0 to 26). */
KN_EXPORT extern fru_param_entry chassis_param[KN_FRU_CHASSIS_PARAMS];
KN_EXPORT extern fru_param_entry board_param[KN_FRU_BOARD_PARAMS];
KN_EXPORT extern fru_param_entry product_param[KN_FRU_PRODUCT_PARAMS];
KN_EXPORT extern fru_param_entry fru_param[KN_FRU_PARAMS];

/* The lines of the default fru.ini. */
KN_EXPORT extern char default_ini[KN_FRU_INI_LINES][KN_FRU_INI_LINE_SIZE];

/* ---- Model and fru.ini ---- */

/* Clears fru, fru_buff, bmc_fru_date and bmc_fru_len and sets the defaults:
 * format versions 1, chassis type 2, end markers 0xC1, the reserved block
 * 1 0 0 0 0 and the board time bytes 0x4A 0x0E 0xAA. Every text field is
 * absent (type/length 0). Returns 0. */
KN_EXPORT int fru_init(void);

/*
 * Fills the value column of the name tables and the fields of fru from
 * "fru.ini" (GetIniKeyString: a key is looked up from its section on to
 * the end of the file). A value is the text between the first two double
 * quotes; without them it is empty; it is cut at 63 characters. Every key
 * is required except the "CustomDataString" ones and the board and product
 * "FRUFileID". Custom slots that no key feeds stay absent. 0; -ESRCH for a
 * missing required key (named on standard output); -EINTR for a board time
 * that gives 0 minutes or more than 0xFFFFFF.
 */
KN_EXPORT int fru_read_ini(void);

/* Pointer behind the first double quote of text, with the second one
 * replaced by a NUL; NULL for no text or fewer than two double quotes. */
KN_EXPORT char* fru_get_str(char* text);

/* Minutes from 1996-01-01 00:00 to "year/month/day hour:minute" (a seconds
 * part is ignored), both as local time without daylight saving; the text
 * is cut up in place. 0 when a part is missing, the moment lies before
 * 1996-01-01 00:00 or the minutes do not fit. */
KN_EXPORT uint32_t get_time(char* text);

/* Writes count rows of lines (rows of KN_FRU_INI_LINE_SIZE bytes, each up
 * to its first NUL, as default_ini holds them; a newline
 * added to every row without one) to path, truncating it. 0; -1 for no
 * path or lines, a negative count or a failed write; -ENOENT when the file
 * cannot be created ("have   no   such   file " on standard output). */
KN_EXPORT int config_default_ini(const void* lines, int count,
                                 const char* path);

/* The id of the first fru_param row whose section and key names equal the
 * beginning of section and key, ignoring case; -EFAULT when none does. */
KN_EXPORT int fru_get_param_id(const char* section, const char* key);

/* Stores value (cut at 63 characters) into the field of fru that row id
 * names; id 0 sets the chassis type to the decimal value. The rest of the
 * field's characters stay. Ids 3 (the board time) and outside 0 to 26
 * change nothing. 0, or -1 for no value. */
KN_EXPORT int modify_section(const char* value, int id);

/* Prints the fru tool's usage text. Returns 0. */
KN_EXPORT int help(void);

/* ---- Encoding ---- */

/* Encode one area of fru into its slot. 0; -1 (the slot half built) for a
 * text field below 0xC0 or a custom type/length other than 0 below 0xC0. */
KN_EXPORT int get_chassis_date(void);
KN_EXPORT int get_board_date(void);
KN_EXPORT int get_product_date(void);
/* Puts a fixed OEM multirecord (22 bytes) into slot 4; 0. */
KN_EXPORT int get_multirecord_date(void);
/* Builds the common header into slot 0 from the area slots: chassis at 1,
 * board and product after it, no multirecord. 0. */
KN_EXPORT int get_head_date(void);
/* Encodes chassis, board, product and header and puts slots 0 to 4 into
 * bmc_fru_date and bmc_fru_len. 0, or KN_FRU_CHASSIS_FAILED,
 * KN_FRU_BOARD_FAILED, KN_FRU_PRODUCT_FAILED with the image untouched. */
KN_EXPORT int get_fru_date(void);

/* ---- Decoding ---- */

/* Takes the header from the first 8 of count (8 to 1024) bytes; the bytes
 * go into slot 0. 0; -EMLINK for a bad checksum; -EINVAL for a format
 * version other than 1 or a bad count. */
KN_EXPORT int parse_bin_to_head(const uint8_t* bytes, int count);
/*
 * Decode the area that starts at area into fru and its slot. The area is
 * read only as far as its length byte says. 0; -EMLINK for length 0, an
 * area over 255 bytes or a bad checksum; -EINVAL for a field type/length
 * below 0xC0; -EPIPE when a field or the end marker does not end before
 * the checksum; -E2BIG for a ninth custom field.
 */
KN_EXPORT int parse_bin_to_chassis(const uint8_t* area);
KN_EXPORT int parse_bin_to_board(const uint8_t* area);
KN_EXPORT int parse_bin_to_product(const uint8_t* area);
/* Copies count bytes (up to 1024) into slot 4; 0, -EINVAL otherwise. */
KN_EXPORT int parse_bin_to_multirecord(const uint8_t* bytes, int count);
/*
 * Decodes an image: the header, then each area whose offset is not 0. With
 * a length other than 0 every area must lie inside the length bytes. 0, or
 * KN_FRU_BAD_HEADER, KN_FRU_BAD_CHASSIS, KN_FRU_BAD_BOARD,
 * KN_FRU_BAD_PRODUCT. The multirecord area is not decoded.
 */
KN_EXPORT int parse_bin_date(const uint8_t* image, int length);

/* ---- Storage ---- */

/*
 * Reads length bytes at image offset + offset of the device: over I2C
 * (route 2, behind the switch when set) or from the kernel's EEPROM file
 * under KN_FRU_SYSFS_I2C (route 3, up to KN_FRU_TRIES attempts). The I2C
 * read's result (2), 0, -1, or the switch claim's code (KN_MUX_*). Another
 * route reads nothing and returns 0.
 */
KN_EXPORT int read_fru_data(const fru_device* device, uint16_t offset,
                            int length, uint8_t* buffer);
/*
 * Writes length bytes at image offset + offset of the device. Over I2C
 * byte by byte, each byte tried KN_FRU_TRIES times, with 8-bit word
 * addresses for an address width of 1 and 16-bit ones otherwise; to the
 * EEPROM file in up to KN_FRU_TRIES attempts. 0; -1 when the device may
 * not be accessed, cannot be reached, or a byte or the file write failed;
 * the switch claim's code. Another route writes nothing and returns 0.
 */
KN_EXPORT int write_fru_data(const fru_device* device, uint16_t offset,
                             uint16_t length, const uint8_t* data);
/* Reads the whole image (its size in the descriptor) in 8-byte pieces,
 * KN_FRU_PIECE_PAUSE_US apart, into buffer, which must hold the size. 0;
 * -1 when a piece could not be read. */
KN_EXPORT int get_fru_bin(fru_device device, uint8_t* buffer);
/* Writes bmc_fru_date to device id (0 to KN_FRU_DEVICE_MAX) in 8-byte
 * pieces, KN_FRU_PIECE_PAUSE_US after each full one, and sets deviceid.
 * 0; -1 for a bad id, no main segment, an image longer than the device's
 * size (nothing written) or a piece that failed. */
KN_EXPORT int write_to_fru(int id);
/* fru.ini to the device deviceid: fru_init, fru_read_ini (-EBADF),
 * get_fru_date (KN_FRU_INI_ENCODE_FAILED), write_to_fru's result. */
KN_EXPORT int write_fru_ini(void);
/* fru.ini to "default-fru.bin": fru_init, fru_read_ini
 * (KN_FRU_BIN_INI_FAILED), get_fru_date (KN_FRU_BIN_ENCODE_FAILED),
 * write_to_bin's result. */
KN_EXPORT int create_fru_bin(void);
/*
 * Changes one field (title = section, key) of the image on device id to
 * value: reads and decodes the image, modify_section, encodes, writes it
 * back. 0 or write_to_fru's result; -1 for no main segment or a bad id;
 * KN_FRU_MISSING_ARGUMENT; KN_FRU_READ_FAILED when the image is over
 * KN_FRU_IMAGE_MAX bytes, cannot be read or decoded (nothing written);
 * -EFAULT for an unknown section or key; KN_FRU_ENCODE_FAILED when the new
 * image cannot be encoded, as when the device's image lacks an area.
 * Failures are logged with kestrelon_log.
 */
KN_EXPORT int fru_modify_key(int id, const char* title, const char* key,
                             const char* value);
/* Replaces "default-fru.bin" (mode 0666 less the umask when created) with
 * the image. 0; -ENOMEM on a short write ("write bin file error2."); -1
 * when it cannot be opened. */
KN_EXPORT int write_to_bin(void);
/* Runs the shell command until it exits with 0, at most
 * KN_FRU_COMMAND_TRIES times. 0 when it did, -1 otherwise. */
KN_EXPORT int write_fru_cmd(const char* command);
/* Replaces "fru.bat" with the bytes. 0; 1 when it cannot be opened (said
 * on standard output); -1 for a failed write. */
KN_EXPORT int backup_fru_bin(const uint8_t* bytes, int count);
/* Replaces path with count & 0xFFFF bytes placed at offset & 0xFFFF (zeros
 * before them). 0; 1 when it cannot be opened (said on standard output);
 * -1 for a failed write. */
KN_EXPORT int WriteFile(const char* path, const uint8_t* bytes, int offset,
                        int count);
/* Prints each byte as "%02x " and then a line end. Returns 0. */
KN_EXPORT int hexdump(const uint8_t* bytes, int count);

#undef KN_FRU_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* LIBKN_FRU_H */
