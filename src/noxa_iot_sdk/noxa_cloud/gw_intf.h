// The gateway: the one control block of the cloud connection (identity, Wi-Fi work state,
// activation, start parameters, callback table, network status) and the operations the camera
// service and the application call on it.
#pragma once

#include "noxa_iot_sdk/com_sdk/noxa_iot_types.h"

#include <atomic>
#include <cstdint>
#include <type_traits>

#define GW_UUID_LEN 25
#define GW_AUTH_KEY_LEN 32
#define GW_AP_SSID_LEN 32
#define GW_AP_PASSWD_LEN 64
#define GW_COUNTRY_CODE_LEN 7
#define GW_ID_LEN 25
#define GW_LOCAL_KEY_LEN 16
#define PRODUCT_KEY_LEN 16
#define WIFI_SSID_LEN 32
#define WIFI_PASSWD_LEN 64
#define GW_TOKEN_LEN 8
#define GW_REGION_LEN 2
#define GW_REG_KEY_LEN 4

typedef int32_t BOOL_T;

// Production identity (the device record "gw_bi").
typedef struct {
    char uuid[GW_UUID_LEN + 1];
    char auth_key[GW_AUTH_KEY_LEN + 1];
    char ap_ssid[GW_AP_SSID_LEN + 1];
    char ap_passwd[GW_AP_PASSWD_LEN + 1];
    char country_code[GW_COUNTRY_CODE_LEN + 1];
    BOOL_T prod_test;
} GW_BASE_IF_S;

// Wi-Fi work state (the device record "gw_wsm").
typedef struct {
    uint8_t nc_tp;  // configuration type of the start
    uint8_t md;     // GW_WF_START_MODE_E of the start
    char ssid[WIFI_SSID_LEN + 1];
    char passwd[WIFI_PASSWD_LEN + 1];
    uint8_t random;
    uint8_t stat;
    char token[GW_TOKEN_LEN + 1];
    char region[GW_REGION_LEN + 1];
    char reg_key[GW_REG_KEY_LEN + 1];
} GW_WORK_STAT_MAG_S;

// What noxa_iot_set_gw_prod_info takes: the access-point texts may be NULL.
typedef struct {
    const char* uuid;
    const char* auth_key;
    const char* ap_ssid;
    const char* ap_passwd;
} GW_PROD_INFO_S;

typedef enum {
    UN_ACTIVE = 0,
    ACTIVATING = 1,
    ACTIVATED = 2,
} GW_ACTIVE_STAT_E;

#define MQ_PRO_VER "2.2"
#define LAN_PRO_VER "3.3"

struct GW_CNTL_S {
    GW_BASE_IF_S gw_base;
    GW_WORK_STAT_MAG_S gw_wsm;
    // Activation: empty until the cloud has activated the unit. Written under the gateway's lock
    // (a reset clears them on the MQTT task): others copy them with gw_get_active_ids.
    char devId[GW_ID_LEN + 1];
    char localKey[GW_LOCAL_KEY_LEN + 1];
    // Start parameters.
    char product_key[PRODUCT_KEY_LEN + 1];
    char sw_ver[SW_VER_LEN + 1];
    const char* mq_pro_ver = MQ_PRO_VER;
    const char* lan_pro_ver = LAN_PRO_VER;
    NOXA_IOT_CBS_S cbs;
    std::atomic<bool> started;
    // The network-status poll.
    std::atomic<GET_NW_STAT_CB> nw_stat_cb;
    std::atomic<uint32_t> nw_stat_interval_s;
    std::atomic<uint8_t> active_stat;  // GW_ACTIVE_STAT_E
    std::atomic<uint8_t> nw_stat;      // GW_WIFI_NW_STAT_E
    std::atomic<uint8_t> ext_stat;
};

GW_CNTL_S* get_gw_cntl(void);

// The activation's device id and local key, copied under the gateway's lock ("" before an
// activation); either pointer may be NULL.
void gw_get_active_ids(char devId[GW_ID_LEN + 1], char localKey[GW_LOCAL_KEY_LEN + 1]);
void gw_get_dev_id(char devId[GW_ID_LEN + 1]);
// Sets both under the lock (texts cut to their fields); NULL clears.
void gw_set_active_ids(const char* devId, const char* localKey);

