// Base64 against the published vectors; Base64, MD5, SHA-1 and HMAC-SHA1 against OpenSSL on
// data fed in uneven pieces.
#include "noxa_adapter/utilities/uni_base64.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_string.h"

#include "byte_util.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <string>
#include <vector>

namespace {

Bytes B(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::string Hex(const uint8_t* d, size_t n)
{
    std::vector<char> out(2 * n + 1);
    uni_bytes_to_hexstr(out.data(), d, static_cast<int>(n));
    return out.data();
}

std::string Md5(const Bytes& data, size_t piece = 0)
{
    UNI_MD5_CTX_S ctx;
    uni_md5_init(&ctx);
    for (size_t off = 0; off < data.size();) {
        size_t n = piece == 0 ? data.size() : std::min(piece, data.size() - off);
        uni_md5_update(&ctx, data.data() + off, static_cast<uint32_t>(n));
        off += n;
    }
    uint8_t d[UNI_MD5_DIGEST_LEN];
    uni_md5_final(&ctx, d);
    return Hex(d, sizeof(d));
}

std::string Sha1(const Bytes& data, size_t piece = 0)
{
    UNI_SHA1_CTX_S ctx;
    uni_sha1_init(&ctx);
    for (size_t off = 0; off < data.size();) {
        size_t n = piece == 0 ? data.size() : std::min(piece, data.size() - off);
        uni_sha1_update(&ctx, data.data() + off, static_cast<uint32_t>(n));
        off += n;
    }
    uint8_t d[UNI_SHA1_DIGEST_LEN];
    uni_sha1_final(d, &ctx);
    return Hex(d, sizeof(d));
}

std::string OpenSslDigest(const EVP_MD* md, const Bytes& data)
{
    uint8_t d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), d, &n, md, nullptr);
    return Hex(d, n);
}

TEST(Base64, Rfc4648Vectors)
{
    const struct {
        const char* plain;
        const char* text;
    } rows[] = {
        {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"abc", "YWJj"},
        {"ab", "YWI="},
    };
    for (const auto& r : rows) {
        size_t n = strlen(r.plain);
        std::vector<char> text(4 * ((n + 2) / 3) + 1);  // exactly the room the encoder needs
        EXPECT_STREQ(r.text, uni_base64_encode(reinterpret_cast<const uint8_t*>(r.plain), static_cast<int>(n), text.data()));

        std::vector<uint8_t> out(3 * (strlen(r.text) / 4));
        ASSERT_EQ(static_cast<int>(n), uni_base64_decode(r.text, out.data())) << r.text;
        EXPECT_EQ(Bytes(r.plain, r.plain + n), Bytes(out.begin(), out.begin() + n)) << r.text;
    }
    char text[4] = "xyz";
    EXPECT_STREQ("", uni_base64_encode(reinterpret_cast<const uint8_t*>("a"), 0, text));
    EXPECT_STREQ("", uni_base64_encode(reinterpret_cast<const uint8_t*>("a"), -3, text));
}

TEST(Base64, AllByteValuesRoundTrip)
{
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    for (size_t n : {1u, 2u, 3u, 100u, 256u}) {
        std::vector<char> text(4 * ((n + 2) / 3) + 1);
        uni_base64_encode(all.data(), static_cast<int>(n), text.data());
        // OpenSSL's encoder as the oracle.
        std::vector<uint8_t> ref(text.size());
        EVP_EncodeBlock(ref.data(), all.data(), static_cast<int>(n));
        EXPECT_STREQ(reinterpret_cast<char*>(ref.data()), text.data());
        Bytes out(n);
        EXPECT_EQ(static_cast<int>(n), uni_base64_decode_n(text.data(), out.data(), static_cast<uint32_t>(n)));
        EXPECT_EQ(Bytes(all.begin(), all.begin() + n), out);
    }
}

