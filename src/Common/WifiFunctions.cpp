#include "WifiFunctions.h"

#include "AppLog.h"
#include "AppState.h"
#include "DeviceState.h"
#include "Network.h"
#include "Peripheral.h"
#include "SystemCallbacks.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "platform/board_net.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <sstream>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char* kWlan = "wlan0";
constexpr const char* kEth = "eth0";
constexpr const char* kRouteFile = "/proc/net/route";
constexpr const char* kApAddress = "192.168.1.1";  // what the access point's set-up gives wlan0
constexpr const char* kApMask = "255.255.255.0";
constexpr size_t kCommandReadMax = 64 * 1024;
constexpr size_t kSnifferFrameMax = 512;
constexpr int kSnifferWaitMs = 200;
constexpr uint32_t kSnifferResumeMs = 1000;
constexpr uint32_t kBindWaitMs = 2000;
constexpr uint32_t kAssociateWaitMs = 8000;
constexpr uint32_t kLeaseSettleMs = 4000;
constexpr uint32_t kJoinReturnMs = 2000;

__attribute__((format(printf, 1, 2))) void WifiTrace(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

bool Wired()
{
    return gAppState.Wired != 0;
}

// The output of a command (at most kCommandReadMax bytes); false when it cannot be run.
bool ReadCommand(const std::string& cmd, std::string* out)
{
    FILE* p = BoardPopen(cmd.c_str(), "r");
    if (p == nullptr) {
        return false;
    }
    out->clear();
    char buf[1024];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) {
        if (out->size() < kCommandReadMax) {
            out->append(buf, std::min(n, kCommandReadMax - out->size()));
        }
    }
    BoardPclose(p);
    return true;
}

std::string ReadUnitFile(const char* path)
{
    std::string text;
    if (FILE* f = BoardFopen(path, "r")) {
        char buf[1024];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0 && text.size() < kCommandReadMax) {
            text.append(buf, n);
        }
        std::fclose(f);
    }
    return text;
}

// The line with leading blanks taken off.
std::string Trimmed(const std::string& line)
{
    size_t at = line.find_first_not_of(" \t");
    return at == std::string::npos ? std::string() : line.substr(at);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// "Quality=Q/M" as a percentage; -1 when the line shows none.
int QualityPercent(const std::string& text)
{
    size_t at = text.find("Quality=");
    int q = 0;
    int m = 0;
    if (at == std::string::npos || std::sscanf(text.c_str() + at + 8, "%d/%d", &q, &m) != 2 || q < 0 || m < 0) {
        return -1;
    }
    long percent = static_cast<long>(q) * 100 / (static_cast<long>(m) + 1);
    return static_cast<int>(std::min<long>(percent, 100));
}

bool ParseMac(const std::string& text, uint8_t mac[6])
{
    size_t at = text.find("HWaddr ");
    size_t skip = 7;
    if (at == std::string::npos) {
        at = text.find("ether ");
        skip = 6;
    }
    unsigned b[6];
    if (at == std::string::npos || std::sscanf(text.c_str() + at + skip, "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2],
                                                &b[3], &b[4], &b[5]) != 6) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        mac[i] = static_cast<uint8_t>(b[i]);
    }
    return true;
}

template <size_t N>
void CopyText(char (&dst)[N], const char* src)
{
    std::snprintf(dst, N, "%s", src);
}

// The last scan; the records a scan returns point into it.
std::mutex s_scanLock;
WF_AP_INFO_S s_scan[WF_SCAN_MAX_AP];
uint32_t s_scanCount = 0;

std::atomic<uint32_t> s_channel{1};

// The sniffer. Never destroyed: its thread may still run while the process exits.
struct SNIFFER_S {
    std::mutex Lock;  // switching on and off
    std::thread Thread;
    std::atomic<int> Enabled{0};
    std::atomic<WF_SNIFFER_CB> Callback{nullptr};
    std::atomic<int> Stopped{0};  // switched off since the last station join
};
SNIFFER_S& gSniffer = *new SNIFFER_S;

// A radiotap frame: the 802.11 frame behind its header (the header's length is the 16-bit
// little-endian value at byte 2); false for a frame without a usable header.
bool RadiotapPayload(const uint8_t* frame, size_t len, const uint8_t** payload, uint16_t* payloadLen)
{
    if (frame == nullptr || len < 4) {
        return false;
    }
    const size_t header = static_cast<size_t>(frame[2]) | (static_cast<size_t>(frame[3]) << 8);
    if (header >= kSnifferFrameMax || header >= len) {
        return false;
    }
    *payload = frame + header;
    *payloadLen = static_cast<uint16_t>(len - header);
    return true;
}

