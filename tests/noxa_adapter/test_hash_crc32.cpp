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

// Bit by bit, the definition itself.
uint32_t BitwiseCrc32(const uint8_t* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1) != 0 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
    }
    return crc ^ 0xFFFFFFFFu;
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

// The fast paths work on whole words: every start alignment and every tail length around them.
TEST(HashCrc32, AnyAlignmentAndTail)
{
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 151 + 17);
    }
    for (size_t start = 0; start < 16; ++start) {
        for (size_t n : {1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 255, 284}) {
            // Ends where the buffer ends, so that a read past it shows under the sanitizer.
            std::vector<uint8_t> buf(data.begin(), data.begin() + static_cast<long>(start + n));
            const uint8_t* piece = buf.data() + start;
            EXPECT_EQ(BitwiseCrc32(piece, n), hash_crc32(piece, static_cast<uint32_t>(n)))
                << "start " << start << " length " << n;
        }
    }
}
