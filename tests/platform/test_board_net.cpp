// The simulated board's network: link and address requests answered from the sandbox, and the
// simulated tools that keep that state, in the forms the unit parses (the station and access
// point tools are walked by the unit's own network suite).
#include "netsim.h"
#include "platform/board_net.h"
#include "platform/shell.h"
#include "sandbox.h"
#include "tool_refusal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

struct ifreq Request(const char* name)
{
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    return ifr;
}

// The link as the unit reads it: 1, 0, or -errno.
int Link(const char* name, uint32_t cmd = ETHTOOL_GLINK)
{
    struct ethtool_value ev {};
    ev.cmd = cmd;
    struct ifreq ifr = Request(name);
    ifr.ifr_data = reinterpret_cast<char*>(&ev);
    if (BoardNetIoctl(SIOCETHTOOL, &ifr) != 0) {
        return -errno;
    }
    return static_cast<int>(ev.data);
}

// An IPv4 address as text, or -errno as text.
std::string Addr(const char* name)
{
    struct ifreq ifr = Request(name);
    if (BoardNetIoctl(SIOCGIFADDR, &ifr) != 0) {
        return std::to_string(-errno);
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_addr)->sin_addr, text, sizeof(text));
    return text;
}

std::string Output(const char* command)
{
    FILE* p = BoardPopen(command, "r");
    if (p == nullptr) {
        return "(refused)";
    }
    std::string out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    BoardPclose(p);
    return out;
}

int Exit(const char* command)
{
    int status = BoardSystem(command);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(BoardNet, LinkNeedsTheCableAndTheInterfaceUp)
{
    TestSandbox sb;
    EXPECT_EQ(1, Link("eth0"));  // as the board powers up
    ASSERT_TRUE(NetSim(sb, {"cable", "pull"}));
    EXPECT_EQ(0, Link("eth0"));
    ASSERT_TRUE(NetSim(sb, {"cable", "plug"}));
    EXPECT_EQ(1, Link("eth0"));
    ASSERT_EQ(0, Exit("ifconfig eth0 down"));
    EXPECT_EQ(0, Link("eth0"));
    ASSERT_EQ(0, Exit("ifconfig eth0 up"));
    EXPECT_EQ(1, Link("eth0"));

    EXPECT_EQ(-ENODEV, Link("wlan0"));  // no driver loaded yet
    EXPECT_EQ(-ENODEV, Link(".."));
    EXPECT_EQ(-ENODEV, Link("if/eth0"));
    EXPECT_EQ(-ENODEV, Link(""));
    EXPECT_EQ(-EOPNOTSUPP, Link("eth0", ETHTOOL_GSET));
    struct ifreq ifr = Request("eth0");
    EXPECT_EQ(-1, BoardNetIoctl(SIOCSIFADDR, &ifr));
    EXPECT_EQ(EOPNOTSUPP, errno);
    EXPECT_EQ(-1, BoardNetIoctl(SIOCETHTOOL, nullptr));
    EXPECT_EQ(EFAULT, errno);
}

TEST(BoardNet, AddressesComeFromTheSimulatedTools)
{
    TestSandbox sb;
    EXPECT_EQ(std::to_string(-EADDRNOTAVAIL), Addr("eth0"));
    ASSERT_EQ(0, Exit("ifconfig eth0 hw ether 0A:1B:2C:3D:4E:5F"));
    struct ifreq ifr = Request("eth0");
    ASSERT_EQ(0, BoardNetIoctl(SIOCGIFHWADDR, &ifr));
    const uint8_t expected[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    EXPECT_EQ(0, std::memcmp(expected, ifr.ifr_hwaddr.sa_data, 6));

    std::string lease = Output("udhcpc -T 2 -t 30 -A 60");
    EXPECT_TRUE(Has(lease, "udhcpc: lease of 192.168.10.100 obtained from 192.168.10.1")) << lease;
    EXPECT_EQ("192.168.10.100", Addr("eth0"));
    std::string shown = Output("ifconfig eth0");
    EXPECT_TRUE(Has(shown, "eth0      Link encap:Ethernet  HWaddr 0A:1B:2C:3D:4E:5F")) << shown;
    EXPECT_TRUE(Has(shown, "inet addr:192.168.10.100  Bcast:192.168.10.255  Mask:255.255.255.0")) << shown;
    EXPECT_TRUE(Has(shown, "UP BROADCAST RUNNING MULTICAST")) << shown;

    // Malformed addresses are refused as ifconfig refuses them, and change nothing.
    EXPECT_EQ(1, Exit("ifconfig eth0 hw ether 0A:1B:2C:3D:4E"));
    EXPECT_EQ(1, Exit("ifconfig eth0 hw ether zz:1B:2C:3D:4E:5F"));
    EXPECT_EQ(1, Exit("ifconfig eth0 300.1.2"));
    EXPECT_EQ(0, BoardNetIoctl(SIOCGIFHWADDR, &ifr));
    EXPECT_EQ(0, std::memcmp(expected, ifr.ifr_hwaddr.sa_data, 6));

    // Without a carrier the client gets nothing; with -n it gives up.
    ASSERT_TRUE(NetSim(sb, {"cable", "pull"}));
    EXPECT_EQ(1, Exit("udhcpc -iwlan0 -n"));  // no such interface
    EXPECT_EQ(1, Exit("ifconfig wlan0"));
    ASSERT_EQ(0, Exit("insmod /customer/ko/rtl8188f.ko"));
    std::string none = Output("udhcpc -iwlan0 -T 2 -t 120 -n");
    EXPECT_TRUE(Has(none, "udhcpc: no lease, failing")) << none;
    EXPECT_EQ(std::to_string(-EADDRNOTAVAIL), Addr("wlan0"));
}

TEST(BoardNet, BootForgetsTheLastRunButNotTheCable)
{
    TestSandbox sb;
    ASSERT_TRUE(NetSim(sb, {"cable", "pull"}));
    ASSERT_EQ(0, Exit("insmod /customer/ko/rtl8188f.ko"));
    ASSERT_EQ(0, Exit("ifconfig eth0 hw ether 0A:1B:2C:3D:4E:5F"));
    ASSERT_TRUE(NetSim(sb, {"boot"}));
    EXPECT_EQ(-ENODEV, Link("wlan0"));
    EXPECT_EQ(0, Link("eth0"));
    EXPECT_TRUE(Has(Output("ifconfig eth0"), "HWaddr 02:12:34:56:78:9A"));
    ASSERT_EQ(0, Exit("insmod /customer/ko/rtl8188f.ko"));  // loads again after the power cycle
}

// The files of the board's network folder whose names start with `prefix` (aside copies a run
// left behind, say).
static std::vector<std::string> NetFiles(const TestSandbox& sb, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(sb.Path("/.board/net"))) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0) {
            found.push_back(name);
        }
    }
    return found;
}

