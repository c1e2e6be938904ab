// The Wi-Fi functions of the cloud side on the simulated network: the scan parser (names cut,
// escaped, hidden, too long), the 20-record table, the exact one-network scan, the sniffer's
// thread and frames, the station join's order and its network mutex, the addresses and refusals.
#include "board_io_util.h"
#include "process.h"

#include "Network.h"
#include "EthFunctions.h"
#include "WifiFunctions.h"
#include "noxa_iot_sdk/noxa_cloud/gw_intf.h"
#include "platform/board_net.h"
#include "platform/board_path.h"
#include "platform/shell.h"

#include <chrono>
#include <filesystem>
#include <cstring>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::vector<std::pair<uint32_t, bool>> gWaits;  // each wait, and whether the network mutex was held

// The join's waits take no time, but the 8 s one lets the station, started in the background,
// come up as it does meanwhile on the unit.
void RecordWait(uint32_t ms)
{
    bool held = !gDeviceState.NetMutex.try_lock();
    if (!held) {
        gDeviceState.NetMutex.unlock();
    }
    gWaits.emplace_back(ms, held);
    if (ms == 8000) {
        std::string run = BoardRoot() + "/.board/net/run/wpa_supplicant";
        Eventually([&] { return access(run.c_str(), F_OK) == 0; }, std::chrono::seconds(10));
    }
}

std::mutex gFramesLock;
std::vector<std::string> gFrames;

void Captured(const uint8_t* frame, uint16_t len)
{
    std::lock_guard<std::mutex> lock(gFramesLock);
    gFrames.emplace_back(reinterpret_cast<const char*>(frame), len);
}

std::string Name(const WF_AP_INFO_S& r)
{
    return std::string(reinterpret_cast<const char*>(r.ssid), r.s_len);
}

std::vector<WF_AP_INFO_S> Parse(const std::string& text)
{
    std::vector<WF_AP_INFO_S> out(WF_SCAN_MAX_AP);
    FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    out.resize(WifiScanParse(in, out.data(), WF_SCAN_MAX_AP));
    fclose(in);
    return out;
}

std::string Cell(int n, const std::string& essidLine)
{
    char head[96];
    snprintf(head, sizeof(head), "          Cell %02d - Address: 02:5A:00:00:00:%02X\n", n, n);
    return std::string(head) + "                    Frequency:2.437 GHz (Channel 6)\n" +
           "                    Quality=35/70  Signal level=-75 dBm\n" + "                    " + essidLine + "\n";
}

class WifiFunctions : public BoardIoTest {
protected:
    void SetUp() override
    {
        BoardIoTest::SetUp();
        gBoardIoSleep = RecordWait;
        gWaits.clear();
        gAppState.Wired = 0;
        gWifiMode = WIFI_MODE_STATION;
        SaveWifiStation("", "");
        ASSERT_EQ(0, BoardSystem("insmod /customer/ko/rtl8188f.ko"));  // wlan0, from the module on USB
        ASSERT_EQ(0, BoardSystem("ifconfig wlan0 up"));
        WifiFunctionsInstall();
    }
    void TearDown() override { hwl_wf_sniffer_enable(0, nullptr); }

    void Air(const std::vector<std::string>& lines) const
    {
        std::string text;
        for (const auto& l : lines) {
            text += l + "\n";
        }
        mSb.Write("/.board/net/air", text);
    }
};

