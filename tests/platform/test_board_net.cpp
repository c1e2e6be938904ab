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
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <string>

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

// tools/netsim refuses a wrong root, option or command with status 2, saying so, and its usage;
// the board's network stays as it was.
TEST(BoardNet, NetsimRefusesBadInputs)
{
    TestSandbox sb;
    const std::string tool = SourceDir() + "/tools/netsim";
    const std::string before = sb.Read("/.board/net/cable") + sb.Read("/.board/net/air");
    ExpectRefusals(tool, {
        {{}, "netsim: no board root"},
        {{"--"}, "netsim: unknown option --"},
        {{"--help-me", sb.Root()}, "netsim: unknown option --help-me"},
        {{"/nonexistent/x", "show"}, "netsim: /nonexistent/x is no board root"},
        {{sb.Root()}, "netsim: unknown command: (none)"},
        {{sb.Root(), "--fast"}, "netsim: unknown command: --fast"},
        {{sb.Root(), "cable", "cut"}, "Usage: tools/netsim ROOT COMMAND"},
        {{sb.Root(), "wifi", "add"}, "Usage: tools/netsim ROOT COMMAND"},
        {{sb.Root(), "usb", "floppy"}, "Usage: tools/netsim ROOT COMMAND"},
        {{sb.Root(), "sniff", "/nonexistent/frames"}, "Usage: tools/netsim ROOT COMMAND"},
    }, {"Usage: tools/netsim ROOT COMMAND"});
    EXPECT_EQ(before, sb.Read("/.board/net/cable") + sb.Read("/.board/net/air"));
}
