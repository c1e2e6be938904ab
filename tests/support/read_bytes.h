// Reading a descriptor in tests: waits for bytes that another process or thread writes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <unistd.h>
#include <vector>

// Reads from `fd` until `count` bytes have come or `limit` has passed.
inline std::vector<uint8_t> ReadBytes(int fd, size_t count, std::chrono::milliseconds limit)
{
    std::vector<uint8_t> out;
    auto end = std::chrono::steady_clock::now() + limit;
    while (out.size() < count && std::chrono::steady_clock::now() < end) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) {
            uint8_t buf[64];
            ssize_t n = read(fd, buf, std::min(sizeof(buf), count - out.size()));
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
            }
        }
    }
    return out;
}
