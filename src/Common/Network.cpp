#include "Network.h"
#include "AppThread.h"

#include "AppLog.h"
#include "AppState.h"
#include "ConfigFileParse.h"
#include "DeviceState.h"
#include "DoorPhone.h"
#include "Peripheral.h"
#include "platform/board_file.h"
#include "platform/board_net.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <mutex>
#include <pthread.h>
#include <random>
#include <sys/prctl.h>
#include <unistd.h>

std::atomic<uint32_t> gWifiMode{WIFI_MODE_STATION};
std::atomic<uint32_t> gWifiStaStatus{0};
std::atomic<uint8_t> gWifiDhcpStarted{0};

namespace {

constexpr const char* kMacZero = "00:00:00:00:00:00";
constexpr size_t kMacConfReadMax = 48;
constexpr size_t kWifiStatusReadMax = 512;
constexpr uint32_t kNetSettleMs = 2000;
// The second resolver handed to access-point clients, after the unit itself.
constexpr const char* kApPublicDns = "8.8.8.8";

// Written by the Wi-Fi functions of the cloud side, read by the status thread. Never destroyed:
// the status thread may still read them while the process exits.
struct WIFI_SAVED_S {
    std::mutex Mutex;
    std::string StaSsid;
    std::string StaPassword;
    std::string ApSsid;
};
WIFI_SAVED_S& gWifiSaved = *new WIFI_SAVED_S;

// Passes the current cable state has differed from the running network; the status thread's.
uint32_t gSwitchCount = 0;

// A MAC address or a network configuration is a device file: written whole (a power cut never
// leaves half of one), never once a factory reset has begun.
bool __WriteUnitFile(const char* unitPath, const std::string& text, mode_t mode = kDeviceFileMode)
{
    return WriteDeviceFile(unitPath, text.data(), text.size(), mode) == 0;
}

// Up to `max` bytes of a unit file; false when it cannot be opened.
bool __ReadUnitFile(const char* unitPath, size_t max, std::string* text)
{
    // Only a regular file: a FIFO or a device at the path must not hold the start.
    return BoardReadRegular(unitPath, max, text) == 0;
}

bool __IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

std::string __Hex(const std::string& bytes)
{
    std::string out;
    char pair[3];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", c);
        out += pair;
    }
    return out;
}

// Six hex pairs separated by colons, nothing else: the only text that may reach ifconfig. An
// all-zero or multicast address is no address for the port (the kernel refuses it).
bool __IsUsableMac(const std::string& text)
{
    if (text.size() != 17) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        bool ok = (i % 3 == 2) ? text[i] == ':' : std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
        if (!ok) {
            return false;
        }
    }
    const unsigned first = static_cast<unsigned>(std::stoul(text.substr(0, 2), nullptr, 16));
    return text != kMacZero && (first & 0x01) == 0;
}

std::string __RandomMac()
{
    std::array<uint8_t, 6> b{};
    FILE* f = BoardFopen("/dev/urandom", "r");
    bool drawn = f != nullptr && std::fread(b.data(), 1, b.size(), f) == b.size();
    if (f != nullptr) {
        std::fclose(f);
    }
    if (!drawn) {
        APP_ERR("/dev/urandom unreadable, drawing the address elsewhere");
        std::random_device rd;
        for (auto& v : b) {
            v = static_cast<uint8_t>(rd());
        }
    }
    b[0] = static_cast<uint8_t>((b[0] & ~0x01) | 0x02);  // unicast, locally administered
    char text[18];
    std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
    return text;
}

// A text wpa_supplicant reads back unchanged between double quotes; anything else goes in its
// hexadecimal form, so the network name can never end the line or the string.
std::string __WpaSsidLine(const std::string& ssid)
{
    for (unsigned char c : ssid) {
        if (c == '"' || c == '\\' || __IsControl(c)) {
            return "ssid=" + __Hex(ssid) + "\n";
        }
    }
    return "ssid=\"" + ssid + "\"\n";
}

}  // namespace