TEST(WifiScanParse, NamesAsTheScanShowsThem)
{
    const std::string x32 = [] {
        std::string s;
        for (int i = 0; i < 32; ++i) {
            s += "\\xFF";
        }
        return s;
    }();
    const struct {
        const char* what;
        std::string essid;
        int len;  // -1: the cell is left out
        std::string name;
    } rows[] = {
        {"blank", "ESSID:\"My Home\"", 7, "My Home"},
        {"quote inside", "ESSID:\"say \"hi\"\"", 8, "say \"hi\""},
        {"escapes", "ESSID:\"Caf\\xC3\\xA9 \\\\x41\"", 10, "Caf\xC3\xA9 \\x41"},
        {"32 escaped bytes", "ESSID:\"" + x32 + "\"", 32, std::string(32, '\xFF')},
        {"33 bytes", "ESSID:\"" + x32 + "A\"", -1, ""},
        {"hidden", "ESSID:\"\"", 0, ""},
        {"no closing quote", "ESSID:\"abc", -1, ""},
        {"a name posing as a cell", "ESSID:\"Cell 9 - Address: 1:2:3:4:5:6\"", 29, "Cell 9 - Address: 1:2:3:4:5:6"},
    };
    for (const auto& row : rows) {
        std::vector<WF_AP_INFO_S> r = Parse(Cell(1, row.essid) + Cell(2, "ESSID:\"next\""));
        if (row.len < 0) {
            ASSERT_EQ(1u, r.size()) << row.what;
            EXPECT_EQ("next", Name(r[0])) << row.what;
            EXPECT_EQ(2, r[0].bssid[5]) << row.what;
            continue;
        }
        ASSERT_EQ(2u, r.size()) << row.what;
        EXPECT_EQ(row.name, Name(r[0])) << row.what;
        EXPECT_EQ(row.len, r[0].s_len) << row.what;
        EXPECT_EQ(0, r[0].ssid[r[0].s_len]) << row.what;
        EXPECT_EQ(6, r[0].channel) << row.what;
        EXPECT_EQ(35 * 100 / 71, r[0].rssi) << row.what;
        EXPECT_EQ(1, r[0].bssid[5]) << row.what;
        EXPECT_EQ(0x5A, r[0].bssid[1]) << row.what;
    }
}

TEST(WifiParsers, AddressesMasksAndTheDefaultRoute)
{
    const struct {
        const char* text;
        bool found;
        const char* ip;
        const char* mask;
    } forms[] = {
        {"wlan0     Link encap:Ethernet  HWaddr 02:0B:DA:F1:79:01\n"
         "          inet addr:192.168.20.100  Bcast:192.168.20.255  Mask:255.255.255.0\n",
         true, "192.168.20.100", "255.255.255.0"},
        {"eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
         "        inet 10.0.0.7  netmask 255.255.0.0  broadcast 10.0.255.255\n"
         "        inet6 fe80::1  prefixlen 64\n",
         true, "10.0.0.7", "255.255.0.0"},
        {"wlan0     Link encap:Ethernet  HWaddr 02:0B:DA:F1:79:01\n          UP BROADCAST  MTU:1500\n", false, "", ""},
        {"        inet6 fe80::1  prefixlen 64\n", false, "", ""},
    };
    for (const auto& f : forms) {
        WF_IP_INFO_S ip = {};
        EXPECT_EQ(f.found, WifiParseIfconfig(f.text, &ip)) << f.text;
        EXPECT_STREQ(f.ip, ip.ip) << f.text;
        EXPECT_STREQ(f.mask, ip.mask) << f.text;
    }
    const std::string routes =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "wlan0\t0014A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
        "eth0\t00000000\t010AA8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
        "wlan0\t00000000\t0114A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    char gw[16] = {};
    EXPECT_TRUE(WifiDefaultGateway(routes, "wlan0", gw));
    EXPECT_STREQ("192.168.20.1", gw);
    EXPECT_TRUE(WifiDefaultGateway(routes, "eth0", gw));
    EXPECT_STREQ("192.168.10.1", gw);
    EXPECT_FALSE(WifiDefaultGateway(routes, "usb0", gw));
}

TEST_F(WifiFunctions, TwentyFiveNetworksGiveTwentyRecordsAndTheOneNetworkScanWantsTheWholeName)
{
    std::vector<std::string> air = {"My Home\tpassword1\t3\t60\tseen", "My\tpassword2\t4\t50\tseen",
                                    "Secret\tpassword3\t5\t40\thidden", "Caf\xC3\xA9\tpassword4\t6\t30\tseen"};
    for (int i = 5; i <= 25; ++i) {
        air.push_back("Net " + std::to_string(i) + "\tpassword" + std::to_string(i) + "\t" +
                      std::to_string((i - 1) % 13 + 1) + "\t" + std::to_string(70 - i) + "\tseen");
    }
    Air(air);
    WF_AP_INFO_S* list = nullptr;
    uint32_t n = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, hwl_wf_all_ap_scan(&list, &n));
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(20u, n);
    EXPECT_NE(std::string::npos, out.find(" Reach Max Record \r")) << out;
    EXPECT_NE(std::string::npos, out.find("index:19 bssid:02-5A-00-00-00-14 RSSI:70 SSID:Net 20\r\n")) << out;
    EXPECT_EQ(0, list[2].s_len) << "hidden";
    for (uint32_t i = 4; i < n; ++i) {
        EXPECT_EQ("Net " + std::to_string(i + 1), Name(list[i]));
        EXPECT_EQ(i % 13 + 1, list[i].channel);
    }
    const struct {
        const char* ssid;
        int channel;  // 0: none found
    } rows[] = {{"My", 4}, {"My Home", 3}, {"My Hom", 0}, {"Secret", 0}, {"", 0}, {"Caf\xC3\xA9", 6}, {"Net 25", 0}};
    for (const auto& row : rows) {
        WF_AP_INFO_S* ap = reinterpret_cast<WF_AP_INFO_S*>(1);
        ASSERT_EQ(0, hwl_wf_assign_ap_scan(row.ssid, &ap)) << row.ssid;
        EXPECT_EQ(row.channel, ap != nullptr ? ap->channel : 0) << row.ssid;
    }
}