// `opened` hears whether the socket could be opened: the switch-on reports the sniffer running
// only then.
void SnifferLoop(std::promise<bool> opened)
{
    prctl(PR_SET_NAME, "wf_sniffer");
    WifiTrace("Sniffer Thread Create\r");
    int fd = BoardPacketSocket(kWlan);
    if (fd < 0) {
        int err = errno;
        WifiTrace("Sniffer Socket Alloc Fails %d \r\n", err);
        errno = err;
        perror("Sniffer Socket Alloc");
        gSniffer.Callback = nullptr;
        opened.set_value(false);
        return;
    }
    // A receive that waits for ever would keep the switch-off from ending the thread.
    struct timeval wait = {0, kSnifferWaitMs * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    opened.set_value(true);
    uint8_t frame[kSnifferFrameMax];
    for (;;) {
        WF_SNIFFER_CB cb = gSniffer.Callback.load();
        if (cb == nullptr || gSniffer.Enabled == 0) {
            break;
        }
        ssize_t n = recv(fd, frame, sizeof(frame), 0);
        if (n <= 0) {
            continue;
        }
        const uint8_t* payload = nullptr;
        uint16_t len = 0;
        if (RadiotapPayload(frame, static_cast<size_t>(n), &payload, &len)) {
            cb(payload, len);
        }
    }
    gSniffer.Callback = nullptr;
    close(fd);
    WifiTrace("Sniffer Proc Finish\r");
}

}  // namespace

int WifiExecCmd(const char* cmd)
{
    WifiTrace("Exec Cmd:%s \r\n", cmd);
    return BoardSystem(cmd);
}

int WifiEssidDecode(const std::string& shown, uint8_t out[WF_SSID_LEN + 1])
{
    const size_t first = shown.find('"');
    const size_t last = shown.rfind('"');
    if (first == std::string::npos || last == first) {
        return -1;
    }
    const std::string text = shown.substr(first + 1, last - first - 1);
    uint8_t name[WF_SSID_LEN];
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            i += 2;
        } else if (c == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
                   HexValue(text[i + 3]) >= 0) {
            c = static_cast<uint8_t>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3]));
            i += 4;
        } else {
            ++i;
        }
        // 32 bytes is all a network name can be: anything longer is no name, and no buffer's end.
        if (n == WF_SSID_LEN) {
            return -1;
        }
        name[n++] = c;
    }
    std::memcpy(out, name, n);
    std::memset(out + n, 0, WF_SSID_LEN + 1 - n);
    return static_cast<int>(n);
}

