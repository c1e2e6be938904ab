// Network bring-up: the Ethernet MAC address, the wired or wireless decision at start, the Wi-Fi
// driver of the USB module, the configuration files of the Wi-Fi station and access point, and
// NetStatusDetThread, which watches the cable and the Wi-Fi association and reboots the unit to
// switch between wired and wireless. Wired (gAppState.Wired) is decided once per boot.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

enum WIFI_MODE_E : uint32_t {
    WIFI_MODE_SNIFFER = 1,
    WIFI_MODE_STATION = 2,
    WIFI_MODE_AP = 3,
};

enum WIFI_STA_STATUS_E : uint32_t {
    WIFI_STA_SCANNING = 4,
    WIFI_STA_CONNECTED = 6,
};

// Station until an access point is started (set by the access-point start and stop).
extern std::atomic<uint32_t> gWifiMode;
// What the last status pass saw of the station (WIFI_STA_*); 0 before the first pass.
extern std::atomic<uint32_t> gWifiStaStatus;
// 1 once the wireless DHCP client was started for the current association.
extern std::atomic<uint8_t> gWifiDhcpStarted;

constexpr const char* kMacConfFile = "/DeviceInfo/mac.conf";
constexpr const char* kWpaConfFile = "/etc/wpa.conf";
constexpr const char* kHostapdConfFile = "/etc/hostapd_none.conf";
constexpr const char* kUdhcpdConfFile = "/etc/udhcpd.conf";
constexpr const char* kWifiStatusFile = "/dev/Wifistatus";

constexpr uint32_t kNetSwitchPasses = 9;    // passes (seconds) a changed cable state must last
constexpr uint32_t kNetStatusFirstMs = 10000;
constexpr uint32_t kNetStatusPeriodMs = 1000;
constexpr size_t kWifiSsidMax = 128;
constexpr size_t kWifiPasswordMax = 128;
constexpr size_t kWifiApSsidMax = 32;
constexpr size_t kWifiPassphraseMin = 8;  // WPA pass phrases are 8..63 printable characters
constexpr size_t kWifiPassphraseMax = 63;
constexpr uint32_t kLedPatternNetLost = 1;

// The cable link of eth0: 1 link, 0 no link, -1 when it cannot be read.
int hwl_bnw_station_conn();

// Start-up step 3: MAC address, then after 2 s the cable decides: no link loads the Wi-Fi driver
// (wireless), a link starts the wired DHCP client 2 s later (wired); then NetStatusDetThread.
int NetworkInit();
// The MAC address of "/DeviceInfo/mac.conf" set on eth0. A missing file is created all zeros;
// an all-zero or malformed one (anything but six hex pairs of a unicast address) gets a random
// locally administered unicast address, saved for later starts.
void NetMacSetup();
// The driver of the USB Wi-Fi module: ssv6x5x when lsusb shows "8065", else rtl8188f.
void LoadWifiDriver();

// Starts NetStatusDetThread (detached). The pthread_create result.
int StartNetStatusDet();
void* NetStatusDetThread(void* arg);
// One pass of the thread, under the network mutex: the Wi-Fi status, then the cable; a changed
// cable state that lasts kNetSwitchPasses passes switches by a reboot (or, wired outside
// station mode, only clears the wired flag).
void NetStatusDetPass();

// A WPA pass phrase wpa_supplicant takes: 8..63 characters, none of them a control character.
bool WifiPassphraseOk(const std::string& psk);
// Writes "/etc/wpa.conf" and starts wpa_supplicant on it (hostapd and eth0 stopped). 0, or -1
// when the pass phrase is refused (control characters, length outside 8..63) or the file cannot
// be written; nothing is started then.
int WifiStationStart(const char* ssid, const char* password);
// Writes "/etc/hostapd_none.conf" and "/etc/udhcpd.conf" for the saved access-point SSID, gives
// wlan0 192.168.1.1 and starts udhcpd and hostapd; Wi-Fi mode becomes access point. 0, or -1
// when a file cannot be written.
int WifiApStart();

// The saved credentials (at most kWifiSsidMax, kWifiPasswordMax, kWifiApSsidMax characters).
void SaveWifiStation(const char* ssid, const char* password);
void SaveWifiApSsid(const char* ssid);
std::string GetWifiStationSsid();
std::string GetWifiStationPassword();
std::string GetWifiApSsid();

// With a saved station SSID the unit restarts to join it; without one nothing happens.
void WifiJoinOrReboot();
// 1 when "iwconfig wlan0" shows an ESSID line, else 0 (also when it cannot be run).
int WifiEssidShown();
// Wireless: reads the station state from wpa_cli; a new association starts the DHCP client
// once. Wired: the station counts as connected.
void WifiStatusUpdate();
