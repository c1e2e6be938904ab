// Network bring-up on the simulated board: the MAC address, the driver choice, the start-up
// decision, the status thread's passes and the configuration files, checked through the
// commands the unit ran, the files it wrote and the state the simulated tools keep.
#include "board_io_util.h"

#include "Network.h"
#include "netsim.h"
#include "platform/board.h"
#include "platform/board_file_sim.h"
#include "platform/board_net.h"

#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <linux/sockios.h>
#include <mutex>
#include <netinet/in.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::mutex gNetSleepMutex;
std::vector<uint32_t> gNetSleeps;
std::thread::id gTestThread;

// Waits of the unit: recorded. The status thread started by NetworkInit parks at its first wait,
// so a test looks at the start alone.
void NetSleep(uint32_t ms)
{
    {
        std::lock_guard<std::mutex> lock(gNetSleepMutex);
        gNetSleeps.push_back(ms);
    }
    if (std::this_thread::get_id() != gTestThread) {
        for (;;) {
            pause();
        }
    }
}

class Network : public BoardIoTest {
protected:
    void SetUp() override
    {
        BoardIoTest::SetUp();
        gTestThread = std::this_thread::get_id();
        gBoardIoSleep = NetSleep;
        gNetSleeps.clear();
        gAppState.Wired = 0;
        gWifiMode = WIFI_MODE_STATION;
        gWifiStaStatus = 0;
        gWifiDhcpStarted = 0;
        SaveWifiStation("", "");
        SaveWifiApSsid("");
        // A wired pass on the cable starts the status thread's count afresh.
        gAppState.Wired = 1;
        NetStatusDetPass();
        gAppState.Wired = 0;
        gWifiStaStatus = 0;
    }

    static std::vector<uint32_t> Sleeps()
    {
        std::lock_guard<std::mutex> lock(gNetSleepMutex);
        return gNetSleeps;
    }