uint32_t WifiScanParse(FILE* in, WF_AP_INFO_S* out, uint32_t max)
{
    uint32_t count = 0;
    bool open = false;  // out[count - 1] is the cell being read
    bool bad = false;
    auto closeCell = [&] {
        if (open && bad) {
            --count;  // no usable name: the cell is left out
        }
        open = false;
    };
    char* raw = nullptr;
    size_t cap = 0;
    ssize_t got;
    while ((got = getline(&raw, &cap, in)) > 0) {
        std::string line = Trimmed(std::string(raw, static_cast<size_t>(got)));
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        // Each field on its own line and at its start: a network's name can never pass for one.
        if (line.compare(0, 5, "Cell ") == 0 && line.find(" - Address: ") != std::string::npos) {
            closeCell();
            if (count >= max) {
                WifiTrace(" Reach Max Record \r");
                break;
            }
            WF_AP_INFO_S& r = out[count++];
            r = WF_AP_INFO_S{};
            open = true;
            bad = false;
            unsigned b[6];
            const char* at = line.c_str() + line.find(" - Address: ") + 12;
            if (std::sscanf(at, "%2x:%2x:%2x:%2x:%2x:%2x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) == 6) {
                for (int i = 0; i < 6; ++i) {
                    r.bssid[i] = static_cast<uint8_t>(b[i]);
                }
            }
            continue;
        }
        if (!open) {
            continue;
        }
        WF_AP_INFO_S& r = out[count - 1];
        if (line.compare(0, 6, "ESSID:") == 0) {
            int n = WifiEssidDecode(line.substr(6), r.ssid);
            if (n < 0) {
                bad = true;
            } else {
                r.s_len = static_cast<uint8_t>(n);
            }
        } else if (line.compare(0, 8, "Quality=") == 0) {
            int q = QualityPercent(line);
            if (q >= 0) {
                r.rssi = static_cast<int8_t>(q);
            }
        } else if (line.find("(Channel ") != std::string::npos) {
            int ch = 0;
            if (std::sscanf(line.c_str() + line.find("(Channel ") + 9, "%d", &ch) == 1 && ch > 0 && ch < 256) {
                r.channel = static_cast<uint8_t>(ch);
            }
        }
    }
    closeCell();
    std::free(raw);
    return count;
}

bool WifiParseIfconfig(const std::string& text, WF_IP_INFO_S* ip)
{
    char addr[16] = {};
    char mask[16] = {};
    size_t at = text.find("inet addr:");
    if (at != std::string::npos) {
        std::sscanf(text.c_str() + at + 10, "%15s", addr);
    } else {
        for (at = text.find("inet "); at != std::string::npos; at = text.find("inet ", at + 1)) {
            if (std::isdigit(static_cast<unsigned char>(text[at + 5])) != 0) {
                std::sscanf(text.c_str() + at + 5, "%15s", addr);
                break;
            }
        }
    }
    if ((at = text.find("Mask:")) != std::string::npos) {
        std::sscanf(text.c_str() + at + 5, "%15s", mask);
    } else if ((at = text.find("netmask ")) != std::string::npos) {
        std::sscanf(text.c_str() + at + 8, "%15s", mask);
    }
    struct in_addr probe {};
    if (addr[0] == '\0' || inet_pton(AF_INET, addr, &probe) != 1) {
        return false;
    }
    CopyText(ip->ip, addr);
    CopyText(ip->mask, inet_pton(AF_INET, mask, &probe) == 1 ? mask : "");
    return true;
}

bool WifiDefaultGateway(const std::string& routes, const char* iface, char gw[16])
{
    std::istringstream lines(routes);
    std::string line;
    std::getline(lines, line);  // the header
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string name;
        std::string dest;
        std::string gate;
        std::string flags;
        if (!(f >> name >> dest >> gate >> flags) || name != iface) {
            continue;
        }
        char* end = nullptr;
        const unsigned long d = std::strtoul(dest.c_str(), &end, 16);
        const unsigned long fl = std::strtoul(flags.c_str(), nullptr, 16);
        // RTF_UP | RTF_GATEWAY on the default destination. The kernel prints the address as a
        // word of this machine's byte order, so it goes back into an address unchanged.
        if (*end != '\0' || d != 0 || (fl & 0x3) != 0x3) {
            continue;
        }
        struct in_addr a {};
        a.s_addr = static_cast<in_addr_t>(std::strtoul(gate.c_str(), nullptr, 16));
        return inet_ntop(AF_INET, &a, gw, 16) != nullptr;
    }
    return false;
}

int hwl_wf_sta_connect(const char* ssid, const char* passwd)
{
    if (ssid == nullptr) {
        return -ENOENT;
    }
    if (gSniffer.Stopped.exchange(0) != 0) {
        SetIndicatorEvent(INDICATOR_STA_RESUME);
        BoardIoSleep(kSnifferResumeMs);
    }
    SetIndicatorEvent(INDICATOR_STA_JOIN);
    WifiTrace("ssid %d\n", static_cast<int>(std::strlen(ssid)));
    if (ssid[0] == '\0') {
        WifiExecCmd("killall hostapd");
        WifiTrace("get bind info ...\n");
        BoardIoSleep(kJoinReturnMs);
        return 0;
    }
    const char* psk = passwd != nullptr ? passwd : "";
    // A pass phrase wpa_supplicant would refuse is not kept either: the unit would try it at
    // every start.
    if (!WifiPassphraseOk(psk)) {
        // On the cable the unit keeps its network; the refusal only means nothing is kept for
        // Wi-Fi (the debug start hands such a network), so it is no fault there.
        if (Wired()) {
            APP_DBG("network %s not kept: pass phrase of %zu characters, 8..63 printable ones needed", ssid,
                    std::strlen(psk));
        } else {
            APP_ERR("join of %s refused: pass phrase of %zu characters, 8..63 printable ones needed", ssid,
                    std::strlen(psk));
        }
        return -1;
    }
    SaveWifiStation(ssid, psk);
    if (!Wired()) {
        WifiTrace("get wifi info ...%s %s\n", ssid, uni_mask_secret(psk).text);
        if (BoardAccess("/etc", W_OK) != 0) {
            APP_ERR("/etc/wpa.conf cannot be created");
            return -1;
        }
        {
            std::lock_guard<std::mutex> lock(gDeviceState.NetMutex);
            if (WifiStationStart(ssid, psk) != 0) {
                return -1;
            }
            BoardIoSleep(kAssociateWaitMs);
        }
        // Without the mutex, and giving up when no lease comes: a wrong pass phrase must not keep
        // the DHCP client, and the network supervisor behind it, waiting for ever.
        WifiExecCmd("udhcpc -iwlan0 -T 2 -t 30 -A 60 -n");
        WifiExecCmd("ifconfig eth0 up");
        BoardIoSleep(kLeaseSettleMs);
    }
    BoardIoSleep(kJoinReturnMs);
    return 0;
}