TEST_F(WifiFunctions, TheSnifferRunsOneThreadAndStopsWithoutTraffic)
{
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, hwl_wf_sniffer_enable(1, Captured));
    ASSERT_EQ(0, hwl_wf_sniffer_enable(1, Captured));
    EXPECT_EQ("Monitor\n", mSb.Read("/.board/net/if/wlan0/mode"));
    // Frames as the monitor-mode driver hands them over: an 18-byte radiotap header in 100 bytes;
    // then frames with no usable header: 512 long, as long as the frame, no room for the length.
    std::vector<uint8_t> frame(100, 0);
    frame[2] = 18;
    frame[18] = 0x80;  // a beacon
    std::vector<uint8_t> junk[] = {std::vector<uint8_t>(600, 0), std::vector<uint8_t>(100, 0), {0, 0, 0}};
    junk[0][3] = 0x02;
    junk[1][2] = 100;
    // The thread binds its socket shortly after the switch-on.
    ASSERT_TRUE(Eventually([&] { return BoardPacketInject("wlan0", frame.data(), frame.size()) == 0; }, 5s));
    for (const auto& j : junk) {
        ASSERT_EQ(0, BoardPacketInject("wlan0", j.data(), j.size()));
    }
    ASSERT_EQ(0, BoardPacketInject("wlan0", frame.data(), frame.size()));
    ASSERT_TRUE(Eventually([] {
        std::lock_guard<std::mutex> lock(gFramesLock);
        return gFrames.size() >= 2;
    }, 5s));
    std::this_thread::sleep_for(300ms);  // nothing more is on its way
    // The switch-off also sets the station mode (four tool runs, timed here on their own); the
    // thread itself ends within one 200 ms receive wait.
    auto start = std::chrono::steady_clock::now();
    hwl_wf_wk_mode_set(WWM_SNIFFER);
    auto modeCost = std::chrono::steady_clock::now() - start;
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, hwl_wf_sniffer_enable(0, nullptr));
    auto took = std::chrono::steady_clock::now() - start - modeCost;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_LT(took, 300ms) << "the switch-off waits one receive time-out at most";
    {
        std::lock_guard<std::mutex> lock(gFramesLock);
        ASSERT_EQ(2u, gFrames.size());
        EXPECT_EQ(82u, gFrames[0].size());
        EXPECT_EQ('\x80', gFrames[0][0]);
    }
    EXPECT_NE(std::string::npos, out.find("Already in status 1\r\n")) << out;
    EXPECT_EQ(out.find("Sniffer Thread Create\r"), out.rfind("Sniffer Thread Create\r")) << "one thread: " << out;
    EXPECT_NE(std::string::npos, out.find("Sniffer Proc Finish\r")) << out;
    EXPECT_EQ("Managed\n", mSb.Read("/.board/net/if/wlan0/mode"));
}

// A thread that cannot open its socket leaves the sniffer off (not "Already in status 1" at the
// next switch-on) and the radio in station mode; the next switch-on, with the socket free, runs.
TEST_F(WifiFunctions, ASnifferWithoutItsSocketIsNotRunning)
{
    // A folder where the socket is to be bound: the bind fails.
    const std::string sock = BoardPacketSocketPath("wlan0");
    std::filesystem::create_directories(sock);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, hwl_wf_sniffer_enable(1, Captured));
    EXPECT_EQ("Managed\n", mSb.Read("/.board/net/if/wlan0/mode"));
    std::filesystem::remove(sock);
    EXPECT_EQ(0, hwl_wf_sniffer_enable(1, Captured));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Sniffer Socket Alloc Fails")) << out;
    EXPECT_EQ(std::string::npos, out.find("Already in status 1")) << out;
    EXPECT_EQ("Monitor\n", mSb.Read("/.board/net/if/wlan0/mode"));
    std::vector<uint8_t> frame(40, 0);
    frame[2] = 8;
    ASSERT_EQ(0, BoardPacketInject("wlan0", frame.data(), frame.size())) << "the running sniffer's socket is bound";
    ASSERT_TRUE(Eventually([] {
        std::lock_guard<std::mutex> lock(gFramesLock);
        return gFrames.size() == 1;
    }, 5s));
}

