// CRC-32 against values computed by zlib.
#include "noxa_adapter/utilities/hash_crc32.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const std::string& s)
{
    return {s.begin(), s.end()};
}

}  // namespace

TEST(HashCrc32, MatchesZlib)
{
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    // A length taken as 16 bits would check only the first 70000 & 0xFFFF bytes (0x41770044).
    std::vector<uint8_t> longer(70000);
    for (size_t i = 0; i < longer.size(); ++i) {
        longer[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    const struct {
        std::vector<uint8_t> data;
        uint32_t crc;
    } rows[] = {
        {Bytes("123456789"), 0xCBF43926u},
        {Bytes("a"), 0xE8B7BE43u},
        {Bytes("The quick brown fox jumps over the lazy dog"), 0x414FA339u},
        {all, 0x29058C73u},
        {std::vector<uint8_t>(65536, 0), 0xD7978EEBu},
        {longer, 0xE0290E8Eu},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.crc, hash_crc32(row.data.data(), static_cast<uint32_t>(row.data.size())))
            << "length " << row.data.size();
    }
    // Empty input (the store's files rely on it) is 0, also without a buffer.
    EXPECT_EQ(0u, hash_crc32(all.data(), 0));
    EXPECT_EQ(0u, hash_crc32(nullptr, 9));
}
