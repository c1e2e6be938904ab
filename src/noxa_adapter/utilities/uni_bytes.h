// Little- and big-endian words in byte buffers: records on files and on the wire are written field
// by field, never by copying a struct.
#pragma once

#include <cstdint>

inline void uni_put_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline void uni_put_le64(uint8_t* p, uint64_t v)
{
    uni_put_le32(p, static_cast<uint32_t>(v));
    uni_put_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

inline uint32_t uni_get_le32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t uni_get_le64(const uint8_t* p)
{
    return uni_get_le32(p) | (static_cast<uint64_t>(uni_get_le32(p + 4)) << 32);
}

inline void uni_put_be32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * (3 - i)));
    }
}

inline uint32_t uni_get_be32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}
