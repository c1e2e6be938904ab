// Test frames that prove their own integrity: sequence number, type and size up front, a pattern
// derived from the sequence, and a CRC-32 of everything before it at the end. A torn copy or one
// that caught a later frame's bytes fails CheckFrame.
#pragma once

#include <cstdint>
#include <vector>

namespace ringtest {

constexpr uint32_t kFrameOverhead = 16;  // header (12) and CRC (4)

inline uint32_t Crc32(const uint8_t* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

inline void PutLe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline uint32_t GetLe32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// size at least kFrameOverhead.
inline std::vector<uint8_t> MakeFrame(uint32_t seq, uint32_t type, uint32_t size)
{
    std::vector<uint8_t> f(size);
    PutLe32(&f[0], seq);
    PutLe32(&f[4], type);
    PutLe32(&f[8], size);
    uint32_t x = seq * 2654435761u + 1;
    for (uint32_t i = 12; i < size - 4; ++i) {
        x = x * 1103515245u + 12345u;
        f[i] = static_cast<uint8_t>(x >> 16);
    }
    PutLe32(&f[size - 4], Crc32(f.data(), size - 4));
    return f;
}

// True when the bytes are a whole frame with this sequence number, type and size.
inline bool CheckFrame(const uint8_t* p, uint32_t size, uint32_t seq, uint32_t type)
{
    return size >= kFrameOverhead && GetLe32(p) == seq && GetLe32(p + 4) == type && GetLe32(p + 8) == size &&
           GetLe32(p + size - 4) == Crc32(p, size - 4);
}

}  // namespace ringtest
