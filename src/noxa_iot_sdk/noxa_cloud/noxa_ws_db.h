// Device records in the key-value store: the gateway's identity ("gw_bi"), Wi-Fi work state
// ("gw_wsm"), description ("gw_di"), activation data ("gw_ai"), sub-devices ("ddi-<id>"),
// schemas and the user parameter blob, each a small JSON object. A record is a table of field
// descriptors over a fixed structure; one serialiser and one deserialiser serve every table.
#pragma once

#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"

#include <cstdint>

#define WS_DB_ERR_WRITE (-934)  // the store's write or delete failed
#define WS_DB_ERR_READ (-935)   // the store's read failed, other than a missing key
#define WS_DB_ERR_JSON (-802)   // the stored text is not JSON
#define WS_DB_ERR_JSON_TYPE (-803)

// Field types and their JSON form.
typedef enum {
    NQ_DB_INT8 = 0,    // number -128..127
    NQ_DB_UINT8 = 1,   // number 0..255
    NQ_DB_INT16 = 2,   // number -32768..32767
    NQ_DB_UINT16 = 3,  // number 0..65535
    NQ_DB_INT32 = 4,   // number
    NQ_DB_BOOL = 5,    // true / false over a 32-bit word
    NQ_DB_STR = 6,     // string in a buffer of len bytes (at most len - 1 characters); "" is null
    NQ_DB_RAW = 7,     // len bytes as a Base64 string; none is null
} NQ_DB_TYPE_E;

// One field: its JSON name, type, address in the caller's structure and size. A field missing
// from the JSON reads as len zero bytes.
typedef struct {
    const char* name;
    uint32_t type;  // NQ_DB_TYPE_E
    void* value;
    uint32_t len;
} NQ_DB_RW_S;

#define GW_VER_LEN 20
#define GW_ATTACH_NUM 4
#define DEV_ID_LEN 25
#define GW_URL_LEN 128
#define GW_TIME_ZONE_LEN 10
#define GW_SUM_TIME_ZONE_LEN 256
#define GW_WX_LEN 32

// One attached module (firmware channel and its version).
typedef struct {
    uint8_t mst_tp;
    char mst_ver[GW_VER_LEN + 1];
} GW_ATTACH_ATTR_S;

// Gateway description ("gw_di").
typedef struct {
    uint8_t abi;
    char id[GW_ID_LEN + 1];
    char swv[GW_VER_LEN + 1];
    char bv[GW_VER_LEN + 1];
    char pv[GW_VER_LEN + 1];
    char lpv[GW_VER_LEN + 1];
    char cadv[GW_VER_LEN + 1];
    char cdv[GW_VER_LEN + 1];
    char pk[PRODUCT_KEY_LEN + 1];
    char dev_swv[GW_VER_LEN + 1];
    char s_id[PRODUCT_KEY_LEN + 1];
    uint8_t dtp;
    uint8_t attr_num;
    GW_ATTACH_ATTR_S attr[GW_ATTACH_NUM];
    uint32_t sync;  // stored as its low byte
} GW_DESC_IF_S;

// Gateway activation data ("gw_ai").
typedef struct {
    char key[GW_LOCAL_KEY_LEN + 1];  // device id
    char lckey[GW_LOCAL_KEY_LEN + 1];
    char h_url[GW_URL_LEN + 1];
    char hs_url[GW_URL_LEN + 1];
    char hs_psk[GW_URL_LEN + 1];
    char mqm_url[GW_URL_LEN + 1];
    char mqs_url[GW_URL_LEN + 1];
    char mq_url[GW_URL_LEN + 1];
    char time_z[GW_TIME_ZONE_LEN + 1];
    char s_time_z[GW_SUM_TIME_ZONE_LEN + 1];
    char wx_app_id[GW_WX_LEN + 1];
    char wx_uuid[GW_WX_LEN + 1];
} GW_ACTV_IF_S;

// A sub-device ("ddi-<id>").
typedef struct {
    char id[DEV_ID_LEN + 1];
    char sw_ver[GW_VER_LEN + 1];
    char s_id[PRODUCT_KEY_LEN + 1];
    char pk[PRODUCT_KEY_LEN + 1];
    uint32_t uddd;
    uint8_t tp;
    BOOL_T bind;
    BOOL_T sync;
    uint8_t attr_num;
    GW_ATTACH_ATTR_S attr[GW_ATTACH_NUM];
} DEV_DESC_IF_S;

// JSON text of the fields, in a Malloc'd buffer the caller frees (length without the NUL).
// -2 null argument, -3 no memory, -1 a type above 7.
int __nq_serialize(const NQ_DB_RW_S* rw, uint32_t cnt, char** out, uint32_t* outLen);
// Fills the fields from a JSON text. -802 not JSON, -803 a member of the wrong JSON type, -1 a
// value out of range or too long for its field; fields filled so far stay filled.
int __nq_deserialize(const char* json, const NQ_DB_RW_S* rw, uint32_t cnt);
// Serialise and store under key / read and deserialise; -2 null or count 0, -934, -901, -935.
int __nq_db_serialize_save(const char* key, const NQ_DB_RW_S* rw, uint32_t cnt);
int __nq_db_deserialize_restore(const char* key, const NQ_DB_RW_S* rw, uint32_t cnt);

// Opens the store (kvs_init) in the storage folder with the 16-byte store key.
int ws_db_init(const char* path, const uint8_t* key, uint32_t keyLen);

int wd_gw_base_if_write(const GW_BASE_IF_S* bi);
int wd_gw_base_if_read(GW_BASE_IF_S* bi);
// The network name and password are stored as Base64 texts.
int wd_gw_wsm_write(const GW_WORK_STAT_MAG_S* wsm);
int wd_gw_wsm_read(GW_WORK_STAT_MAG_S* wsm);
// The read refuses (-1) a non-empty software version that is no version number.
int wd_gw_desc_if_write(const GW_DESC_IF_S* di);
int wd_gw_desc_if_read(GW_DESC_IF_S* di);
int wd_gw_actv_if_write(const GW_ACTV_IF_S* ai);
int wd_gw_actv_if_read(GW_ACTV_IF_S* ai);

int wd_dev_if_write(const DEV_DESC_IF_S* dev);
// The sub-device record after `*index` others in store order; zero-filled first; the index
// moves on by one on success; -901 after the last.
int wd_dev_if_read(uint32_t* index, DEV_DESC_IF_S* dev);
int wd_dev_if_delete_all(void);
int wd_dev_if_delete(const char* id);
// A schema text is stored with its NUL; the text read is freed with wd_common_free_data.
int wd_dev_schema_write(const char* key, const char* schema);
int wd_dev_schema_read(const char* key, char** schema);
int wd_dev_schema_delete(const char* key);
int ws_db_user_param_write(const uint8_t* data, uint32_t len);
int ws_db_user_param_read(uint8_t** data, uint32_t* len);

int wd_utils_serialize(const NQ_DB_RW_S* rw, uint32_t cnt, char** out, uint32_t* outLen);
int wd_utils_free_outbuf(char* buf);
int wd_utils_deserialize(const char* json, const NQ_DB_RW_S* rw, uint32_t cnt);
int wd_common_write(const char* key, const uint8_t* value, uint32_t len);
int wd_common_read(const char* key, uint8_t** value, uint32_t* len);
int wd_common_free_data(uint8_t* data);
