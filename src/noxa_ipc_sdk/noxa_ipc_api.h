// The camera service API: how the application brings the cloud side up. Call noxa_ipc_init_sdk,
// then noxa_ipc_start_sdk, each once.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"

#include <cstdint>

#define IPC_STORAGE_PATH_LEN 64
#define IPC_PRODUCT_KEY_LEN 16
#define IPC_UUID_LEN 25
#define IPC_AUTH_KEY_LEN 32
#define IPC_SW_VER_LEN 20

typedef void (*IPC_RESTART_REQ_CB)(void);

// The application's start record, copied whole by noxa_ipc_init_sdk.
typedef struct {
    char storage_path[IPC_STORAGE_PATH_LEN + 1];  // "/DeviceInfo/noxa/"
    char product_key[IPC_PRODUCT_KEY_LEN + 1];
    char dev_uuid[IPC_UUID_LEN + 1];
    char dev_auth_key[IPC_AUTH_KEY_LEN + 1];
    char unused_id[26];  // not read
    char dev_sw_version[IPC_SW_VER_LEN + 1];
    char unused_name[36];  // "noxa_ipc"; not read
    DEV_OBJ_DP_CMD_CB dp_cmd_obj_cb;
    DEV_RAW_DP_CMD_CB dp_cmd_raw_cb;
    DEV_DP_QUERY_CB dp_query_cb;
    GW_STATUS_CHANGED_CB net_status_change_cb;
    GW_UG_INFORM_CB upgrade_inform_cb;
    GW_RESET_IFM_CB reset_cb;
    IPC_RESTART_REQ_CB restart_req_cb;  // not used by the start
    uint32_t unused_words[2];
} NOXA_IPC_INIT_PARAM_S;

typedef enum {
    WIFI_INIT_AUTO = 0,
    WIFI_INIT_AP = 1,
    WIFI_INIT_DEBUG = 2,  // joins the fixed test network with the caller's token
} WIFI_INIT_MODE_E;

// 0; -2 for NULL (nothing is touched); else the cloud core's code.
int noxa_ipc_init_sdk(const NOXA_IPC_INIT_PARAM_S* param);
// 0; -2 for a mode outside 0..2 (after the identity has been handed over); else the code of the
// failing step.
int noxa_ipc_start_sdk(WIFI_INIT_MODE_E mode, const char* token);
const char* noxa_ipc_get_sdk_info(void);
