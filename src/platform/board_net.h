// Requests about the unit's network interfaces: the wired link (SIOCETHTOOL with ETHTOOL_GLINK)
// and an interface's addresses (SIOCGIFADDR, SIOCGIFHWADDR). On the unit they are ioctls on a
// datagram socket. On the simulated board they are answered from the interface state that the
// simulated network tools (ifconfig, udhcpc, insmod, ...) keep in the sandbox; the host's
// interfaces are never asked.
//
// Sandbox state, one value per file (written by the simulated tools and tools/netsim):
//   "<root>/.board/net/cable"            1: the Ethernet cable is plugged in, 0: pulled
//   "<root>/.board/net/if/NAME/up"       1: the interface is up (ifconfig NAME up/down)
//   "<root>/.board/net/if/NAME/hwaddr"   its MAC address, "xx:xx:xx:xx:xx:xx"
//   "<root>/.board/net/if/NAME/addr"     its IPv4 address (absent: none)
// An interface exists while its folder does (wlan0 appears when its driver is loaded).
#pragma once

#include <cstdint>
#include <net/if.h>
#include <string>

// Like ioctl(2) on a datagram socket, for SIOCETHTOOL (ifr_data points at a struct
// ethtool_value whose cmd is ETHTOOL_GLINK; data becomes 1 with a link, else 0), SIOCGIFADDR
// and SIOCGIFHWADDR on ifr->ifr_name. 0, or -1 with errno: ENODEV no such interface,
// EADDRNOTAVAIL no address, EOPNOTSUPP any other request, EFAULT a missing argument.
// A link needs the cable and the interface up, as a real PHY reports it.
int BoardNetIoctl(unsigned long request, struct ifreq* ifr);

// The raw packet socket of the Wi-Fi sniffer on interface `ifname` (wlan0): on the unit an
// AF_PACKET socket for every protocol, bound to the interface's index (SO_BINDTODEVICE does
// nothing on a packet socket). On the simulated board a datagram socket on which each datagram is
// one captured frame with its radiotap header, as the monitor-mode driver hands it over; tests
// and `tools/netsim ROOT sniff FILE` send them to "<root>/.board/net/sniff.<ifname>" (see
// BoardPacketSocketPath). The descriptor, or -1 with errno (ENODEV: no such interface).
int BoardPacketSocket(const char* ifname);
// Where the simulated board's packet socket of `ifname` receives ("" on the unit).
std::string BoardPacketSocketPath(const char* ifname);

// The board's name lookup for the cloud hosts: "<root>/.board/net/hosts" in hosts(5) form
// (address, then names; '#' comments), IPv4 only. 0 with the host-order address of the first
// line naming `name`, -1 when no line does (or no file). On the unit the file does not exist.
int BoardResolveHost(const char* name, uint32_t* addr);
