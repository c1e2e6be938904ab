#include "noxa_adapter/utilities/hash_crc32.h"

#include <zlib.h>

uint32_t hash_crc32(const uint8_t* data, uint32_t len)
{
    if (data == nullptr || len == 0) {
        return 0;
    }
    // zlib's length is an unsigned int: all 32 bits of ours pass.
    return static_cast<uint32_t>(crc32(0UL, data, len));
}
