// Waiting for a socket of the TLS wrapper or the HTTP client to become readable.
#pragma once

#include "noxa_adapter/network/uni_network.h"

#include <cstdint>
#include <sys/select.h>

// unw_select's result: > 0 readable, 0 time-out, < 0 failure. A descriptor beyond the select set
// cannot be waited for and counts as a failure rather than an overrun of the set.
inline int noxa_sock_wait_readable(int fd, uint32_t timeoutMs)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        return -1;
    }
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(fd, &rfds);
    return unw_select(fd + 1, &rfds, nullptr, nullptr, timeoutMs);
}