// -2 for a NULL record, uuid or auth key, or a text above its length. A changed identity is
// stored and the stored Wi-Fi state cleared.
int noxa_iot_set_gw_prod_info(const GW_PROD_INFO_S* prod);
// Starts the gateway with its configuration type, start mode, callbacks (copied), product key
// and software version. -2 for a NULL table, key or version, a mode above 3 or a text above its
// length; -1 when the gateway has started already.
int noxa_iot_wf_soc_dev_init(uint32_t cfg, GW_WF_START_MODE_E mode, const NOXA_IOT_CBS_S* cbs,
                             const char* fw_key, const char* sw_ver);
// The device id: a copy of this thread's own, valid until its next call.
const char* noxa_iot_get_dev_id(void);
uint8_t noxa_iot_get_active_stat(void);
int get_wf_gw_nw_status(uint8_t* stat);
int set_gw_ext_stat(uint8_t stat);

// The network-status poll: a cyclic system timer of interval x 1000 ms that calls `cb` when the
// status differs from the last one it saw. -2 for a NULL callback or interval 0.
int noxa_iot_reg_get_wf_nw_stat_cb_params(GET_NW_STAT_CB cb, uint32_t interval_s);
// One pass of the poll (the timer's callback).
void gw_nw_stat_poll(void);
// The network status as the cloud link sees it (7 up, 12 lost). The first 7 starts the cloud
// clock's sync.
void gw_set_nw_stat(uint8_t stat);

// The cloud clock: asked (time.get) when the link first comes up and, until one answer sets it,
// again after 10 s, 20 s, 40 s ... at most 10 min apart, on the work queue.
#define GW_TIME_RETRY_FIRST_MS 10000u
#define GW_TIME_RETRY_MAX_MS 600000u
// The wait before try n + 1 after n failed tries (n >= 1).
uint32_t gw_time_retry_ms(uint32_t failures);
// One try (the work queue's job): 0 once the clock is set, else the call's result, and the next
// try armed.
int gw_time_sync_step(void);
// 1 once the first try has had its answer (set or not): what was sent before it carried the
// clock of a unit that did not know the time.
int gw_time_answered(void);

// User Wi-Fi credentials and token ("RRttttttttKKKK": region, token, registration key; shorter
// texts fill the fields in that order), then the network joined through the Wi-Fi adapter (the
// access point ended; the network kept when the join is taken, see gw_wifi.h). 0 once the token is
// bound, whatever the join gives; -2 for a NULL or empty network name or a text above its length.
int gw_wifi_user_cfg(const char* ssid, const char* passwd, const char* token);
int noxa_iot_gw_wf_user_cfg(const char* ssid, const char* passwd, const char* token);

// Calls one callback slot: -1 when it is empty, else 0 or the callback's own result.
template <typename CB, typename... ARGS>
int gw_call_slot(CB cb, ARGS... args)
{
    if (cb == nullptr) {
        return -1;
    }
    if constexpr (std::is_void_v<std::invoke_result_t<CB, ARGS...>>) {
        cb(args...);
        return 0;
    } else {
        return cb(args...);
    }
}

// The gateway's own callback slots; -1 when the slot is empty.
int gw_call_status_changed(uint8_t status);
int gw_call_ug_inform(const NOXA_FW_INFO_S* fw);
int gw_call_reset(GW_RESET_TYPE_E type);
int gw_call_dev_ug_inform(const char* dev_id, const NOXA_FW_INFO_S* fw);

// A copy of the bound token (8 characters at most; "" when none), taken under the gateway's lock
// so that a token bound meanwhile is read whole.
void gw_get_token(char token[GW_TOKEN_LEN + 1]);
// Forgets the bound token (a used token is of no further use).
void gw_clear_token(void);
// Forgets the bound token only while it is still `token` (one bound meanwhile stays).
void gw_drop_token(const char* token);

// A copy of the local key ("" before activation and after a reset), taken under the gateway's
// lock: the viewers' port checks its proofs with it on a thread of its own.
void gw_get_local_key(char key[GW_LOCAL_KEY_LEN + 1]);
// Sets the local key (at most GW_LOCAL_KEY_LEN characters; NULL or "" clears it).
void gw_set_local_key(const char* key);
// Copies of the stored network name and pass phrase, and of the bound token's region, taken under
// the gateway's lock.
void gw_get_network(char ssid[WIFI_SSID_LEN + 1], char passwd[WIFI_PASSWD_LEN + 1]);
void gw_get_region(char region[GW_REGION_LEN + 1]);
// Sets the network name and pass phrase of the Wi-Fi work state (a text that does not fit leaves
// its field as it was).
void gw_set_network(const char* ssid, const char* passwd);
