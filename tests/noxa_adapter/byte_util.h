// Byte strings for the digest and cipher suites.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

using Bytes = std::vector<uint8_t>;

// n bytes that depend only on the seed.
inline Bytes RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b) {
        c = static_cast<uint8_t>(rng());
    }
    return b;
}
