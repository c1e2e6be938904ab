// Types the cloud connection shares with the camera service and the application: the callback
// table it calls, the data-point records those callbacks receive, the firmware record and the
// network and reset codes. In-process records: fields in order, real pointers.
#pragma once

#include <cstdint>

// Data-point property types.
typedef enum {
    PROP_BOOL = 0,
    PROP_VALUE = 1,
    PROP_STR = 2,
    PROP_ENUM = 3,
    PROP_BITMAP = 4,
} DP_PROP_TP_E;

// One received data point.
typedef struct {
    uint8_t dpid;
    uint8_t type;  // DP_PROP_TP_E
    union {
        int32_t dp_value;
        uint32_t dp_enum;
        char* dp_str;
        int32_t dp_bool;
        uint32_t dp_bitmap;
    } value;
    uint32_t time_stamp;
} OBJ_DP_S;

// An object data-point command: the count, then the entries.
typedef struct {
    uint32_t cmd_tp;  // where it came from: 0 LAN, 1 MQTT
    const char* cid;  // sub-device id, NULL for the gateway itself
    uint32_t dps_cnt;
    OBJ_DP_S dps[];
} RECV_OBJ_DP_S;

// A raw data-point command: bytes.
typedef struct {
    uint32_t cmd_tp;
    const char* cid;
    uint8_t dpid;
    uint32_t len;
    uint8_t data[];
} RECV_RAW_DP_S;

// A data-point query: the ids asked for, no values.
typedef struct {
    const char* cid;
    uint32_t cnt;
    uint8_t dpid[];
} DP_QUERY_S;

#define FW_URL_LEN 255
#define FW_MD5_LEN 32
#define SW_VER_LEN 20

// A firmware image the cloud offers.
typedef struct {
    uint8_t tp;  // firmware channel
    char fw_url[FW_URL_LEN + 1];
    char fw_md5[FW_MD5_LEN + 1];
    char sw_ver[SW_VER_LEN + 1];
    uint32_t file_size;
} NOXA_FW_INFO_S;

typedef enum {
    GW_LOCAL_RESET_FACTORY = 0,
    GW_REMOTE_UNACTIVE = 1,
    GW_LOCAL_UNACTIVE = 2,
    GW_REMOTE_RESET_FACTORY = 3,
} GW_RESET_TYPE_E;

// Network status handed to the status callbacks.
typedef enum {
    STAT_NO_CLOUD = 0,         // no cloud link yet
    STAT_CLOUD_CONN = 7,       // cloud MQTT link up
    STAT_AP_CLOUD_CONN = 8,    // cloud MQTT link up while the access point is on
    STAT_MQTT_OFFLINE = 12,    // cloud MQTT link lost
} GW_WIFI_NW_STAT_E;

// Start mode of the Wi-Fi device start: which provisioning the unit offers first.
typedef enum {
    WF_START_AP_FIRST = 0,
    WF_START_SMART_FIRST = 1,
    WF_START_AP_FIRST_2 = 2,
    WF_START_SMART_FIRST_2 = 3,
} GW_WF_START_MODE_E;

typedef void (*GW_STATUS_CHANGED_CB)(uint8_t status);
typedef int (*GW_UG_INFORM_CB)(const NOXA_FW_INFO_S* fw);
typedef void (*GW_RESET_IFM_CB)(GW_RESET_TYPE_E type);
typedef void (*DEV_OBJ_DP_CMD_CB)(const RECV_OBJ_DP_S* dp);
typedef void (*DEV_RAW_DP_CMD_CB)(const RECV_RAW_DP_S* dp);
typedef void (*DEV_DP_QUERY_CB)(const DP_QUERY_S* query);
typedef int (*DEV_UG_INFORM_CB)(const char* dev_id, const NOXA_FW_INFO_S* fw);

// The seven callbacks of the cloud connection, in slot order. A NULL slot is never called.
typedef struct {
    GW_STATUS_CHANGED_CB gw_status_cb;
    GW_UG_INFORM_CB gw_ug_cb;
    GW_RESET_IFM_CB gw_reset_cb;
    DEV_OBJ_DP_CMD_CB dev_obj_dp_cb;
    DEV_RAW_DP_CMD_CB dev_raw_dp_cb;
    DEV_DP_QUERY_CB dev_dp_query_cb;
    DEV_UG_INFORM_CB dev_ug_cb;
} NOXA_IOT_CBS_S;

// The network-status poll callback.
typedef GW_STATUS_CHANGED_CB GET_NW_STAT_CB;
