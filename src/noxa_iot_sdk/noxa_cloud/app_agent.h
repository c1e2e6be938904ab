// The LAN control protocol (TCP server port 6668, UDP discovery port 6667).
#pragma once

#include <cstdint>

#define LAN_PRO_TCP_PORT 6668
#define LAN_PRO_UDP_PORT 6667

// Records the start; the unit offers no LAN server in this build. 0.
int lan_pro_cntl_init(uint32_t mode);
