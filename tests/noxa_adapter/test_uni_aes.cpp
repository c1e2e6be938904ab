// AES-128 ECB/CBC, AES-192-CBC and PKCS#7 against OpenSSL for every length from 0 to 100,
// padding refused when wrong, and the hardware hooks.
#include "noxa_adapter/utilities/uni_aes.h"

#include "byte_util.h"

#include <cstring>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <vector>

namespace {

const uint8_t kKey[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
const uint8_t kKey192[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
const uint8_t kIv[16] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                         0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

// OpenSSL's answer: encryption with or without PKCS#7.
Bytes OpenSsl(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv, const Bytes& in, bool pad,
              bool encrypt = true)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, key, iv, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
    Bytes out(in.size() + 32);
    int n1 = 0;
    int n2 = 0;
    EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

struct AesBuf {
    uint8_t* data = nullptr;
    uint32_t len = 0;
    ~AesBuf()
    {
        if (data != nullptr) {
            uni_aes_free(data);
        }
    }
    Bytes Get() const { return Bytes(data, data + len); }
};

TEST(Aes, EcbEncodeAndDecodeMatchOpenSslForLengths0To100)
{
    for (size_t n = 0; n <= 100; ++n) {
        Bytes plain = RandomBytes(n, static_cast<uint32_t>(n));
        AesBuf enc;
        ASSERT_EQ(0, uni_aes128_ecb_encode(plain.data(), static_cast<uint32_t>(n), &enc.data, &enc.len, kKey)) << n;
        EXPECT_EQ(n / 16 * 16 + 16, enc.len) << n;  // always 1..16 bytes of padding
        EXPECT_EQ(OpenSsl(EVP_aes_128_ecb(), kKey, nullptr, plain, true), enc.Get()) << n;

        AesBuf dec;
        ASSERT_EQ(0, uni_aes128_ecb_decode(enc.data, enc.len, &dec.data, &dec.len, kKey)) << n;
        EXPECT_EQ(enc.len, dec.len);  // the padding stays in place
        EXPECT_EQ(0, dec.data[dec.len]);
        ASSERT_EQ(static_cast<int>(n), uni_pkcs7_unpad_len(dec.data, dec.len)) << n;
        EXPECT_EQ(plain, Bytes(dec.data, dec.data + n)) << n;
    }
}

TEST(Aes, CbcDecodeOfOpenSslCiphertextForLengths0To100)
{
    for (size_t n = 0; n <= 100; ++n) {
        Bytes plain = RandomBytes(n, static_cast<uint32_t>(n) + 1000);
        Bytes cipher = OpenSsl(EVP_aes_128_cbc(), kKey, kIv, plain, true);
        uint8_t iv[16];
        memcpy(iv, kIv, 16);
        AesBuf dec;
        ASSERT_EQ(0, uni_aes128_cbc_decode(cipher.data(), static_cast<uint32_t>(cipher.size()), kKey, iv, &dec.data,
                                           &dec.len))
            << n;
        ASSERT_EQ(static_cast<int>(n), uni_pkcs7_unpad_len(dec.data, dec.len)) << n;
        EXPECT_EQ(plain, Bytes(dec.data, dec.data + n)) << n;
        EXPECT_EQ(0, memcmp(iv, cipher.data() + cipher.size() - 16, 16)) << n;  // left at the last block
    }
}

TEST(Aes, CbcWholeBlocksMatchOpenSslAndChainAcrossCalls)
{
    using Cbc = int (*)(const uint8_t*, uint32_t, const uint8_t*, uint8_t*, uint8_t*);
    const struct {
        const EVP_CIPHER* cipher;
        const uint8_t* key;
        Cbc encrypt, decrypt;
    } rows[] = {
        {EVP_aes_128_cbc(), kKey, uni_aes128_cbc_encrypt, uni_aes128_cbc_decrypt},
        {EVP_aes_192_cbc(), kKey192, uni_aes192_cbc_encrypt, uni_aes192_cbc_decrypt},
    };
    for (const auto& r : rows) {
        for (size_t n = 16; n <= 96; n += 16) {
            Bytes plain = RandomBytes(n, static_cast<uint32_t>(n) + 2000);
            Bytes out(n);
            uint8_t iv[16];
            memcpy(iv, kIv, 16);
            ASSERT_EQ(0, r.encrypt(plain.data(), static_cast<uint32_t>(n), r.key, iv, out.data()));
            EXPECT_EQ(OpenSsl(r.cipher, r.key, kIv, plain, false), out) << n;

            // The same stream in two calls: the IV carries the chain.
            Bytes split(n);
            memcpy(iv, kIv, 16);
            size_t first = n / 32 * 16;
            ASSERT_EQ(0, r.encrypt(plain.data(), static_cast<uint32_t>(first), r.key, iv, split.data()));
            ASSERT_EQ(0, r.encrypt(plain.data() + first, static_cast<uint32_t>(n - first), r.key, iv,
                                   split.data() + first));
            EXPECT_EQ(out, split) << n;

            memcpy(iv, kIv, 16);
            ASSERT_EQ(0, r.decrypt(out.data(), static_cast<uint32_t>(n), r.key, iv, out.data()));  // in place
            EXPECT_EQ(plain, out) << n;
        }
    }
}

TEST(Aes, RefusesPartialBlocksAndNullPointers)
{
    uint8_t buf[32] = {};
    uint8_t iv[16] = {};
    EXPECT_EQ(-2, uni_aes128_ecb_encrypt(buf, 15, buf, kKey));
    EXPECT_EQ(-2, uni_aes128_ecb_decrypt(buf, 17, buf, kKey));
    EXPECT_EQ(-2, uni_aes128_ecb_encrypt(nullptr, 16, buf, kKey));
    EXPECT_EQ(-2, uni_aes128_ecb_encrypt(buf, 16, buf, nullptr));
    EXPECT_EQ(-2, uni_aes128_cbc_encrypt(buf, 16, kKey, nullptr, buf));
    EXPECT_EQ(-2, uni_aes128_cbc_decrypt(buf, 20, kKey, iv, buf));
    EXPECT_EQ(-2, uni_aes192_cbc_encrypt(buf, 8, kKey192, iv, buf));
    uint8_t* out = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(-2, uni_aes128_ecb_encode(nullptr, 4, &out, &len, kKey));
    EXPECT_EQ(-2, uni_aes128_ecb_decode(buf, 20, &out, &len, kKey));
    EXPECT_EQ(-2, uni_aes128_cbc_decode(buf, 16, kKey, nullptr, &out, &len));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(-2, uni_aes_free(nullptr));
}

TEST(Pkcs7, WrongPaddingIsRefused)
{
    const struct {
        Bytes data;
        int len;
    } rows[] = {
        {Bytes{'a', 'b', 'c', 0x01}, 3},
        {Bytes(16, 0x10), 0},
        {Bytes{'x', 0x03, 0x03, 0x03}, 1},
        {Bytes{'x', 'y', 0x00}, -1},          // pad 0
        {Bytes(32, 0x11), -1},                // pad 17
        {Bytes{0x05, 0x05, 0x05}, -1},        // pad longer than the data
        {Bytes{'x', 0x02, 0x03, 0x03}, -1},   // pad bytes differ
        {Bytes{'x', 0x03, 0x02, 0x03}, -1},
        {Bytes{}, -1},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.len, uni_pkcs7_unpad_len(r.data.data(), static_cast<uint32_t>(r.data.size())))
            << testing::PrintToString(r.data);
    }
    EXPECT_EQ(-1, uni_pkcs7_unpad_len(nullptr, 16));
}

TEST(Pkcs7, AWrongKeyNeverGivesAWildLength)
{
    // Decoded with another key, the last byte is noise; the length must stay within the data.
    uint8_t wrongKey[16];
    memcpy(wrongKey, kKey, 16);
    int refused = 0;
    for (uint32_t seed = 0; seed < 200; ++seed) {
        wrongKey[0] = static_cast<uint8_t>(seed);
        if (wrongKey[0] == kKey[0]) {
            continue;
        }
        Bytes plain = RandomBytes(20, seed);
        AesBuf enc;
        AesBuf dec;
        ASSERT_EQ(0, uni_aes128_ecb_encode(plain.data(), 20, &enc.data, &enc.len, kKey));
        ASSERT_EQ(0, uni_aes128_ecb_decode(enc.data, enc.len, &dec.data, &dec.len, wrongKey));
        int len = uni_pkcs7_unpad_len(dec.data, dec.len);
        EXPECT_TRUE(len == -1 || (len >= 16 && len < 32)) << len;
        refused += len == -1 ? 1 : 0;
    }
    EXPECT_GT(refused, 190);
}

int gHwEcbCalls = 0;

int HwEcbEncrypt(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key)
{
    ++gHwEcbCalls;
    Bytes r = OpenSsl(EVP_aes_128_ecb(), key, nullptr, Bytes(data, data + len), false);
    memcpy(out, r.data(), len);
    return 0;
}

TEST(AesHw, RegisteredEntryPointsReplaceTheSoftwarePath)
{
    UNI_AES_HW_ENTRY_S entry{};
    entry.ecb_encrypt = HwEcbEncrypt;
    uni_aes_register_hw_entry(&entry);
    uint8_t buf[16] = {};
    uint8_t out[16];
    EXPECT_EQ(0, uni_aes128_ecb_encrypt(buf, 16, out, kKey));
    EXPECT_EQ(1, gHwEcbCalls);
    EXPECT_EQ(-2, uni_aes128_ecb_encrypt(buf, 15, out, kKey));  // checked before the hook
    EXPECT_EQ(1, gHwEcbCalls);
    uint8_t soft[16];
    EXPECT_EQ(0, uni_aes128_ecb_decrypt(out, 16, soft, kKey));  // no hook: software
    EXPECT_EQ(Bytes(16, 0), Bytes(soft, soft + 16));

    uni_aes_register_hw_entry(nullptr);
    EXPECT_EQ(0, uni_aes128_ecb_encrypt(buf, 16, soft, kKey));
    EXPECT_EQ(1, gHwEcbCalls);
    EXPECT_EQ(Bytes(out, out + 16), Bytes(soft, soft + 16));
}

// A fake engine session: AES-128-CBC through OpenSSL with the key and IV it was given.
struct FakeSession {
    uint8_t key[16];
    uint8_t iv[16];
};
int gOpened = 0;
int gClosed = 0;
bool gSetKeyFails = false;

int FakeOpen(void** h)
{
    ++gOpened;
    *h = new FakeSession{};
    return 0;
}
int FakeClose(void* h)
{
    ++gClosed;
    delete static_cast<FakeSession*>(h);
    return 0;
}
int FakeSetKey(void* h, const uint8_t* key, uint32_t bits)
{
    if (gSetKeyFails || bits != 128) {
        return -1;
    }
    memcpy(static_cast<FakeSession*>(h)->key, key, 16);
    return 0;
}
int FakeSetIv(void* h, const uint8_t* iv)
{
    memcpy(static_cast<FakeSession*>(h)->iv, iv, 16);
    return 0;
}
int FakeEncrypt(void* h, const uint8_t* in, uint32_t len, uint8_t* out)
{
    auto* s = static_cast<FakeSession*>(h);
    Bytes r = OpenSsl(EVP_aes_128_cbc(), s->key, s->iv, Bytes(in, in + len), false);
    memcpy(out, r.data(), len);
    return 0;
}

TEST(AesHw, ContextPadsAndEncryptsThroughTheEngine)
{
    UNI_AES_HW_CTX_S ctx{};
    EXPECT_EQ(-1, uni_aes_hw_init(&ctx, kKey));  // nothing registered

    UNI_AES_HW_CTX_CBS_S cbs{FakeOpen, FakeClose, FakeSetKey, FakeSetIv, FakeEncrypt, nullptr};
    uni_aes_register_hw_ctx_cbs(&cbs);
    ASSERT_EQ(0, uni_aes_hw_init(&ctx, kKey));
    for (uint32_t n : {0u, 20u, 32u}) {
        Bytes plain = RandomBytes(n, n);
        Bytes out(48);
        uint32_t outSize = static_cast<uint32_t>(out.size());
        ASSERT_EQ(0, uni_aes_hw_pkcs7_encrypt(&ctx, kIv, nullptr, plain.data(), n, out.data(), &outSize)) << n;
        out.resize(outSize);
        EXPECT_EQ(OpenSsl(EVP_aes_128_cbc(), kKey, kIv, plain, true), out) << n;
    }
    Bytes plain(32, 'p');
    Bytes out(47);
    uint32_t outSize = static_cast<uint32_t>(out.size());
    EXPECT_EQ(-1, uni_aes_hw_pkcs7_encrypt(&ctx, kIv, nullptr, plain.data(), 32, out.data(), &outSize));
    EXPECT_EQ(0, uni_aes_hw_close(&ctx));
    EXPECT_EQ(1, gOpened);
    EXPECT_EQ(1, gClosed);

    // A key the engine refuses: the session is closed again.
    gSetKeyFails = true;
    EXPECT_EQ(-1, uni_aes_hw_init(&ctx, kKey));
    EXPECT_EQ(2, gOpened);
    EXPECT_EQ(2, gClosed);

    cbs.encrypt = nullptr;
    gSetKeyFails = false;
    uni_aes_register_hw_ctx_cbs(&cbs);
    ASSERT_EQ(0, uni_aes_hw_init(&ctx, kKey));
    out.assign(48, 0);
    outSize = 48;
    EXPECT_EQ(-1, uni_aes_hw_pkcs7_encrypt(&ctx, kIv, nullptr, plain.data(), 16, out.data(), &outSize));
    uni_aes_hw_close(&ctx);
    uni_aes_register_hw_ctx_cbs(nullptr);
}

}  // namespace