TEST_F(WifiFunctions, AJoinAfterTheSnifferInOrderWithTheMutexOnlyAroundTheSetUp)
{
    Air({"Home\tsecret123"});
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, hwl_wf_sniffer_enable(1, Captured));
    ASSERT_EQ(0, hwl_wf_sniffer_enable(0, nullptr));
    gWaits.clear();
    const size_t shellFrom = mSb.Read("/.board/shell.log").size();
    ASSERT_EQ(0, hwl_wf_sta_connect("Home", "secret123"));
    std::string out = testing::internal::GetCapturedStdout();
    // Back from sniffing: event 2 and a second's wait, then the join's event 3.
    size_t resume = out.rfind("curr event:2\n");
    ASSERT_NE(std::string::npos, resume) << out;
    EXPECT_LT(resume, out.rfind("curr event:3\n")) << out;
    EXPECT_EQ(3u, GetLedPattern());
    const std::vector<std::pair<uint32_t, bool>> waits = {{1000, false}, {8000, true}, {4000, false}, {2000, false}};
    EXPECT_EQ(waits, gWaits) << "the DHCP client runs without the network mutex";
    std::string wpa = mSb.Read("/etc/wpa.conf");
    EXPECT_NE(std::string::npos, wpa.find("ssid=\"Home\"\n")) << wpa;
    EXPECT_NE(std::string::npos, wpa.find("psk=\"secret123\"\n")) << wpa;
    EXPECT_EQ(std::string::npos, out.find("secret123")) << "the pass phrase is logged masked";
    std::string shell = mSb.Read("/.board/shell.log").substr(shellFrom);
    const char* order[] = {"killall hostapd", "ifconfig eth0 down", "wpa_supplicant -B -Dnl80211 -iwlan0 -c ",
                           "udhcpc -iwlan0 -T 2 -t 30 -A 60 -n", "ifconfig eth0 up"};
    size_t at = 0;
    for (const char* cmd : order) {
        size_t next = shell.find(cmd, at);
        ASSERT_NE(std::string::npos, next) << cmd << " after " << at << ":\n" << shell;
        at = next;
    }
    // The lease, and the gateway from the default route (never the broadcast address).
    WF_IP_INFO_S ip = {};
    ASSERT_EQ(0, hwl_wf_ip_get(WF_STATION, &ip));
    EXPECT_STREQ("192.168.20.100", ip.ip);
    EXPECT_STREQ("255.255.255.0", ip.mask);
    EXPECT_STREQ("192.168.20.1", ip.gw);
    EXPECT_EQ("Home", GetWifiStationSsid());
}