bool WifiPassphraseOk(const std::string& psk)
{
    if (psk.size() < kWifiPassphraseMin || psk.size() > kWifiPassphraseMax) {
        return false;
    }
    for (unsigned char c : psk) {
        if (__IsControl(c)) {
            return false;
        }
    }
    return true;
}

namespace {

std::string __WpaConf(const std::string& ssid, const std::string& psk)
{
    static const struct {
        const char* freqList;
        const char* priority;
    } kBands[] = {
        {"freq_list=2412 2417 2422 2427 2432 2437 2442 2447 2452 2457 2462 2467 2472\n", "priority=5\n"},
        {"freq_list=5745 5765 5785 5805 5825 5320 5300 5280 5260 5240 5220 5200 5180\n", "priority=6\n"},
    };
    std::string conf = "ctrl_interface=/tmp/wpa_supplicant\ncountry=EU\nupdate_config=1\n";
    for (const auto& band : kBands) {
        conf += "network={\n";
        conf += __WpaSsidLine(ssid);
        conf += "key_mgmt=WPA-PSK\nproto=RSN WPA WPA2\npairwise=TKIP CCMP\ngroup=TKIP CCMP\n";
        conf += "psk=\"" + psk + "\"\n";
        conf += band.freqList;
        conf += band.priority;
        conf += "}\n\n";
    }
    return conf;
}

std::string __HostapdConf(const std::string& ssid)
{
    bool plain = true;
    for (unsigned char c : ssid) {
        plain = plain && !__IsControl(c);
    }
    // hostapd takes the rest of the line as the name; a name with a line break goes as hex.
    std::string ssidLine = plain ? "ssid=" + ssid + "\n" : "ssid2=" + __Hex(ssid) + "\n";
    return "ctrl_interface=/dev/hostapd\ninterface=wlan0\n" + ssidLine +
           "channel=1\nmacaddr_acl=0\nauth_algs=1\nignore_broadcast_ssid=0\nhw_mode=g\n";
}

std::string __UdhcpdConf()
{
    return std::string("start           192.168.1.20\n"
                       "end             192.168.1.254\n"
                       "interface        wlan0\n"
                       "opt \tdns \t192.168.1.1\n"
                       "option\tsubnet\t255.255.255.0\n"
                       "opt \trouter\t192.168.1.1\n"
                       "opt \twins\t192.168.1.1\n"
                       "option\tdns \t") +
           kApPublicDns + "\noption\tdomain\tlocal\noption\tlease\t864000\n";
}

void __LedsOff()
{
    for (int led = 0; led < 3; ++led) {
        SetLed(led, 0);
    }
}

}  // namespace

int hwl_bnw_station_conn()
{
    struct ethtool_value edata {};
    edata.cmd = ETHTOOL_GLINK;
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, "eth0", sizeof(ifr.ifr_name) - 1);
    ifr.ifr_data = reinterpret_cast<char*>(&edata);
    if (BoardNetIoctl(SIOCETHTOOL, &ifr) != 0) {
        return -1;
    }
    return edata.data != 0 ? 1 : 0;
}

void NetMacSetup()
{
    std::string text;
    if (!__ReadUnitFile(kMacConfFile, kMacConfReadMax, &text)) {
        text = kMacZero;
        if (!__WriteUnitFile(kMacConfFile, text)) {
            APP_ERR("cannot create %s", kMacConfFile);
        }
    }
    // An editor's line end is no part of the address.
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    if (!__IsUsableMac(text)) {
        if (text != kMacZero) {
            APP_ERR("%s holds no usable MAC address, drawing a new one", kMacConfFile);
        }
        text = __RandomMac();
        if (!__WriteUnitFile(kMacConfFile, text)) {
            APP_ERR("cannot save the MAC address %s", text.c_str());
        }
    }
    BoardSystem(("ifconfig eth0 hw ether " + text).c_str());
}