TEST(Base64, MalformedTextsStayInBounds)
{
    const struct {
        const char* text;
        Bytes decoded;
    } rows[] = {
        {"YWJjZA", B("abc")},        // incomplete last group dropped, never read past the end
        {"YWJjZ", B("abc")},
        {"Y", B("")},
        {"YW==Zm9v", B("a")},        // padding ends the text
        {"YWI=Zm9v", B("ab")},
        {"YW=j", B("a")},            // '=' in the third place ends the group
        {"!!!!", Bytes{0xFF, 0xFF, 0xFF}},  // outside the alphabet counts as 63
    };
    for (const auto& r : rows) {
        // Exactly the documented room, so a write past it is caught.
        auto out = std::make_unique<uint8_t[]>(3 * (strlen(r.text) / 4));
        int n = uni_base64_decode(r.text, out.get());
        ASSERT_EQ(static_cast<int>(r.decoded.size()), n) << r.text;
        EXPECT_EQ(r.decoded, Bytes(out.get(), out.get() + n)) << r.text;
    }
}

TEST(Base64, BoundedDecodeRefusesTooSmallABuffer)
{
    uint8_t out[6] = {};
    EXPECT_EQ(6, uni_base64_decode_n("Zm9vYmFy", out, 6));
    EXPECT_EQ(0, memcmp(out, "foobar", 6));
    uint8_t small[5] = {};
    EXPECT_EQ(-1, uni_base64_decode_n("Zm9vYmFy", small, 5));
    EXPECT_EQ(0, memcmp(small, "fooba", 5));  // what fitted
    EXPECT_EQ(-1, uni_base64_decode_n(nullptr, out, 6));
    EXPECT_EQ(0, uni_base64_decode_n("", out, 0));
}

TEST(Digests, AgreeWithOpenSslOnEveryLengthAndSplit)
{
    // A million bytes: the bit count passes 2^23.
    Bytes million(1000000, 'a');
    EXPECT_EQ(OpenSslDigest(EVP_md5(), million), Md5(million, 4096));
    EXPECT_EQ(OpenSslDigest(EVP_sha1(), million), Sha1(million, 4096));
    for (size_t n = 0; n <= 200; n += 7) {
        Bytes data = RandomBytes(n, static_cast<uint32_t>(n));
        for (size_t piece : {0u, 1u, 63u, 64u, 65u}) {
            EXPECT_EQ(OpenSslDigest(EVP_md5(), data), Md5(data, piece)) << n << "/" << piece;
            EXPECT_EQ(OpenSslDigest(EVP_sha1(), data), Sha1(data, piece)) << n << "/" << piece;
        }
    }
    // A key named by its MD5 in lower-case hex: only the whole name in that form matches.
    const uint8_t abc[] = {'a', 'b', 'c'};
    const struct {
        const char* hex;
        bool is;
    } names[] = {{"900150983cd24fb0d6963f7d28e17f72", true}, {"900150983CD24FB0D6963F7D28E17F72", false},
                 {"900150983cd24fb0d6963f7d28e17f7", false}, {"", false}, {nullptr, false}};
    for (const auto& n : names) {
        EXPECT_EQ(n.is, uni_md5_hex_is(abc, sizeof(abc), n.hex)) << (n.hex ? n.hex : "null");
    }
}

std::string Hmac(const Bytes& key, const Bytes& data)
{
    uint8_t d[UNI_SHA1_DIGEST_LEN];
    uni_hmac_sha1(d, key.data(), static_cast<uint32_t>(key.size()), data.data(), static_cast<uint32_t>(data.size()));
    return Hex(d, sizeof(d));
}

TEST(HmacSha1, AgreesWithOpenSslForKeysAroundTheBlockSize)
{
    Bytes data = RandomBytes(100, 7);
    for (size_t keyLen : {0u, 1u, 63u, 64u, 65u, 128u}) {
        Bytes key = RandomBytes(keyLen, static_cast<uint32_t>(keyLen) + 100);
        uint8_t ref[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), ref, &n);
        EXPECT_EQ(Hex(ref, n), Hmac(key, data)) << keyLen;
    }
}

}  // namespace