TEST_F(WifiFunctions, RefusalsAndTheAccessPoint)
{
    const size_t shellFrom = mSb.Read("/.board/shell.log").size();
    EXPECT_EQ(-2, hwl_wf_sta_connect(nullptr, "secret123"));
    EXPECT_EQ(-2, hwl_wf_sniffer_enable(1, nullptr));
    EXPECT_EQ("Managed\n", mSb.Read("/.board/net/if/wlan0/mode")) << "not sniffing for nobody";
    EXPECT_EQ(-1, hwl_wf_sta_connect("noxa", "kelp")) << "a pass phrase WPA refuses";
    EXPECT_EQ(-1, hwl_wf_sta_connect("Home", nullptr));
    EXPECT_EQ("", GetWifiStationSsid()) << "nothing kept";
    EXPECT_FALSE(mSb.Exists("/etc/wpa.conf"));
    EXPECT_EQ(std::string::npos, mSb.Read("/.board/shell.log").find("wpa_supplicant", shellFrom));
    WF_IP_INFO_S ip = {};
    strcpy(ip.ip, "kept");
    ASSERT_EQ(0, hwl_wf_ip_get(WF_STATION, &ip));
    EXPECT_STREQ("kept", ip.ip) << "no address yet: nothing copied";
    // The access point: the address its set-up gives wlan0.
    WF_AP_CFG_IF_S cfg = {};
    strcpy(cfg.ssid, "Lumavo-7901");
    ASSERT_EQ(0, hwl_wf_ap_start(&cfg));
    // hostapd starts in the background.
    EXPECT_TRUE(Eventually([&] { return mSb.Read("/.board/net/if/wlan0/essid") == "Lumavo-7901\n"; }, 10s));
    EXPECT_EQ(WIFI_MODE_AP, gWifiMode.load());
    ASSERT_EQ(0, hwl_wf_ip_get(WF_AP, &ip));
    EXPECT_STREQ("192.168.1.1", ip.ip);
    EXPECT_STREQ("192.168.1.1", ip.gw);
    WF_WK_MODE_E mode = WWM_NONE;
    EXPECT_EQ(0, hwl_wf_wk_mode_get(&mode));
    EXPECT_EQ(WWM_SOFTAP, mode);
    EXPECT_EQ(0, hwl_wf_ap_stop());
    EXPECT_EQ(WIFI_MODE_STATION, gWifiMode.load());
    EXPECT_FALSE(mSb.Exists("/.board/net/run/hostapd"));
    // A wired unit has no access point.
    gAppState.Wired = 1;
    EXPECT_EQ(-2, hwl_wf_ap_start(&cfg));
    EXPECT_EQ(-2, hwl_wf_ap_stop());
    EXPECT_EQ(0, hwl_wf_wk_mode_get(&mode));
    EXPECT_EQ(WWM_STATION, mode);
}

TEST_F(WifiFunctions, TheDebugStartsRefusedJoinKeepsTheToken)
{
    gAppState.Wired = 1;
    ASSERT_EQ(0, gw_wifi_user_cfg("noxa", "kelp", "AYtok3n42xKEY1"));
    char token[GW_TOKEN_LEN + 1] = {};
    gw_get_token(token);
    EXPECT_STREQ("tok3n42x", token);
    EXPECT_EQ("", GetWifiStationSsid());
}

}  // namespace

namespace {

// The wired port's address and MAC as eth0 itself reports them, and the refused wired join.
TEST_F(WifiFunctions, TheWiredPortsAddressAndMacComeFromThePort)
{
    const struct {
        const char* name;
        const char* addr;    // nullptr: no address
        const char* hwaddr;  // nullptr: no eth0 at all
        int result;
        const char* ip;
        const char* mac;
    } rows[] = {
        {"addressed", "192.0.2.15\n", "02:1a:2b:3c:4d:5e\n", 0, "192.0.2.15", "02:1A:2B:3C:4D:5E"},
        {"no address yet", nullptr, "02:1a:2b:3c:4d:5f\n", -1, "", "02:1A:2B:3C:4D:5F"},
        {"no port", nullptr, nullptr, -1, "", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        std::filesystem::remove_all(mSb.Path("/.board/net/if/eth0"));
        if (r.hwaddr != nullptr) {
            mSb.Write("/.board/net/if/eth0/hwaddr", r.hwaddr);
            mSb.Write("/.board/net/if/eth0/up", "1\n");
        }
        if (r.addr != nullptr) {
            mSb.Write("/.board/net/if/eth0/addr", r.addr);
        }
        testing::internal::CaptureStdout();
        char ip[16] = "";
        const int got = GetLocalIp(ip, sizeof(ip));
        uint8_t mac[6] = {};
        const int gotMac = GetLocalMac(mac);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.result, got);
        EXPECT_STREQ(r.ip, ip);
        char macText[18] = "";
        if (gotMac == 0) {
            snprintf(macText, sizeof(macText), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                     mac[4], mac[5]);
        }
        EXPECT_STREQ(r.mac, macText);
        EXPECT_EQ(r.result != 0, out.find("ioctl error") != std::string::npos) << out;
    }
    mSb.Write("/.board/net/if/eth0/hwaddr", "02:1a:2b:3c:4d:5e\n");
    mSb.Write("/.board/net/if/eth0/addr", "192.0.2.15\n");
    char ip[8];
    EXPECT_EQ(-1, GetLocalIp(ip, sizeof(ip))) << "an address longer than the buffer is not cut";
    EXPECT_EQ(-1, GetLocalIp(nullptr, 16));
    EXPECT_EQ(-1, GetLocalMac(nullptr));

    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, hwl_bnw_set_station_connect("Home", "secret123"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("ssid:Home")) << out;
    EXPECT_EQ(std::string::npos, out.find("secret123")) << "the pass phrase is traced masked: " << out;
}

}  // namespace