void LoadWifiDriver()
{
    bool ssv = false;
    FILE* usb = BoardPopen("lsusb", "r");
    if (usb != nullptr) {
        char line[256];
        while (std::fgets(line, sizeof(line), usb) != nullptr) {
            ssv = ssv || std::strstr(line, "8065") != nullptr;
        }
        BoardPclose(usb);
    }
    if (ssv) {
        BoardSystem("insmod /customer/ko/ssv6x5x.ko stacfgpath=/customer/ssv6255-cfg/ssv6x5x-wifi.cfg");
    } else {
        BoardSystem("insmod /customer/ko/rtl8188f.ko");
    }
}

int NetworkInit()
{
    NetMacSetup();
    BoardIoSleep(kNetSettleMs);
    const int link = hwl_bnw_station_conn();
    APP_DBG("hwl_bnw_station_conn()\t%d", link);
    if (link != 1) {
        LoadWifiDriver();
        gAppState.Wired = 0;
    } else {
        BoardIoSleep(kNetSettleMs);
        gAppState.Wired = 1;
        BoardSystem("udhcpc -T 2 -t 30 -A 60&");
    }
    return StartNetStatusDet();
}

int StartNetStatusDet()
{
    return AppStartDetachedThread(NetStatusDetThread);
}

void* NetStatusDetThread(void*)
{
    prctl(PR_SET_NAME, "NetStatusDetThread");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    BoardIoSleep(kNetStatusFirstMs);
    for (;;) {
        NetStatusDetPass();
        BoardIoSleep(kNetStatusPeriodMs);
    }
    return nullptr;
}

void NetStatusDetPass()
{
    std::lock_guard<std::mutex> lock(gDeviceState.NetMutex);
    WifiStatusUpdate();
    const bool wired = gAppState.Wired != 0;
    // A link that cannot be read is no link, as at start: counting it as up would send a
    // wireless unit into a reboot every 9 s.
    const bool link = hwl_bnw_station_conn() == 1;
    if (!link) {
        if (!wired) {
            gSwitchCount = 0;
            return;
        }
        if (++gSwitchCount < kNetSwitchPasses) {
            return;
        }
        if (gWifiMode != WIFI_MODE_STATION) {
            gAppState.Wired = 0;
            SetLedPattern(kLedPatternNetLost);
            return;
        }
        const std::string ssid = GetWifiStationSsid();
        APP_DBG("Change to Wifi %s", ssid.c_str());
        BoardSystem("killall udhcpc");
        BoardSystem("killall wpa_supplicant");
        BoardIoSleep(kNetSettleMs);
        if (ssid.empty()) {
            __LedsOff();
            SafeReboot();
        }
        WifiJoinOrReboot();
        return;
    }
    if (wired) {
        gSwitchCount = 0;
        return;
    }
    const bool accessPoint = gWifiMode == WIFI_MODE_AP;
    if (gWifiMode != WIFI_MODE_STATION && !(accessPoint && WifiEssidShown() == 1)) {
        return;
    }
    if (++gSwitchCount < kNetSwitchPasses) {
        return;
    }
    APP_DBG("Change to Wired");
    if (accessPoint) {
        BoardSystem("killall hostapd");
        BoardSystem("ifconfig wlan0 down");
        BoardSystem("killall udhcpd");
    } else {
        BoardSystem("killall wpa_supplicant");
        BoardSystem("killall udhcpc");
        BoardSystem("ifconfig wlan0 down");
    }
    __LedsOff();
    SafeReboot();
}

int WifiStationStart(const char* ssid, const char* password)
{
    if (ssid == nullptr || password == nullptr) {
        return -1;
    }
    if (!WifiPassphraseOk(password)) {
        APP_ERR("pass phrase refused: %zu characters, 8..63 printable ones needed", std::strlen(password));
        return -1;
    }
    // It holds the pass phrase: no other local user may read it.
    if (!__WriteUnitFile(kWpaConfFile, __WpaConf(ssid, password), kSecretFileMode)) {
        APP_ERR("cannot write %s", kWpaConfFile);
        return -1;
    }
    BoardSystem("killall hostapd");
    BoardSystem("ifconfig eth0 down");
    char cmd[128];
    std::snprintf(cmd, sizeof(cmd), "%s -B -Dnl80211 -iwlan0 -c /etc/wpa.conf &", "/customer/wpa_supplicant");
    BoardSystem(cmd);
    return 0;
}