int hwl_wf_all_ap_scan(WF_AP_INFO_S** ap_ary, uint32_t* num)
{
    if (ap_ary == nullptr || num == nullptr) {
        return -ENOENT;
    }
    std::lock_guard<std::mutex> lock(s_scanLock);
    std::memset(s_scan, 0, sizeof(s_scan));
    s_scanCount = 0;
    FILE* p = BoardPopen("iwlist wlan0 scan", "r");
    if (p == nullptr) {
        WifiTrace("popen fails\r");
        return -1;
    }
    s_scanCount = WifiScanParse(p, s_scan, WF_SCAN_MAX_AP);
    BoardPclose(p);
    WifiTrace("WIFI Scan AP Begin\r");
    for (uint32_t i = 0; i < s_scanCount; ++i) {
        const WF_AP_INFO_S& r = s_scan[i];
        WifiTrace("index:%u bssid:%02X-%02X-%02X-%02X-%02X-%02X RSSI:%d SSID:%s\r\n", i, r.bssid[0], r.bssid[1],
                  r.bssid[2], r.bssid[3], r.bssid[4], r.bssid[5], r.rssi, reinterpret_cast<const char*>(r.ssid));
    }
    WifiTrace("WIFI Scan AP End\r");
    *ap_ary = s_scan;
    *num = s_scanCount;
    return 0;
}

int hwl_wf_assign_ap_scan(const char* ssid, WF_AP_INFO_S** ap)
{
    if (ssid == nullptr || ap == nullptr) {
        return -ENOENT;
    }
    *ap = nullptr;
    WF_AP_INFO_S* all = nullptr;
    uint32_t count = 0;
    int ret = hwl_wf_all_ap_scan(&all, &count);
    if (ret != 0) {
        return ret;
    }
    // The same length and the same bytes: a hidden network (length 0) or a longer name that
    // starts alike is another network.
    const size_t len = std::strlen(ssid);
    for (uint32_t i = 0; i < count && len > 0; ++i) {
        if (all[i].s_len == len && std::memcmp(all[i].ssid, ssid, len) == 0) {
            *ap = &all[i];
            break;
        }
    }
    return 0;
}

int hwl_wf_scan_free(WF_AP_INFO_S*)
{
    return 0;
}

int hwl_wf_channel_set(uint8_t chan)
{
    char cmd[64];
    std::snprintf(cmd, sizeof(cmd), "iwconfig %s channel %d", kWlan, chan);
    WifiExecCmd(cmd);
    s_channel = chan;
    WifiTrace("WIFI Set Channel:%d \r\n", chan);
    return 0;
}

int hwl_wf_channel_get(uint8_t* chan)
{
    if (chan == nullptr) {
        return -ENOENT;
    }
    std::string text;
    if (!ReadCommand("iwlist wlan0 channel", &text)) {
        return -1;
    }
    int ch = 0;
    size_t at = text.find(" (Channel ");
    if (at != std::string::npos && std::sscanf(text.c_str() + at + 10, "%d", &ch) == 1 && ch > 0 && ch < 256) {
        *chan = static_cast<uint8_t>(ch);
    } else {
        *chan = static_cast<uint8_t>(s_channel.load());
    }
    WifiTrace("WIFI Get Curr Channel:%d \r\n", *chan);
    return 0;
}

