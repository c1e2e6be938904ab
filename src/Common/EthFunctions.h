// The wired port's own requests (eth0): its address and MAC asked of the interface itself, and
// the wired station join the cloud side knows of. The cable state is hwl_bnw_station_conn
// (Network.h).
#pragma once

#include <cstddef>
#include <cstdint>

// eth0's IPv4 address as dotted text into `ip` (`len` bytes, 16 suffice). 0, or -1 ("ioctl
// error" when the port has no address or does not exist).
int GetLocalIp(char* ip, size_t len);
// eth0's MAC address. 0, or -1 as GetLocalIp.
int GetLocalMac(uint8_t mac[6]);
// A wired unit joins no network by name: traced and refused, -1.
int hwl_bnw_set_station_connect(const char* ssid, const char* passwd);
