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

// ---- Entry points the application calls once the cloud side runs ----
#include "noxa_adapter/utilities/uni_time.h"

#include <cstdio>
#include <string>

// Data-point reports: one record built from (id, type, value); value is the word at the pointer
// for bool, value and bitmap, the text for string, the text's decimal value for enum. -1 for no
// value or another type, -2 for a count other than 1 (one record is built); else the report's.
int noxa_ipc_dp_report(const char* dev_id, uint8_t dp_id, uint8_t type, const void* value, uint32_t cnt);
int noxa_ipc_dp_report_async(const char* dev_id, uint8_t dp_id, uint8_t type, const void* value, uint32_t cnt);
int noxa_ipc_dp_report_sync(const char* dev_id, uint8_t dp_id, uint8_t type, const void* value, uint32_t cnt,
                            uint32_t timeout_s);
int noxa_ipc_raw_dp_report_sync(const char* dev_id, uint8_t dp_id, const uint8_t* data, uint32_t len,
                                uint32_t timeout_s);

// Notifications. Content types: 0 media, 1 jpeg, 2 png, 3 pcm.
constexpr uint32_t kNotifyMaxBytes = 153600;
constexpr uint32_t kNotifySpacingMs = 60000;
int noxa_ipc_notify_motion_detect(const char* data, uint32_t size, int type);
// Mode 0: the doorbell event and the picture message; mode 1: the event alone.
int noxa_ipc_notify_door_bell_press_generic(int mode, uint8_t* data, uint32_t size, int type);
int noxa_ipc_notify_with_event(const char* data, uint32_t size, int type, uint32_t name);
#define NOXA_NOTIFY_MAX_FILES 2
typedef struct {
    const char* data;
    uint32_t size;
    char key[20];   // media and pcm: the 16-character key the caller encrypted them with
    uint32_t type;  // 0 media, 1 jpeg, 2 png, 3 pcm
} NOXA_NOTIFY_FILE_S;
// One event with up to two files (a video message: its picture and its media).
typedef struct {
    uint32_t file_count;  // 0..2
    uint32_t name;        // the event's index in the notification names (0 "ipc_motion", ...)
    std::string extra;    // a JSON member placed before "cmd" (e.g. "\"ext\":{...}"); empty: none
    char kind[16];        // "image" or "audio" ("type" of the message)
    char resource[16];    // "resources" ("with" of the message)
    NOXA_NOTIFY_FILE_S files[NOXA_NOTIFY_MAX_FILES];
} NOXA_NOTIFICATION_S;
// -1 for NULL or a held-back motion event; -2 for more than two files or a type above 3.
int noxa_ipc_notify_generic(const NOXA_NOTIFICATION_S* notify);
int noxa_ipc_door_bell_cancel(void);
// The doorbell's video message with the visitor's picture (the video-message service).
int noxa_ipc_leave_video_msg(const uint8_t* pic, uint32_t size);
int noxa_ipc_door_bell_stop(void);

// Time.
int noxa_ipc_get_service_time(TIME_T* utc, int32_t* zone);
int noxa_ipc_get_service_time_force(TIME_T* utc, int32_t* zone);
int noxa_ipc_get_utc_time(TIME_T* t);
int noxa_ipc_get_utc_tm(POSIX_TM_S* tm);
int noxa_ipc_get_local_time(TIME_T t, POSIX_TM_S* tm);
int noxa_ipc_check_in_dls(TIME_T t, int* in_dls);
int noxa_ipc_get_local_time_dls(POSIX_TM_S* tm);

