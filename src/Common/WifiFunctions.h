// The Wi-Fi functions the cloud side calls (through the Wi-Fi adapter, wf_basic_intf): scans,
// station join, access point, sniffer, channel, mode, addresses, on the unit's tools over
// "wlan0" and "eth0". Results: 0, -1 when a command cannot be run, -ENOENT (-2) for a missing
// argument or an access-point call on a wired unit.
#pragma once

#include "noxa_adapter/wifi_intf/wf_basic_intf.h"

#include <cstdint>
#include <cstdio>
#include <string>

int hwl_wf_sta_connect(const char* ssid, const char* passwd);
int hwl_wf_all_ap_scan(WF_AP_INFO_S** ap_ary, uint32_t* num);
// The first access point of a full scan whose name has the same length and bytes; *ap NULL (and
// 0) when none has.
int hwl_wf_assign_ap_scan(const char* ssid, WF_AP_INFO_S** ap);
int hwl_wf_scan_free(WF_AP_INFO_S* ap);
int hwl_wf_channel_set(uint8_t chan);
int hwl_wf_channel_get(uint8_t* chan);
// On: a thread hands every captured frame (radiotap header removed) to `cb`. Off: the thread is
// ended (within one 200 ms receive wait) and the radio goes back to station mode. -2 for on
// without a callback; -1 when the thread or its socket could not be started (the radio back in
// station mode, the sniffer off: the next switch-on tries again).
int hwl_wf_sniffer_enable(int on, WF_SNIFFER_CB cb);
int hwl_wf_ip_get(WF_IF_E wf, WF_IP_INFO_S* ip);
int hwl_wf_mac_get(WF_IF_E wf, uint8_t mac[6]);
int hwl_wf_mac_set(WF_IF_E wf, const uint8_t mac[6]);
int hwl_wf_wk_mode_set(WF_WK_MODE_E mode);
int hwl_wf_wk_mode_get(WF_WK_MODE_E* mode);
int hwl_wf_sta_disconnect(void);
int hwl_wf_sta_rssi_get(int8_t* rssi);
int hwl_wf_sta_status_get(uint32_t* stat);
int hwl_wf_ap_start(const WF_AP_CFG_IF_S* cfg);
int hwl_wf_ap_stop(void);
int hwl_wf_country_code_set(const char* code);

// The command runner of the Wi-Fi functions: traces the command and runs it.
int WifiExecCmd(const char* cmd);

// Parsers of the tools' output, pure.
// "iwlist wlan0 scan": at most `max` records into `out`; the count. A 21st cell ends the parse
// (" Reach Max Record \r"). Names are the bytes between the first and last quote after
// "ESSID:", with "\xNN" and "\\" decoded; a cell whose name is not a name (more than 32 bytes,
// no closing quote) is left out.
uint32_t WifiScanParse(FILE* in, WF_AP_INFO_S* out, uint32_t max);
// One "ESSID:" value as the scan shows it (the text after "ESSID:"): the name's length, or -1.
int WifiEssidDecode(const std::string& shown, uint8_t out[WF_SSID_LEN + 1]);
// "ifconfig IF" (busybox's "inet addr:A Bcast:B Mask:M" or net-tools' "inet A netmask M
// broadcast B"): address and mask; false when no address is shown.
bool WifiParseIfconfig(const std::string& text, WF_IP_INFO_S* ip);
// The default route of `iface` in "/proc/net/route": its gateway as dotted text; false when none.
bool WifiDefaultGateway(const std::string& routes, const char* iface, char gw[16]);

// Hands the functions to the Wi-Fi adapter (start-up, before the cloud side starts).
void WifiFunctionsInstall();
