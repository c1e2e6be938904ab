// The Wi-Fi adapter of the cloud-side runtime: the one road from the gateway's network code to the
// application's Wi-Fi functions (hwl_wf_*). It checks arguments, serialises the scans and the
// mode changes under one adapter mutex, and does the mode juggling a one-network scan needs.
//
// The functions themselves belong to the application, which sits above this layer: it hands
// them over once at start (gWfHwlOps), the seam through which this lower layer reaches them. The
// application fills every entry, so an empty one is a wiring fault: logged naming the link,
// answered -1.
#pragma once

#include <cstdint>

#define WF_SSID_LEN 32
#define WF_PASSWD_LEN 64
#define WF_SCAN_MAX_AP 20

// One access point of a scan.
typedef struct {
    uint8_t channel;
    int8_t rssi;  // percent
    uint8_t bssid[6];
    uint8_t ssid[WF_SSID_LEN + 1];  // bytes of the name, NUL after them
    uint8_t s_len;                  // 0 for a hidden network
    uint8_t resv;
} WF_AP_INFO_S;

// Dotted texts; empty when not known.
typedef struct {
    char ip[16];
    char mask[16];
    char gw[16];
} WF_IP_INFO_S;

typedef enum {
    WWM_NONE = 0,  // the radio has no mode set yet
    WWM_SNIFFER = 1,
    WWM_STATION = 2,
    WWM_SOFTAP = 3,
} WF_WK_MODE_E;

typedef enum {
    WF_STATION = 0,
    WF_AP = 1,
} WF_IF_E;

// The access point the unit offers for provisioning.
typedef struct {
    char ssid[WF_SSID_LEN + 1];
    char passwd[WF_PASSWD_LEN + 1];  // "" for an open network
    uint8_t chan;
} WF_AP_CFG_IF_S;

// A captured 802.11 frame, radiotap header removed.
typedef void (*WF_SNIFFER_CB)(const uint8_t* frame, uint16_t len);

// The application's Wi-Fi functions, in the order the adapter forwards to them.
typedef struct {
    int (*all_ap_scan)(WF_AP_INFO_S** ap_ary, uint32_t* num);
    int (*assign_ap_scan)(const char* ssid, WF_AP_INFO_S** ap);
    int (*scan_free)(WF_AP_INFO_S* ap);
    int (*channel_set)(uint8_t chan);
    int (*channel_get)(uint8_t* chan);
    int (*sniffer_enable)(int on, WF_SNIFFER_CB cb);
    int (*ip_get)(WF_IF_E wf, WF_IP_INFO_S* ip);
    int (*mac_get)(WF_IF_E wf, uint8_t mac[6]);
    int (*wk_mode_set)(WF_WK_MODE_E mode);
    int (*wk_mode_get)(WF_WK_MODE_E* mode);
    int (*sta_connect)(const char* ssid, const char* passwd);
    int (*sta_disconnect)(void);
    int (*sta_rssi_get)(int8_t* rssi);
    int (*sta_status_get)(uint32_t* stat);
    int (*ap_start)(const WF_AP_CFG_IF_S* cfg);
    int (*ap_stop)(void);
    int (*country_code_set)(const char* code);
} WF_HWL_OPS_S;
extern WF_HWL_OPS_S gWfHwlOps;

// Each returns the code of the function it forwards to, or -2 for a null argument it checks
// (nothing is called then).
int wf_all_ap_scan(WF_AP_INFO_S** ap_ary, uint32_t* num);
// Leaves the radio as it found it: a sniffing radio sniffs again with the same callback.
int wf_assign_ap_scan(const char* ssid, WF_AP_INFO_S** ap);
int wf_release_ap(WF_AP_INFO_S* ap);
int wf_set_cur_channel(uint8_t chan);
int wf_get_cur_channel(uint8_t* chan);
// A callback switched on with success is kept for the restore after a one-network scan.
int wf_sniffer_set(int on, WF_SNIFFER_CB cb);
int wf_get_ip(WF_IF_E wf, WF_IP_INFO_S* ip);
int wf_get_mac(WF_IF_E wf, uint8_t mac[6]);
int wf_wk_mode_set(WF_WK_MODE_E mode);
int wf_wk_mode_get(WF_WK_MODE_E* mode);
int wf_station_connect(const char* ssid, const char* passwd);
int wf_station_disconnect(void);
int wf_station_get_conn_ap_rssi(int8_t* rssi);
int wf_station_stat_get(uint32_t* stat);
int wf_ap_start(const WF_AP_CFG_IF_S* cfg);
int wf_ap_stop(void);
int wf_set_country_code(const char* code);