int hwl_wf_sniffer_enable(int on, WF_SNIFFER_CB cb)
{
    std::lock_guard<std::mutex> lock(gSniffer.Lock);
    on = on != 0 ? 1 : 0;
    if (on != 0 && cb == nullptr) {
        return -ENOENT;  // sniffing for nobody: the radio would be lost to the station for nothing
    }
    if (gSniffer.Enabled == on) {
        WifiTrace("Already in status %d\r\n", on);
        return 0;
    }
    // Back to the station, as after a switch-off; also when the sniffer could not start.
    const auto off = [] {
        gSniffer.Enabled = 0;
        if (gSniffer.Thread.joinable()) {
            gSniffer.Thread.join();
        }
        hwl_wf_wk_mode_set(WWM_STATION);
        WifiTrace("Disable Qrcode\r");
        gSniffer.Stopped = 1;
    };
    if (on == 0) {
        WifiTrace("Disable Sniffer\r");
        off();
        return 0;
    }
    SetIndicatorEvent(INDICATOR_SNIFFER);
    WifiTrace("Enable Sniffer\r");
    hwl_wf_wk_mode_set(WWM_SNIFFER);
    gSniffer.Callback = cb;
    // The thread's loop runs while this is set; it counts as running for the next switch-on only
    // once the thread has its socket (the lock keeps every other switch out meanwhile).
    gSniffer.Enabled = 1;
    std::promise<bool> opened;
    std::future<bool> socketOpen = opened.get_future();
    try {
        gSniffer.Thread = std::thread(SnifferLoop, std::move(opened));
    } catch (const std::exception&) {
        APP_ERR("sniffer thread not started");
        gSniffer.Callback = nullptr;
        off();
        return -1;
    }
    if (!socketOpen.get()) {
        off();
        return -1;
    }
    WifiTrace("Enable Qrcode \r");
    return 0;
}

int hwl_wf_ip_get(WF_IF_E wf, WF_IP_INFO_S* ip)
{
    if (ip == nullptr) {
        return -ENOENT;
    }
    if (wf == WF_AP) {
        CopyText(ip->ip, kApAddress);
        CopyText(ip->mask, kApMask);
        CopyText(ip->gw, kApAddress);
    } else {
        const char* name = Wired() ? kEth : kWlan;
        std::string text;
        if (!ReadCommand(std::string("ifconfig ") + name, &text)) {
            return -1;
        }
        WF_IP_INFO_S scratch = {};
        const bool found = WifiParseIfconfig(text, &scratch);
        // The gateway is the default route's, never the broadcast address next to the address.
        WifiDefaultGateway(ReadUnitFile(kRouteFile), name, scratch.gw);
        if (Wired() || found) {
            *ip = scratch;
        }
    }
    WifiTrace("WIFI[%d] Get IP:%s\r\n", static_cast<int>(wf), ip->ip);
    return 0;
}

