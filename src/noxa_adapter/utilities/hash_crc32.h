// The CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final
// inversion), computed by zlib (several bytes a step, far faster than a byte table). It checks the settings store's header and values and the
// cloud's frames, so it must match other implementations bit for bit; it lives at the bottom of
// the runtime because the store sits below the cloud connection.
#pragma once

#include <cstdint>

// 0 for length 0 or no data. The whole length counts: inputs above 65535 bytes are checked to
// their end.
uint32_t hash_crc32(const uint8_t* data, uint32_t len);