// tools/netsim refuses a wrong root, option, command or value with status 2, saying what is wrong
// and its usage; the board's network stays as it was, and no aside copy is left.
TEST(BoardNet, NetsimRefusesBadInputs)
{
    TestSandbox sb;
    const std::string tool = SourceDir() + "/tools/netsim";
    ASSERT_TRUE(NetSim(sb, {"wifi", "add", "Home", "secret123"}));
    const std::string before = sb.Read("/.board/net/cable") + sb.Read("/.board/net/air") + sb.Read("/.board/net/usb");
    sb.Write("/frames.hex", "# a frame, then a wrong line\n00 00 08 00\n00 0g\n");
    const std::string fake = sb.Root() + "/tmp/fake";
    std::filesystem::create_directories(fake + "/.board");
    ExpectRefusals(tool, {
        {{}, "netsim: no board root"},
        {{"--"}, "netsim: unknown option --"},
        {{"--help-me", sb.Root()}, "netsim: unknown option --help-me"},
        {{"/nonexistent/x", "show"}, "netsim: /nonexistent/x is no board root"},
        // Any folder with a .board in it is no sandbox: nothing is written there.
        {{fake, "cable", "pull"}, "netsim: " + fake + " is no board root (it is not a sandbox"},
        {{sb.Root()}, "netsim: unknown command: (none)"},
        {{sb.Root(), "--fast"}, "netsim: unknown command: --fast"},
        {{sb.Root(), "cable", "cut"}, "netsim: cable takes pull or plug, not 'cut'"},
        {{sb.Root(), "cable", "yank"}, "netsim: cable takes pull or plug, not 'yank'"},
        {{sb.Root(), "cable"}, "netsim: cable takes pull or plug"},
        {{sb.Root(), "cable", "pull", "now"}, "netsim: cable takes pull or plug"},
        {{sb.Root(), "wifi"}, "netsim: wifi takes add, remove or clear"},
        {{sb.Root(), "wifi", "scan"}, "netsim: wifi takes add, remove or clear, not 'scan'"},
        {{sb.Root(), "wifi", "add"}, "netsim: wifi add takes SSID PASSPHRASE"},
        {{sb.Root(), "wifi", "add", "Home"}, "netsim: wifi add takes SSID PASSPHRASE"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "6", "40", "hidden", "x"}, "netsim: wifi add takes SSID PASSPHRASE"},
        {{sb.Root(), "wifi", "add", "", "pass1234"}, "netsim: wifi add: the SSID is empty"},
        {{sb.Root(), "wifi", "add", "A\tB", "pass1234"}, "netsim: an SSID here holds no tab or newline"},
        {{sb.Root(), "wifi", "add", "Den", "pass\t1234"}, "netsim: a pass phrase here holds no tab or newline"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "99"}, "netsim: CHANNEL '99' is no whole number from 1 to 13"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "0"}, "netsim: CHANNEL '0' is no whole number from 1 to 13"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "14"}, "netsim: CHANNEL '14' is no whole number from 1 to 13"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "six"}, "netsim: CHANNEL 'six' is no whole number from 1 to 13"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "6", "500"}, "netsim: QUALITY '500' is no whole number from 0 to 70"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "6", "71"}, "netsim: QUALITY '71' is no whole number from 0 to 70"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "6", "-1"}, "netsim: QUALITY '-1' is no whole number from 0 to 70"},
        {{sb.Root(), "wifi", "add", "Den", "pass1234", "6", "40", "secret"}, "netsim: the last value of wifi add is hidden, not 'secret'"},
        {{sb.Root(), "wifi", "remove"}, "netsim: wifi remove takes one SSID"},
        {{sb.Root(), "wifi", "clear", "all"}, "netsim: wifi clear takes no value"},
        {{sb.Root(), "usb", "floppy"}, "netsim: usb takes rtl8188f, ssv6x5x, none or broken, not 'floppy'"},
        {{sb.Root(), "usb", "foo"}, "netsim: usb takes rtl8188f, ssv6x5x, none or broken, not 'foo'"},
        {{sb.Root(), "usb"}, "netsim: usb takes rtl8188f, ssv6x5x, none or broken"},
        {{sb.Root(), "boot", "now"}, "netsim: boot takes no value"},
        {{sb.Root(), "show", "all"}, "netsim: show takes no value"},
        {{sb.Root(), "sniff", "/nonexistent/frames"}, "netsim: sniff: /nonexistent/frames is no readable file"},
        {{sb.Root(), "sniff"}, "netsim: sniff takes one file of frames"},
    }, {"Usage: tools/netsim ROOT COMMAND"});
    EXPECT_TRUE(std::filesystem::is_empty(fake + "/.board")) << "it wrote into a folder that is no sandbox";
    EXPECT_EQ(before, sb.Read("/.board/net/cable") + sb.Read("/.board/net/air") + sb.Read("/.board/net/usb"));
    EXPECT_EQ(std::vector<std::string>{"air"}, NetFiles(sb, "air")) << "an aside copy of the air was left";

    // A wrong line of a sniffer's file is named, and no frame of the file goes out.
    const std::string sock = sb.Path("/.board/net/sniff.wlan0");
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un a {};
    a.sun_family = AF_UNIX;
    ASSERT_LT(sock.size(), sizeof(a.sun_path));
    std::strncpy(a.sun_path, sock.c_str(), sizeof(a.sun_path) - 1);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)));
    EXPECT_TRUE(ToolRefuses({tool, sb.Root(), "sniff", sb.Path("/frames.hex")}, 2,
                            "netsim: sniff: line 3 of " + sb.Path("/frames.hex") + " is no hex frame"));
    char frame[64];
    EXPECT_EQ(-1, recv(fd, frame, sizeof(frame), MSG_DONTWAIT)) << "a frame went out";
    close(fd);
    std::remove(sock.c_str());
}