int hwl_wf_mac_get(WF_IF_E, uint8_t mac[6])
{
    if (mac == nullptr) {
        return -ENOENT;
    }
    std::string text;
    if (!ReadCommand(std::string("ifconfig ") + (Wired() ? kEth : kWlan), &text) || !ParseMac(text, mac)) {
        return -1;
    }
    WifiTrace("WIFI Get MAC %02X-%02X-%02X-%02X-%02X-%02X\r\n", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return 0;
}

int hwl_wf_mac_set(WF_IF_E, const uint8_t*)
{
    WifiTrace("WIFI Set MAC\r");
    return 0;
}

int hwl_wf_wk_mode_set(WF_WK_MODE_E mode)
{
    static const char* const kModes[] = {nullptr, "Monitor", "Managed", "Master"};
    char cmd[64];
    std::snprintf(cmd, sizeof(cmd), "ifconfig %s up", kWlan);
    WifiExecCmd(cmd);
    if (mode >= WWM_SNIFFER && mode <= WWM_SOFTAP) {
        std::snprintf(cmd, sizeof(cmd), "ifconfig %s down", kWlan);
        WifiExecCmd(cmd);
        std::snprintf(cmd, sizeof(cmd), "iwconfig %s mode %s", kWlan, kModes[mode]);
        WifiExecCmd(cmd);
        std::snprintf(cmd, sizeof(cmd), "ifconfig %s up", kWlan);
        WifiExecCmd(cmd);
    }
    WifiTrace("WIFI Set Mode %d\r\n", static_cast<int>(mode));
    return 0;
}

int hwl_wf_wk_mode_get(WF_WK_MODE_E* mode)
{
    if (mode == nullptr) {
        return -ENOENT;
    }
    if (Wired()) {
        *mode = WWM_STATION;
        return 0;
    }
    std::string text;
    if (!ReadCommand("iwconfig wlan0", &text)) {
        WifiTrace("WIFI Get Mode Fail. Force Set Station \r");
        *mode = WWM_STATION;
        return 0;
    }
    *mode = WWM_STATION;
    size_t at = text.find("Mode:");
    if (at != std::string::npos) {
        std::string word = text.substr(at + 5, text.find_first_of(" \t\r\n", at + 5) - (at + 5));
        if (strcasecmp(word.c_str(), "Master") == 0) {
            *mode = WWM_SOFTAP;
        } else if (strcasecmp(word.c_str(), "Monitor") == 0) {
            *mode = WWM_SNIFFER;
        }
    }
    return 0;
}

int hwl_wf_sta_disconnect(void)
{
    WifiTrace("STA Disconn AP\r");
    return 0;
}

int hwl_wf_sta_rssi_get(int8_t* rssi)
{
    if (rssi == nullptr) {
        return -ENOENT;
    }
    if (Wired()) {
        *rssi = 100;
    } else {
        std::string text;
        if (!ReadCommand("iwconfig wlan0", &text)) {
            return -1;
        }
        int q = QualityPercent(text);
        *rssi = static_cast<int8_t>(q < 0 ? 0 : q);
    }
    WifiTrace("Get Conn AP RSSI:%d\r\n", *rssi);
    return 0;
}

int hwl_wf_sta_status_get(uint32_t* stat)
{
    if (stat == nullptr) {
        return -ENOENT;
    }
    *stat = gWifiStaStatus.load();
    return 0;
}

int hwl_wf_ap_start(const WF_AP_CFG_IF_S* cfg)
{
    if (cfg == nullptr || Wired()) {
        return -ENOENT;
    }
    WifiTrace("Start AP SSID:%d \r\n", static_cast<int>(strnlen(cfg->ssid, sizeof(cfg->ssid))));
    std::string ssid(cfg->ssid, strnlen(cfg->ssid, WF_SSID_LEN));
    SaveWifiApSsid(ssid.c_str());
    if (BoardAccess("/etc", W_OK) != 0) {
        APP_ERR("/etc/hostapd_none.conf cannot be created");
        return -1;
    }
    return WifiApStart();
}

int hwl_wf_ap_stop(void)
{
    WifiTrace("Stop AP \r");
    if (Wired()) {
        return -ENOENT;
    }
    WifiExecCmd("killall hostapd");
    WifiExecCmd("killall udhcpd");
    WifiExecCmd("ifconfig eth0 down");
    gWifiMode = WIFI_MODE_STATION;
    return 0;
}

int hwl_wf_country_code_set(const char* code)
{
    if (code == nullptr) {
        return -ENOENT;
    }
    WifiTrace("Set Country Code:%s \r\n", code);
    return 0;
}

void WifiFunctionsInstall()
{
    WF_HWL_OPS_S& o = gWfHwlOps;
    o.all_ap_scan = hwl_wf_all_ap_scan;
    o.assign_ap_scan = hwl_wf_assign_ap_scan;
    o.scan_free = hwl_wf_scan_free;
    o.channel_set = hwl_wf_channel_set;
    o.channel_get = hwl_wf_channel_get;
    o.sniffer_enable = hwl_wf_sniffer_enable;
    o.ip_get = hwl_wf_ip_get;
    o.mac_get = hwl_wf_mac_get;
    o.wk_mode_set = hwl_wf_wk_mode_set;
    o.wk_mode_get = hwl_wf_wk_mode_get;
    o.sta_connect = hwl_wf_sta_connect;
    o.sta_disconnect = hwl_wf_sta_disconnect;
    o.sta_rssi_get = hwl_wf_sta_rssi_get;
    o.sta_status_get = hwl_wf_sta_status_get;
    o.ap_start = hwl_wf_ap_start;
    o.ap_stop = hwl_wf_ap_stop;
    o.country_code_set = hwl_wf_country_code_set;
}
