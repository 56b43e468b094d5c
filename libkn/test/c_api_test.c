/* The public headers in C: every family is callable from a C program.
 * Nothing here touches a fixed path or a shared segment. */
#define _POSIX_C_SOURCE 200809L

#include <libkn/back-plane-mgt.h>
#include <libkn/common.h>
#include <libkn/conf.h>
#include <libkn/cpld-rw-reg.h>
#include <libkn/eeprom.h>
#include <libkn/fru.h>
#include <libkn/gpio.h>
#include <libkn/i2c.h>
#include <libkn/json.h>
#include <libkn/kn_export.h>
#include <libkn/lock.h>
#include <libkn/log.h>
#include <libkn/mail.h>
#include <libkn/misc.h>
#include <libkn/mkfifo.h>
#include <libkn/net.h>
#include <libkn/redfish.h>
#include <libkn/sel-parse.h>
#include <libkn/sel.h>
#include <libkn/shm.h>
#include <libkn/smbus.h>
#include <libkn/snmp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures = 0;

/* Times of the SEL calls have 64 bits whatever the caller's time_t. */
static int (*const saveSel)(int, int64_t, int, const char*,
                            const char*) = save_sel_to_file;
static int (*const checkSel)(const char*, int64_t) = check_file_size;

#define CHECK(cond)                                                            \
    do                                                                         \
    {                                                                          \
        if (!(cond))                                                           \
        {                                                                      \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond);         \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

int main(void)
{
    /* Strings, CRC, tables. */
    CHECK(calc_crc16((const uint8_t*)"123456789", 9) == 0x31C3);
    char text[] = "  padded  ";
    CHECK(strcmp(string_strip(text), "padded") == 0);
    kn_code_string table[] = {{1, "one"}, {2, "two"}};
    CHECK(string_to_int(table, 2, "two") == 2);

    /* Logging: the exported tables and a refused type. */
    CHECK(strcmp(log_path[KN_LOG_ERROR],
                 "/run/BMCInfo/Development/Log/bmc/log_error") == 0);
    CHECK(strcmp(nv_log_path[KN_LOG_ACTION],
                 "/media/card/BMCInfo/Development/Log/bmc/log_action") == 0);
    CHECK(save_log_to_nv_storage(KN_LOG_TYPE_COUNT, "/nonexistent") == -1);
    CHECK(saveSel(1, 0, 1, NULL, "/nonexistent") == -1);
    CHECK(checkSel("/nonexistent", 0) == 1);

    /* NVR records in a private file. */
    const char* tmp = getenv("TMPDIR");
    char path[256];
    snprintf(path, sizeof(path), "%s/libkn-c-api-XXXXXX",
             tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp");
    int fd = mkstemp(path);
    CHECK(fd >= 0);
    close(fd);
    char back[5] = {0};
    CHECK(API_WriteNVR(path, 8, 4, "nvr!") == 4);
    CHECK(API_ReadNVR(path, 8, 4, back) == 4);
    CHECK(strcmp(back, "nvr!") == 0);
    unlink(path);

    /* Key-value files, and cJSON reached through the library's header. */
    char conf[272];
    snprintf(conf, sizeof(conf), "%s.conf", path);
    char value[KN_CONF_VALUE_SIZE];
    CHECK(write_conf_value(conf, "mode", "3") == 0);
    CHECK(read_conf_value(conf, "mode", value) == 0);
    CHECK(strcmp(value, "3") == 0);
    cJSON* tree = cJSON_CreateObject();
    CHECK(cJSON_AddNumberToObject(tree, "fans", 4) != NULL);
    CHECK(cjson_file_write(tree, conf) == 0);
    cJSON_Delete(tree);
    tree = prepare_parse_json(conf);
    int32_t fans = 0;
    CHECK(cjson_value_get(tree, "fans", KN_JSON_INT32, &fans, 4) == 0);
    CHECK(fans == 4);
    cJSON_Delete(tree);
    unlink(conf);

    /* The storage record's layout, and a list. */
    CHECK(sizeof(storage_message) == KN_FIFO_BUFFER_SIZE);
    kn_list_node* list = CreateList(0, "one", 4);
    CHECK(list != NULL && InsertLastList(list, "two", 4) != NULL);
    ClearList(&list);
    CHECK(list == NULL);

    /* I2C and SMBus, from the library alone: no bus behind -1. */
    CHECK(i2c_read_data(-1, 0x50, 0, 1, NULL, 4) == -1);
    CHECK(i2c_smbus_read_byte(-1) < 0);

    /* Devices: bad requests refused before any bus is touched. */
    CHECK(CPLDModuleWriteRegister(-1, 0, NULL, 1) == KN_CPLD_BAD_ARGUMENT);
    eeprom_handle handle;
    CHECK(eeprom_open(NULL, 0x50, KN_EEPROM_TYPE_8BIT_ADDR, &handle) == -1);
    CHECK(handle.fd == -1 && eeprom_close(&handle) == 0);
    CHECK(get_sku() == 4);
    CHECK(net_mode_atoi("bond1") == 2);

    /* Hardware detection: parity and the tables. */
    CHECK(odd_check(0x1F, 8) == 0 && odd_check(0x3F, 8) == KN_BP_PARITY_ERROR);
    CHECK(strcmp(bpHddLocateName[0], "UNKOWN") == 0);
    CHECK(d12p_right_cfg[3][1] == 7 && m2_bus_config[2][4] == 12);
    CHECK(riser_bus_config[2] == 0x71 && max_config_number == 3);

    /* User access rules: the tables, and a refused check. */
    CHECK(strcmp(userInterfaceStr[INTERFACE_SSH], "INTERFACE_SSH") == 0);
    CHECK(strcmp(ErrorCodeStr[KN_USER_FILE_NOT_EXIST - 4096],
                 "FILE NOT EXIST") == 0);
    CHECK(checkUser(NULL, "", "", INTERFACE_WEB) == KN_USER_INTERNAL_ERROR);

    /* FRU: the shared layouts, the name tables, and an image built in
     * memory. */
    CHECK(sizeof(fru) == 2504 && sizeof(fru_device) == 31);
    CHECK(sizeof(fru_param_entry) == 132 && sizeof(fru_buff[0]) == 1028);
    CHECK(fru_get_param_id("ProductInfoArea", "serialnum") == 19);
    CHECK(strcmp(default_ini[0], "[ChassisInfoArea]") == 0);
    fru_init();
    CHECK(get_fru_date() == KN_FRU_CHASSIS_FAILED);
    for (int id = 0; id < KN_FRU_PARAMS; ++id)
    {
        CHECK(modify_section("N/A", id) == 0);
    }
    CHECK(get_fru_date() == 0 && bmc_fru_len % 8 == 0);
    CHECK(parse_bin_date(bmc_fru_date, (int)bmc_fru_len) == 0);
    CHECK(fru.product.serial_number.type_length == 0xC3);

    /* Shared memory: nothing attached, bad calls refused. */
    CHECK(get_share_mem() == NULL);
    CHECK(add_sel_to_shm(NULL, "x", 1) == -1);

    /* SNMP: protocol tables, and calls refused before any file. */
    CHECK(snmp_v3_authen_atoi("sha-256") == SNMP_V3_AUTHEN_SHA256);
    CHECK(snmp_v3_authen_atoi("SHA-1") == SNMP_V3_AUTHEN_UNKNOWN);
    CHECK(strcmp(snmp_v3_encrypt_itoa(SNMP_V3_ENCRYPT_AES), "AES") == 0);
    CHECK(snmp_v3_encrypt_itoa(SNMP_V3_ENCRYPT_UNKNOWN) == NULL);
    CHECK(snmp_service_port_get(NULL) == -1);
    CHECK(snmp_v3_user_add("user", "pass phrase", SNMP_V3_AUTHEN_SHA,
                           SNMP_V3_ENCRYPT_AES) == -1);
    SNMP_V3_USER* users = NULL;
    CHECK(snmp_v3_user_free(&users) == 0 && users == NULL);

    /* E-mail: the shared record's layout. */
    CHECK(sizeof(mail_config) == KN_MAIL_CONFIG_SIZE);
    CHECK(offsetof(mail_config, port) == 776);
    CHECK(offsetof(mail_config, auth) == 852);
    CHECK(read_email_config(NULL, NULL) == -1);
    /* SEL records and their texts, Redfish records: layouts and tables. */
    CHECK(sizeof(sensor_record) == KN_SHM_SENSOR_SIZE);
    CHECK(sizeof(event_subscription) == KN_SHM_SUBSCRIPTION_SIZE);
    CHECK(sizeof(event_info) == KN_SHM_EVENT_INFO_SIZE);
    CHECK(SensorSELWrite(NULL, 1, 0, 4, 1, 0, 0, 0) == -1);
    char unit[KN_UNIT_TEXT_SIZE];
    CHECK(strcmp(ipmi_sdr_get_unit_string(1, 0, 0, 0, unit), "percent") == 0);
    const sel_event_row* row = ipmi_get_first_event_sensor_type(0, 0x08);
    CHECK(row != NULL && strcmp(row->text, "Device Absent") == 0);
    char types[KN_EVENT_TYPES_TEXT_SIZE] = "";
    CHECK(strcmp(eventtypeToStr(0x11, types), "StatusChange,Alert") == 0);

    return failures == 0 ? 0 : 1;
}