// The values netsim takes at the edges of their ranges reach the air file as given (a leading
// zero dropped), and the simulated scan shows them so.
TEST(BoardNet, NetsimTakesTheWholeRangeOfAWifiNetwork)
{
    TestSandbox sb;
    const struct {
        std::vector<std::string> args;
        std::string line;    // in the air file
        std::string shown;   // in iwlist's cell
    } rows[] = {
        {{"Low", "pass1234", "1", "0"}, "Low\tpass1234\t1\t0\tseen\n", "(Channel 1)\n                    Quality=0/70"},
        {{"High", "pass1234", "13", "70"}, "High\tpass1234\t13\t70\tseen\n", "(Channel 13)\n                    Quality=70/70"},
        {{"Zero", "pass1234", "06", "040", "hidden"}, "Zero\tpass1234\t6\t40\thidden\n", "(Channel 6)\n                    Quality=40/70"},
    };
    ASSERT_EQ(0, Exit("insmod /customer/ko/rtl8188f.ko"));
    ASSERT_EQ(0, Exit("ifconfig wlan0 up"));
    for (const auto& row : rows) {
        std::vector<std::string> args = {"wifi", "add"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        ASSERT_TRUE(NetSim(sb, args)) << row.line;
        EXPECT_EQ(row.line, sb.Read("/.board/net/air"));
        const std::string scan = Output("iwlist wlan0 scan");
        EXPECT_TRUE(Has(scan, row.shown)) << scan;
        ASSERT_TRUE(NetSim(sb, {"wifi", "clear"}));
    }
    EXPECT_EQ(std::vector<std::string>{"air"}, NetFiles(sb, "air"));
}
