#include "noxa_adapter/utilities/hash_crc32.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> __crc32_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrc32Table = __crc32_table();

}  // namespace

uint32_t hash_crc32(const uint8_t* data, uint32_t len)
{
    if (data == nullptr || len == 0) {
        return 0;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < len; ++i) {
        crc = kCrc32Table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}