// Device, upgrade, provisioning, misc.
int noxa_ipc_get_device_id(char* buf, int* len);
int noxa_ipc_upgrade_download_start(const NOXA_FW_INFO_S* fw, void* data_cb, void* finish_cb, void* priv);
int noxa_ipc_upgrade_progress_report(uint32_t percent);
// An upgrade's status to the cloud: of the unit itself (dev_id NULL) or of a sub-device, for its
// firmware channel (0 the main firmware). The cloud call's result.
int noxa_ipc_upgrade_progress_status(const char* dev_id, uint8_t module, int status);
int noxa_ipc_direct_connect(const char* text, int source);
int noxa_ipc_qrcode_recon_init(void);
// Provisioning of another device: broadcasts a network and a token (thing_config_start). With
// `with_token` the token is a new one from the cloud with its region in front, else the bound one;
// a NULL ssid takes the stored network. -802 when the cloud's answer has no token, the cloud
// call's code when it fails, else thing_config_start's.
int noxa_ipc_thing_config_start(const char* ssid, const char* passwd, int with_token, uint32_t timeout_s);
int noxa_ipc_set_channel_time(uint32_t ms);
int noxa_ipc_get_mqtt_online(void);
int noxa_ipc_book_wakeup_topic(void);
int noxa_ipc_get_wakeup_data(uint8_t* buf, uint32_t* len);
int noxa_ipc_get_mqtt_socket_fd(void);
int noxa_ipc_get_heartbeat_data(uint8_t* buf, uint32_t* len);
int noxa_ipc_mqtt_send(uint32_t protocol, const char* text);
int noxa_ipc_report_living_msg(int code);
int noxa_ipc_report_p2p_msg(void);
int noxa_ipc_set_log_level(uint32_t level);
// The logger's level, the stream its lines also go to (the log file; null for none) and the
// milliseconds in its header (non-zero: on). 0.
int noxa_ipc_log_setting(uint32_t level, FILE* stream, int ms_flag);
// Free memory in KB from "/proc/meminfo" (free + cached); -1 without the file.
int noxa_ipc_get_free_mem(uint32_t* kb);
// 0 not registered, 1 registering, 2 activated.
int noxa_ipc_get_activation_state(void);

// A text that grows from the service's pool (Malloc; given back with Free): `len` characters and
// a NUL in `size` bytes. All zero is an empty text.
typedef struct {
    char* text;
    uint32_t len;
    uint32_t size;
} NOXA_IPC_TEXT_CTX_S;
// One key and value of the padding object; entries of kind 0 and 1 are written, others left out.
typedef struct {
    uint32_t kind;
    const char* key;
    const char* value;
} NOXA_IPC_PADDING_S;
typedef struct {
    uint32_t count;
    const NOXA_IPC_PADDING_S* items;
} NOXA_IPC_PADDING_LIST_S;
// Appends "\"padding\":{\"key\":\"value\",...}" to the text, keys and values escaped as JSON
// strings. 0; -2 for a NULL argument, a NULL key or value, or a text above 64 KB; -3 when the
// pool has no room (the text stays as it was).
int noxa_ipc_build_padding(NOXA_IPC_TEXT_CTX_S* ctx, const NOXA_IPC_PADDING_LIST_S* list);

// What the entry points hand their work to: the cloud connection's calls and the notification
// service's (pictures to object storage and their messages), and the video-message service's,
// which sets its entry at its start. Every entry is filled in the unit, so an empty one is a
// wiring fault: logged naming the link and answered -1. Tests replace entries.
typedef struct {
    int (*dp_report_async)(const char* dev_id, const OBJ_DP_S* dps, uint32_t cnt, uint32_t flag);
    int (*dp_report_sync)(const char* dev_id, const OBJ_DP_S* dps, uint32_t cnt, uint32_t timeout_s,
                          uint32_t flag);
    int (*raw_dp_report_sync)(const char* dev_id, uint8_t dpid, const uint8_t* data, uint32_t len,
                              uint32_t timeout_s, uint32_t flag);
    int (*upgd_progress_rept)(uint32_t percent, const char* dev_id, uint32_t type);
    int (*door_bell_press)(const char* etype, uint32_t time, const char* file);
    int (*door_bell_answer)(const char* json);
    int (*prot_data_rept)(uint32_t protocol, const char* json);
    int (*wifi_user_cfg)(const char* ssid, const char* passwd, const char* token);
    // Picture upload and its message: motion (DP 115), doorbell (DP 154; the picture named by
    // the press event's time), generic (DP 185).
    int (*motion_notify)(const char* data, uint32_t size, const char* type);
    int (*doorbell_notify)(const uint8_t* data, uint32_t size, const char* type, uint32_t time);
    int (*generic_notify)(const NOXA_NOTIFICATION_S* notify);
    // Firmware download (the cloud HTTPS API's upgrade download).
    int (*upgrade_gw)(const NOXA_FW_INFO_S* fw, void* data_cb, void* finish_cb, void* priv);
    // Asks the cloud for its time once (http_gw_timer_cnt) and sets the clock.
    int (*service_time_sync)(void);
    // The video-message service's doorbell message.
    int (*leave_video_msg)(const uint8_t* pic, uint32_t size);
} NOXA_IPC_API_OPS_S;
extern NOXA_IPC_API_OPS_S gNoxaIpcOps;
// The "/proc/meminfo" text as the entry point reads it (tests).
int noxa_ipc_parse_meminfo(FILE* f, uint32_t* kb);
// Forgets the spacing and progress state (tests).
void noxa_ipc_api_reset_state(void);