    // The waits of a NetworkInit, once its status thread has parked at its first wait.
    static std::vector<uint32_t> StartSleeps()
    {
        for (int i = 0; i < 2000; ++i) {  // 20 s at most
            std::vector<uint32_t> s = Sleeps();
            if (!s.empty() && s.back() == kNetStatusFirstMs) {
                std::lock_guard<std::mutex> lock(gNetSleepMutex);
                gNetSleeps.clear();
                return s;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ADD_FAILURE() << "the status thread never waited";
        return {};
    }

    // A daemon the unit started in the background has come up (its state file is there).
    bool Running(const std::string& daemon) const
    {
        for (int i = 0; i < 2000; ++i) {  // 20 s at most
            if (mSb.Exists("/.board/net/run/" + daemon)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // The commands the unit ran since the last call, as the unit wrote them (the sandbox root
    // taken out of the rewritten paths again).
    std::vector<std::string> Commands()
    {
        std::vector<std::string> out;
        std::istringstream log(mSb.Read("/.board/shell.log"));
        std::string line;
        for (size_t i = 0; std::getline(log, line); ++i) {
            if (i < mLogSeen) {
                continue;
            }
            ++mLogSeen;
            EXPECT_EQ(0u, line.rfind("run: ", 0)) << "refused or unknown: " << line;
            line.erase(0, 5);
            for (size_t at; (at = line.find(mSb.Root())) != std::string::npos;) {
                bool slash = at + mSb.Root().size() < line.size() && line[at + mSb.Root().size()] == '/';
                line.replace(at, mSb.Root().size(), slash ? "" : "/");
            }
            out.push_back(line);
        }
        return out;
    }

    void SetUrandom(const std::string& bytes)
    {
        // The sandbox's node is a link to the host's random source: never write through it.
        std::remove(mSb.Path("/dev/urandom").c_str());
        mSb.Write("/dev/urandom", bytes);
    }

    bool InterfaceExists(const char* name) const { return mSb.Exists("/.board/net/if/" + std::string(name)); }

    // An interface's IPv4 address as the unit reads it by ioctl ("" when none).
    static std::string Address(const char* name)
    {
        struct ifreq ifr {};
        std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
        if (BoardNetIoctl(SIOCGIFADDR, &ifr) != 0) {
            return "";
        }
        char text[INET_ADDRSTRLEN] = {};
        auto* sin = reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_addr);
        inet_ntop(AF_INET, &sin->sin_addr, text, sizeof(text));
        return text;
    }

    // The status thread's passes (those that reboot run as death tests).
    static void Passes(int n)
    {
        for (int i = 0; i < n; ++i) {
            NetStatusDetPass();
        }
    }

    void ExpectNoSwitch()
    {
        for (const auto& c : Commands()) {
            EXPECT_EQ(std::string::npos, c.find("killall")) << c;
        }
        EXPECT_FALSE(mSb.Exists("/.board/reboot"));
    }

    uint8_t Leds() const { return Hc595Image() & (kHc595Led0 | kHc595Led1 | kHc595Led2); }

    // A wireless unit as NetworkInit leaves it without the cable: the driver loaded.
    void BootWireless()
    {
        ASSERT_TRUE(NetSim(mSb, {"cable", "pull"}));
        LoadWifiDriver();
        gAppState.Wired = 0;
        Commands();
    }

    size_t mLogSeen = 0;
};

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// MAC address

TEST_F(Network, MacAddressFromTheFileOrANewLocallyAdministeredOneThatIsKept)
{
    const struct {
        const char* name;
        const char* file;  // nullptr: no file
        const char* used;  // the address set on eth0 and kept in the file
    } rows[] = {
        {"all zero", "00:00:00:00:00:00", "FE:11:22:33:44:55"},
        {"missing", nullptr, "FE:11:22:33:44:55"},
        {"kept as it is", "0a:1b:2c:3d:4e:5f", "0a:1b:2c:3d:4e:5f"},
        {"an editor's line end", "0A:1B:2C:3D:4E:5F\n", "0A:1B:2C:3D:4E:5F"},
        {"not hex", "zz:11:22:33:44:55", "FE:11:22:33:44:55"},
        {"five bytes", "00:11:22:33:44", "FE:11:22:33:44:55"},
        {"multicast", "01:00:5e:00:00:01", "FE:11:22:33:44:55"},
        {"a command after it", "02:11:22:33:44:55; reboot", "FE:11:22:33:44:55"},
        {"dashes", "02-11-22-33-44-55", "FE:11:22:33:44:55"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // 0xFF: the draw must clear the multicast bit and set the locally administered one.
        SetUrandom("\xFF\x11\x22\x33\x44\x55");
        if (row.file == nullptr) {
            std::remove(mSb.Path(kMacConfFile).c_str());
        } else {
            mSb.Write(kMacConfFile, row.file);
        }
        NetMacSetup();
        EXPECT_EQ(Strings{std::string("ifconfig eth0 hw ether ") + row.used}, Commands());
        if (std::strcmp(row.used, "0A:1B:2C:3D:4E:5F") != 0) {
            EXPECT_EQ(row.used, mSb.Read(kMacConfFile));
        }
        // The next start keeps it, whatever the random source says then.
        SetUrandom("\x00\x00\x00\x00\x00\x01");
        NetMacSetup();
        EXPECT_EQ(Strings{std::string("ifconfig eth0 hw ether ") + row.used}, Commands());
        // The port has it (read back by ioctl from the simulated interface).
        struct ifreq ifr {};
        std::strncpy(ifr.ifr_name, "eth0", IFNAMSIZ - 1);
        ASSERT_EQ(0, BoardNetIoctl(SIOCGIFHWADDR, &ifr));
        char text[18];
        const auto* b = reinterpret_cast<const uint8_t*>(ifr.ifr_hwaddr.sa_data);
        std::snprintf(text, sizeof(text), "%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
        EXPECT_STRCASEEQ(row.used, text);
    }
    // A FIFO in the file's place holds no start (an open for reading would wait for a writer):
    // it counts as no file.
    std::remove(mSb.Path(kMacConfFile).c_str());
    ASSERT_EQ(0, ::mkfifo(mSb.Path(kMacConfFile).c_str(), 0644));
    SetUrandom("\xFF\x11\x22\x33\x44\x55");
    NetMacSetup();
    EXPECT_EQ(Strings{"ifconfig eth0 hw ether FE:11:22:33:44:55"}, Commands());
    EXPECT_EQ("FE:11:22:33:44:55", mSb.Read(kMacConfFile));
}

// The MAC file is written whole: a new address outlives a power cut right after it (the next start
// sets the same one), and a cut in the middle of the write leaves none or the whole one.
TEST_F(Network, ANewMacAddressOutlivesAPowerCut)
{
    BoardPowerModel(true);
    SetUrandom("\xFF\x11\x22\x33\x44\x55");
    std::remove(mSb.Path(kMacConfFile).c_str());
    NetMacSetup();
    BoardPowerCut();
    EXPECT_EQ("FE:11:22:33:44:55", mSb.Read(kMacConfFile));
    for (BoardFileStep step : {BoardFileStep::Write, BoardFileStep::Sync, BoardFileStep::Rename}) {
        SCOPED_TRACE(int(step));
        mSb.Write(kMacConfFile, "00:00:00:00:00:00");
        BoardPowerCut();
        SetUrandom("\xFF\x66\x77\x88\x99\xAA");
        BoardFileFault("mac.conf", step, true);
        NetMacSetup();
        BoardPowerRestore();
        const std::string now = mSb.Read(kMacConfFile);
        EXPECT_TRUE(now == "00:00:00:00:00:00" || now == "FE:66:77:88:99:AA") << now;
    }
    Commands();
    BoardPowerModel(false);
}

// ---------------------------------------------------------------------------------------------
// Wi-Fi driver

TEST_F(Network, WifiDriverFollowsTheUsbModule)
{
    const char* kRtl = "insmod /customer/ko/rtl8188f.ko";
    const char* kSsv = "insmod /customer/ko/ssv6x5x.ko stacfgpath=/customer/ssv6255-cfg/ssv6x5x-wifi.cfg";
    const struct {
        const char* usb;
        const char* insmod;
        bool wlan0;  // the driver found its module
    } rows[] = {
        {"rtl8188f", kRtl, true},
        {"ssv6x5x", kSsv, true},
        {"none", kRtl, false},
        {"broken", kRtl, false},  // lsusb fails
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.usb);
        ASSERT_TRUE(NetSim(mSb, {"boot"}));
        ASSERT_TRUE(NetSim(mSb, {"usb", row.usb}));
        LoadWifiDriver();
        EXPECT_EQ((Strings{"lsusb", row.insmod}), Commands());
        EXPECT_EQ(row.wlan0, InterfaceExists("wlan0"));
    }
}

// ---------------------------------------------------------------------------------------------
// NetworkInit

TEST_F(Network, StartsWiredOnTheCable)
{
    mSb.Write(kMacConfFile, "02:aa:bb:cc:dd:ee");
    ASSERT_EQ(0, NetworkInit());
    EXPECT_EQ(1, gAppState.Wired.load());
    EXPECT_EQ((Strings{"ifconfig eth0 hw ether 02:aa:bb:cc:dd:ee", "udhcpc -T 2 -t 30 -A 60&"}), Commands());
    // 2 s before the cable is read, 2 s more before the DHCP client; the status thread then
    // waits 10 s before its first pass.
    EXPECT_EQ((std::vector<uint32_t>{2000, 2000, kNetStatusFirstMs}), StartSleeps());
    EXPECT_FALSE(InterfaceExists("wlan0"));
    ASSERT_TRUE(Running("udhcpc.eth0"));
    EXPECT_EQ("192.168.10.100", Address("eth0"));
}

TEST_F(Network, StartsWirelessWithoutTheCableOrWithoutALinkReading)
{
    for (const bool broken : {false, true}) {
        SCOPED_TRACE(broken ? "link unreadable" : "cable pulled");
        ASSERT_TRUE(NetSim(mSb, {"boot"}));
        if (broken) {
            std::filesystem::remove_all(mSb.Path("/.board/net/if/eth0"));
            EXPECT_EQ(-1, hwl_bnw_station_conn());
        } else {
            ASSERT_TRUE(NetSim(mSb, {"cable", "pull"}));
            EXPECT_EQ(0, hwl_bnw_station_conn());
        }
        gAppState.Wired = 1;
        ASSERT_EQ(0, NetworkInit());
        EXPECT_EQ(0, gAppState.Wired.load());
        Strings cmds = Commands();
        ASSERT_EQ(3u, cmds.size());
        EXPECT_EQ("lsusb", cmds[1]);
        EXPECT_EQ("insmod /customer/ko/rtl8188f.ko", cmds[2]);
        EXPECT_TRUE(InterfaceExists("wlan0"));
        EXPECT_EQ((std::vector<uint32_t>{2000, kNetStatusFirstMs}), StartSleeps());
    }
}

// ---------------------------------------------------------------------------------------------
// NetStatusDetThread: a wired unit

TEST_F(Network, WiredCableOutForNinePassesRestartsOnWifi)
{
    // The second round shows that the plugged cable started the count afresh.
    for (const bool saved : {false, true}) {
        SCOPED_TRACE(saved ? "with a saved network" : "without a saved network");
        SaveWifiStation(saved ? "Home" : "", saved ? "secret123" : "");
        gAppState.Wired = 1;
        ASSERT_TRUE(NetSim(mSb, {"cable", "pull"}));
        for (int led = 0; led < 3; ++led) {
            SetLed(led, 1);
        }
        Passes(8);
        ExpectNoSwitch();
        EXPECT_EXIT(NetStatusDetPass(), testing::ExitedWithCode(kBoardRebootExitStatus), "");
        EXPECT_EQ((Strings{"killall udhcpc", "killall wpa_supplicant"}), Commands());
        EXPECT_TRUE(mSb.Exists("/.board/reboot"));
        if (!saved) {
            // The LEDs went dark before the restart.
            EXPECT_NE(std::string::npos, mSb.Read("/.board/74HC595").find("led0=0 led1=0 led2=0"))
                << mSb.Read("/.board/74HC595");
        }
        std::remove(mSb.Path("/.board/reboot").c_str());
        ASSERT_TRUE(NetSim(mSb, {"cable", "plug"}));
        Passes(1);  // the count starts again
    }
}

TEST_F(Network, WiredCableOutOutsideStationModeOnlyClearsTheWiredFlag)
{
    gAppState.Wired = 1;
    gWifiMode = WIFI_MODE_AP;
    SetLedPattern(2);
    ASSERT_TRUE(NetSim(mSb, {"cable", "pull"}));
    Passes(8);
    EXPECT_EQ(1, gAppState.Wired.load());
    Passes(1);
    EXPECT_EQ(0, gAppState.Wired.load());
    EXPECT_EQ(kLedPatternNetLost, GetLedPattern());
    // From now on the unit counts as wireless: the missing cable is what it expects.
    Passes(20);
    ExpectNoSwitch();
}

TEST_F(Network, UnreadableLinkCountsAsNoLink)
{
    // Wireless: an unreadable link never looks like a cable that came back.
    BootWireless();
    std::filesystem::remove_all(mSb.Path("/.board/net/if/eth0"));
    Passes(30);
    ExpectNoSwitch();
    // Wired: it counts as a lost cable.
    gAppState.Wired = 1;
    gWifiMode = WIFI_MODE_AP;
    Passes(9);
    EXPECT_EQ(0, gAppState.Wired.load());
}

// ---------------------------------------------------------------------------------------------
// NetStatusDetThread: a wireless unit

TEST_F(Network, WirelessStationCableInForNinePassesRestartsWired)
{
    BootWireless();
    for (int led = 0; led < 3; ++led) {
        SetLed(led, 1);
    }
    ASSERT_TRUE(NetSim(mSb, {"cable", "plug"}));
    Passes(8);
    ASSERT_TRUE(NetSim(mSb, {"cable", "pull"}));
    Passes(1);  // the count starts again
    ASSERT_TRUE(NetSim(mSb, {"cable", "plug"}));
    Passes(8);
    ExpectNoSwitch();
    EXPECT_EXIT(NetStatusDetPass(), testing::ExitedWithCode(kBoardRebootExitStatus), "");
    Strings cmds = Commands();
    // Each pass asked wpa_cli for the station's state first.
    EXPECT_EQ((Strings{"/customer/wpa_cli -p /tmp/wpa_supplicant status > /dev/Wifistatus", "killall wpa_supplicant",
                       "killall udhcpc", "ifconfig wlan0 down"}),
              Strings(cmds.end() - 4, cmds.end()));
    EXPECT_TRUE(mSb.Exists("/.board/reboot"));
    EXPECT_NE(std::string::npos, mSb.Read("/.board/74HC595").find("led0=0 led1=0 led2=0"));
}

TEST_F(Network, AccessPointCableInRestartsWiredOnlyWhileWlanShowsAnEssid)
{
    BootWireless();
    SaveWifiApSsid("DoorPhone-AP");
    ASSERT_EQ(0, WifiApStart());
    ASSERT_TRUE(Running("hostapd"));
    ASSERT_TRUE(Running("udhcpd"));
    ASSERT_TRUE(NetSim(mSb, {"cable", "plug"}));
    // Without wlan0 no ESSID shows and nothing is counted.
    std::filesystem::rename(mSb.Path("/.board/net/if/wlan0"), mSb.Path("/.board/net/if/wlan9"));
    Passes(12);
    ExpectNoSwitch();
    std::filesystem::rename(mSb.Path("/.board/net/if/wlan9"), mSb.Path("/.board/net/if/wlan0"));
    Passes(8);
    ExpectNoSwitch();
    EXPECT_EXIT(NetStatusDetPass(), testing::ExitedWithCode(kBoardRebootExitStatus), "");
    Strings cmds = Commands();
    EXPECT_EQ((Strings{"iwconfig wlan0", "killall hostapd", "ifconfig wlan0 down", "killall udhcpd"}),
              Strings(cmds.end() - 4, cmds.end()));
    EXPECT_TRUE(mSb.Exists("/.board/reboot"));
}

TEST_F(Network, AssociationSeenTwiceStartsDhcpOnce)
{
    BootWireless();
    ASSERT_EQ(0, WifiStationStart("Home", "secret123"));
    ASSERT_TRUE(Running("wpa_supplicant"));
    Commands();
    const std::string kStatus = "/customer/wpa_cli -p /tmp/wpa_supplicant status > /dev/Wifistatus";
    const Strings kDhcp = {kStatus, "killall udhcpc", "udhcpc -iwlan0 -T 2 -t 120 -n"};

    // No network in range: the station scans.
    Passes(1);
    EXPECT_EQ(Strings{kStatus}, Commands());
    EXPECT_EQ(uint32_t{WIFI_STA_SCANNING}, gWifiStaStatus.load());

    ASSERT_TRUE(NetSim(mSb, {"wifi", "add", "Home", "secret123"}));
    Passes(2);
    EXPECT_EQ((Strings{kStatus, "killall udhcpc", "udhcpc -iwlan0 -T 2 -t 120 -n", kStatus}), Commands());
    EXPECT_EQ(uint32_t{WIFI_STA_CONNECTED}, gWifiStaStatus.load());
    EXPECT_EQ(1, gWifiDhcpStarted.load());
    EXPECT_EQ("192.168.20.100", Address("wlan0"));

    // The network goes and comes back: a new association, a new DHCP client.
    ASSERT_TRUE(NetSim(mSb, {"wifi", "remove", "Home"}));
    Passes(1);
    EXPECT_EQ(uint32_t{WIFI_STA_SCANNING}, gWifiStaStatus.load());
    EXPECT_EQ(0, gWifiDhcpStarted.load());
    ASSERT_TRUE(NetSim(mSb, {"wifi", "add", "Home", "secret123"}));
    Passes(1);
    EXPECT_EQ((Strings{kStatus, kStatus, "killall udhcpc", "udhcpc -iwlan0 -T 2 -t 120 -n"}), Commands());
    ExpectNoSwitch();
}

TEST_F(Network, WrongPassPhraseNeverAssociates)
{
    BootWireless();
    ASSERT_TRUE(NetSim(mSb, {"wifi", "add", "Home", "secret123"}));
    ASSERT_EQ(0, WifiStationStart("Home", "secret124"));
    ASSERT_TRUE(Running("wpa_supplicant"));
    Passes(3);
    EXPECT_EQ(uint32_t{WIFI_STA_SCANNING}, gWifiStaStatus.load());
    EXPECT_EQ("", Address("wlan0"));
}

// ---------------------------------------------------------------------------------------------
// Configuration files

const char* const kWpaConfHomeNet =
    "ctrl_interface=/tmp/wpa_supplicant\n"
    "country=EU\n"
    "update_config=1\n"
    "network={\n"
    "ssid=\"Home Net\"\n"
    "key_mgmt=WPA-PSK\n"
    "proto=RSN WPA WPA2\n"
    "pairwise=TKIP CCMP\n"
    "group=TKIP CCMP\n"
    "psk=\"pass word\"\n"
    "freq_list=2412 2417 2422 2427 2432 2437 2442 2447 2452 2457 2462 2467 2472\n"
    "priority=5\n"
    "}\n"
    "\n"
    "network={\n"
    "ssid=\"Home Net\"\n"
    "key_mgmt=WPA-PSK\n"
    "proto=RSN WPA WPA2\n"
    "pairwise=TKIP CCMP\n"
    "group=TKIP CCMP\n"
    "psk=\"pass word\"\n"
    "freq_list=5745 5765 5785 5805 5825 5320 5300 5280 5260 5240 5220 5200 5180\n"
    "priority=6\n"
    "}\n"
    "\n";

TEST_F(Network, StationFileAndCommands)
{
    // A file of an older unit, readable by every local user, and an aside file a power cut left.
    for (const std::string f : {std::string(kWpaConfFile), std::string(kWpaConfFile) + ".tmp"}) {
        mSb.Write(f, "psk=\"old secret\"\n");
        ASSERT_EQ(0, chmod(mSb.Path(f).c_str(), 0644));
    }
    ASSERT_EQ(0, WifiStationStart("Home Net", "pass word"));
    EXPECT_EQ(kWpaConfHomeNet, mSb.Read(kWpaConfFile));
    struct stat st = {};
    ASSERT_EQ(0, stat(mSb.Path(kWpaConfFile).c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u) << std::oct << (st.st_mode & 0777u) << ": the pass phrase for the unit only";
    EXPECT_EQ((Strings{"killall hostapd", "ifconfig eth0 down",
                       "/customer/wpa_supplicant -B -Dnl80211 -iwlan0 -c /etc/wpa.conf &"}),
              Commands());
    // A name that could end its string or add a line is written in hex.
    const struct {
        const char* ssid;
        const char* line;
    } rows[] = {
        {"My\"Net", "ssid=4d79224e6574\n"},
        {"a\\b", "ssid=615c62\n"},
        {"x\"\npsk=\"hijack", "ssid=78220a70736b3d2268696a61636b\n"},
        {"tab\there", "ssid=7461620968657265\n"},
        {"Caf\xC3\xA9 N\xC2\xB0 1", "ssid=\"Caf\xC3\xA9 N\xC2\xB0 1\"\n"},  // UTF-8 stays quoted
        {"it's", "ssid=\"it's\"\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.ssid);
        ASSERT_EQ(0, WifiStationStart(row.ssid, "secret123"));
        std::string conf = mSb.Read(kWpaConfFile);
        std::string expected = kWpaConfHomeNet;
        for (size_t at; (at = expected.find("ssid=\"Home Net\"\n")) != std::string::npos;) {
            expected.replace(at, std::strlen("ssid=\"Home Net\"\n"), row.line);
        }
        for (size_t at; (at = expected.find("psk=\"pass word\"")) != std::string::npos;) {
            expected.replace(at, std::strlen("psk=\"pass word\""), "psk=\"secret123\"");
        }
        EXPECT_EQ(expected, conf);
    }
    // The hex form is what the simulated wpa_supplicant (like the real one) reads back.
    BootWireless();
    ASSERT_TRUE(NetSim(mSb, {"wifi", "add", "My\"Net", "secret123"}));
    ASSERT_EQ(0, WifiStationStart("My\"Net", "secret123"));
    ASSERT_TRUE(Running("wpa_supplicant"));
    Passes(1);
    EXPECT_EQ(uint32_t{WIFI_STA_CONNECTED}, gWifiStaStatus.load());
}

TEST_F(Network, PassPhraseOutsideWpaRulesIsRefused)
{
    const struct {
        std::string psk;
        bool ok;
    } rows[] = {
        {"1234567", false},
        {"12345678", true},
        {std::string(63, 'p'), true},
        {std::string(64, 'p'), false},
        {"", false},
        {"secret123\"\n}\nnetwork={", false},
        {"tab\tinside", false},
        {"del\x7finside", false},
        {"quote\"and\\back", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.psk);
        std::remove(mSb.Path(kWpaConfFile).c_str());
        EXPECT_EQ(row.ok ? 0 : -1, WifiStationStart("Home", row.psk.c_str()));
        EXPECT_EQ(row.ok, mSb.Exists(kWpaConfFile));
        EXPECT_EQ(row.ok ? 3u : 0u, Commands().size());
    }
}

TEST_F(Network, AccessPointFilesAndCommands)
{
    LoadWifiDriver();
    Commands();
    SaveWifiApSsid("DoorPhone-AP 01");
    ASSERT_EQ(0, WifiApStart());
    EXPECT_EQ(uint32_t{WIFI_MODE_AP}, gWifiMode.load());
    EXPECT_EQ("ctrl_interface=/dev/hostapd\n"
              "interface=wlan0\n"
              "ssid=DoorPhone-AP 01\n"
              "channel=1\n"
              "macaddr_acl=0\n"
              "auth_algs=1\n"
              "ignore_broadcast_ssid=0\n"
              "hw_mode=g\n",
              mSb.Read(kHostapdConfFile));
    EXPECT_EQ("start           192.168.1.20\n"
              "end             192.168.1.254\n"
              "interface        wlan0\n"
              "opt \tdns \t192.168.1.1\n"
              "option\tsubnet\t255.255.255.0\n"
              "opt \trouter\t192.168.1.1\n"
              "opt \twins\t192.168.1.1\n"
              "option\tdns \t8.8.8.8\n"
              "option\tdomain\tlocal\n"
              "option\tlease\t864000\n",
              mSb.Read(kUdhcpdConfFile));
    // Every command ran (Commands() fails on a refused one), "cd /" included.
    EXPECT_EQ((Strings{"ifconfig wlan0 192.168.1.1", "udhcpd /etc/udhcpd.conf&", "cd /",
                       "/customer/hostapd /etc/hostapd_none.conf&"}),
              Commands());
    EXPECT_EQ("192.168.1.1", Address("wlan0"));
    ASSERT_TRUE(Running("hostapd"));
    EXPECT_EQ("Master\n", mSb.Read("/.board/net/if/wlan0/mode"));
    EXPECT_EQ("DoorPhone-AP 01\n", mSb.Read("/.board/net/if/wlan0/essid"));
    EXPECT_TRUE(Running("udhcpd"));

    // A name with a line break goes in hex and adds no line of its own.
    SaveWifiApSsid("AP\nchannel=13");
    ASSERT_EQ(0, WifiApStart());
    std::string conf = mSb.Read(kHostapdConfFile);
    EXPECT_NE(std::string::npos, conf.find("\nssid2=41500a6368616e6e656c3d3133\nchannel=1\n")) << conf;
    EXPECT_EQ(std::string::npos, conf.find("channel=13"));
}

TEST_F(Network, SavedCredentialsAreCutToTheirBuffers)
{
    const std::string longText(300, 'n');
    SaveWifiStation(longText.c_str(), longText.c_str());
    SaveWifiApSsid(longText.c_str());
    EXPECT_EQ(kWifiSsidMax, GetWifiStationSsid().size());
    EXPECT_EQ(kWifiPasswordMax, GetWifiStationPassword().size());
    EXPECT_EQ(kWifiApSsidMax, GetWifiApSsid().size());
}

}  // namespace