int WifiApStart()
{
    if (!__WriteUnitFile(kHostapdConfFile, __HostapdConf(GetWifiApSsid())) ||
        !__WriteUnitFile(kUdhcpdConfFile, __UdhcpdConf())) {
        APP_ERR("cannot write the access-point files");
        return -1;
    }
    BoardSystem("ifconfig wlan0 192.168.1.1");
    BoardSystem("udhcpd /etc/udhcpd.conf&");
    BoardSystem("cd /");
    char cmd[128];
    std::snprintf(cmd, sizeof(cmd), "%s /etc/hostapd_none.conf&", "/customer/hostapd");
    BoardSystem(cmd);
    gWifiMode = WIFI_MODE_AP;
    return 0;
}

void SaveWifiStation(const char* ssid, const char* password)
{
    std::lock_guard<std::mutex> lock(gWifiSaved.Mutex);
    gWifiSaved.StaSsid.assign(ssid != nullptr ? ssid : "", 0, kWifiSsidMax);
    gWifiSaved.StaPassword.assign(password != nullptr ? password : "", 0, kWifiPasswordMax);
}

void SaveWifiApSsid(const char* ssid)
{
    std::lock_guard<std::mutex> lock(gWifiSaved.Mutex);
    gWifiSaved.ApSsid.assign(ssid != nullptr ? ssid : "", 0, kWifiApSsidMax);
}

std::string GetWifiStationSsid()
{
    std::lock_guard<std::mutex> lock(gWifiSaved.Mutex);
    return gWifiSaved.StaSsid;
}

std::string GetWifiStationPassword()
{
    std::lock_guard<std::mutex> lock(gWifiSaved.Mutex);
    return gWifiSaved.StaPassword;
}

std::string GetWifiApSsid()
{
    std::lock_guard<std::mutex> lock(gWifiSaved.Mutex);
    return gWifiSaved.ApSsid;
}

void WifiJoinOrReboot()
{
    if (!GetWifiStationSsid().empty()) {
        SafeReboot();
    }
}

int WifiEssidShown()
{
    FILE* p = BoardPopen("iwconfig wlan0", "r");
    if (p == nullptr) {
        APP_DBG("WIFI Get Mode Fail. Force Set Station \r");
        return 0;
    }
    int shown = 0;
    char line[256];
    while (std::fgets(line, sizeof(line), p) != nullptr) {
        if (shown == 0 && std::strstr(line, "ESSID:") != nullptr) {
            line[std::strcspn(line, "\r\n")] = '\0';
            APP_DBG("ESSID: %s", line);
            shown = 1;
        }
    }
    BoardPclose(p);
    return shown;
}

void WifiStatusUpdate()
{
    if (gAppState.Wired != 0) {
        gWifiStaStatus = WIFI_STA_CONNECTED;
        return;
    }
    BoardSystem("/customer/wpa_cli -p /tmp/wpa_supplicant status > /dev/Wifistatus");
    std::string status;
    if (!__ReadUnitFile(kWifiStatusFile, kWifiStatusReadMax, &status)) {
        return;
    }
    if (status.find("COMPLETED") != std::string::npos) {
        if (gWifiDhcpStarted == 0) {
            BoardSystem("killall udhcpc");
            BoardSystem("udhcpc -iwlan0 -T 2 -t 120 -n");
            gWifiDhcpStarted = 1;
        }
        gWifiStaStatus = WIFI_STA_CONNECTED;
    } else if (status.find("SCANNING") != std::string::npos) {
        gWifiDhcpStarted = 0;
        gWifiStaStatus = WIFI_STA_SCANNING;
    }
}
