// The MQTT envelope against an encoder of the test's own (OpenSSL, zlib): the unit's bytes are the
// same bytes, and every check of the decoder refuses what it should, with buffers of the exact
// size so that a read past the end shows under AddressSanitizer.
#include "cloud_wire.h"
#include "noxa_iot_sdk/noxa_cloud/com_protocol.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

namespace {

const std::string kKey = "0123456789abcdef";

using cloudpeer::Bytes;

// AES-128-ECB without padding of a text the test pads itself (for padding faults).
Bytes RawEcb(const std::string& plain)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(plain.size() + 16);
    int n = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, reinterpret_cast<const uint8_t*>(kKey.data()), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, reinterpret_cast<const uint8_t*>(plain.data()), static_cast<int>(plain.size()));
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n));
    return out;
}

// Version, CRC and sequence around a ciphertext given whole.
Bytes Wrap(const Bytes& cipher, uint32_t seq = 1, const char* ver = "2.2")
{
    Bytes body;
    cloudpeer::PutBe32(body, seq);
    body.insert(body.end(), cipher.begin(), cipher.end());
    Bytes out(ver, ver + 3);
    cloudpeer::PutBe32(out, static_cast<uint32_t>(crc32(0L, body.data(), static_cast<uInt>(body.size()))));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

int Unpack(const Bytes& env, MQ_ENV_MSG_S* msg)
{
    // A copy of exactly the envelope's size.
    auto* buf = new uint8_t[env.size() == 0 ? 1 : env.size()];
    if (!env.empty()) {
        memcpy(buf, env.data(), env.size());
    }
    int ret = mq_env_unpack(buf, static_cast<uint32_t>(env.size()), reinterpret_cast<const uint8_t*>(kKey.data()), msg);
    delete[] buf;
    return ret;
}

TEST(ComProtocol, PackedBytesMatchAnIndependentEncoder)
{
    const struct {
        uint32_t seq;
        int32_t protocol;
        uint32_t t;
        const char* data;
    } rows[] = {
        {1, 4, 1700000000, "{\"devId\":\"d1\",\"dps\":{\"101\":true}}"},
        {0x01020304, 26, 0, "{\"ackId\":7}"},
        {0xFFFFFFFF, 43, 4294967295u, "{\"etype\":\"doorbell\",\"time\":5,\"file\":\"a.jpg\"}"},
        // Plain text of exactly one block after the head: a whole block of padding.
        {7, 308, 12, "\"x\""},
        {2, -1, 1, "0"},
    };
    for (const auto& r : rows) {
        std::vector<uint8_t> out;
        ASSERT_EQ(0, mq_env_pack(r.seq, r.protocol, r.t, r.data, reinterpret_cast<const uint8_t*>(kKey.data()), &out));
        Bytes expect = cloudpeer::Message(r.seq, r.protocol, r.t, r.data, kKey);
        EXPECT_EQ(expect, out) << r.data;

        MQ_ENV_MSG_S msg;
        ASSERT_EQ(0, Unpack(out, &msg)) << r.data;
        EXPECT_EQ(r.seq, msg.seq);
        EXPECT_EQ(r.protocol, msg.protocol);
        EXPECT_EQ(r.t, msg.t);
        char* data = cJSON_PrintUnformatted(msg.data);
        EXPECT_STREQ(r.data, data);
        cJSON_free(data);
        cJSON_Delete(msg.root);
    }
}

TEST(ComProtocol, HeaderIsVersionCrcAndSequence)
{
    std::vector<uint8_t> out;
    ASSERT_EQ(0, mq_env_pack(0x0A0B0C0D, 5, 1, "{}", reinterpret_cast<const uint8_t*>(kKey.data()), &out));
    ASSERT_EQ(MQ_ENV_HEAD_LEN + 32u, out.size());  // {"protocol":5,"t":1,"data":{}} is 31 bytes
    EXPECT_EQ(Bytes({'2', '.', '2'}), Bytes(out.begin(), out.begin() + 3));
    EXPECT_EQ(Bytes({0x0A, 0x0B, 0x0C, 0x0D}), Bytes(out.begin() + 7, out.begin() + 11));
    uint32_t crc = static_cast<uint32_t>(crc32(0L, out.data() + 7, static_cast<uInt>(out.size() - 7)));
    EXPECT_EQ(Bytes({uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)}),
              Bytes(out.begin() + 3, out.begin() + 7));
}

TEST(ComProtocol, DecoderRefusesEachFaultInItsOrder)
{
    Bytes good = cloudpeer::Message(3, 5, 9, "{\"dps\":{\"1\":true}}", kKey);
    Bytes badCrc = good;
    badCrc[20] ^= 0x01;
    Bytes badBlock = Wrap(Bytes(17, 0x55));
    Bytes shortBlock = Wrap(Bytes(15, 0x55));  // 26 bytes: under the least length
    // Ciphertext of a text whose last byte is no padding.
    std::string unpadded = "{\"protocol\":5,\"data\":{}}";
    unpadded.resize(32, ' ');
    Bytes noPad = Wrap(RawEcb(unpadded));
    // Padding bytes that differ.
    std::string mixed = "{\"protocol\":5,\"data\":{}}";
    mixed += std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    Bytes mixedPad = Wrap(RawEcb(mixed));
    const struct {
        const char* name;
        Bytes env;
        int err;
    } rows[] = {
        {"empty", Bytes{}, MQ_ENV_ERR_SHORT},
        {"26 bytes", shortBlock, MQ_ENV_ERR_SHORT},
        {"version 2.1", Wrap(cloudpeer::Aes128Ecb(Bytes(16, 'a'), kKey, true), 1, "2.1"), MQ_ENV_ERR_VERSION},
        {"flipped byte", badCrc, MQ_ENV_ERR_CRC},
        {"17-byte ciphertext", badBlock, MQ_ENV_ERR_BLOCK},
        {"no padding", noPad, MQ_ENV_ERR_PADDING},
        {"mixed padding", mixedPad, MQ_ENV_ERR_PADDING},
        {"wrong key", cloudpeer::Message(1, 5, 1, "{}", "fedcba9876543210"), MQ_ENV_ERR_PADDING},
        {"not json", cloudpeer::Envelope(1, "protocol 5", kKey), MQ_ENV_ERR_JSON},
        {"array", cloudpeer::Envelope(1, "[5]", kKey), MQ_ENV_ERR_JSON},
        {"trailing text", cloudpeer::Envelope(1, "{\"protocol\":5,\"data\":{}} x", kKey), MQ_ENV_ERR_JSON},
        {"NUL inside", cloudpeer::Envelope(1, std::string("{\"protocol\":5,\"data\":{}}\0{", 27), kKey),
         MQ_ENV_ERR_JSON},
        {"no protocol", cloudpeer::Envelope(1, "{\"data\":{}}", kKey), MQ_ENV_ERR_PROTOCOL},
        {"text protocol", cloudpeer::Envelope(1, "{\"protocol\":\"5\",\"data\":{}}", kKey), MQ_ENV_ERR_PROTOCOL},
        {"fraction", cloudpeer::Envelope(1, "{\"protocol\":5.5,\"data\":{}}", kKey), MQ_ENV_ERR_PROTOCOL},
        {"huge", cloudpeer::Envelope(1, "{\"protocol\":1e20,\"data\":{}}", kKey), MQ_ENV_ERR_PROTOCOL},
        {"no data", cloudpeer::Envelope(1, "{\"protocol\":5,\"t\":1}", kKey), MQ_ENV_ERR_DATA},
    };
    for (const auto& r : rows) {
        MQ_ENV_MSG_S msg;
        EXPECT_EQ(r.err, Unpack(r.env, &msg)) << r.name;
        EXPECT_EQ(nullptr, msg.root) << r.name;
    }
    MQ_ENV_MSG_S msg;
    ASSERT_EQ(0, Unpack(good, &msg));
    EXPECT_EQ(3u, msg.seq);
    cJSON_Delete(msg.root);
}

TEST(ComProtocol, DataMayBeAValue)
{
    MQ_ENV_MSG_S msg;
    ASSERT_EQ(0, Unpack(cloudpeer::Envelope(9, "{\"protocol\":308,\"data\":\"hi\"}", kKey), &msg));
    EXPECT_TRUE(cJSON_IsString(msg.data));
    EXPECT_EQ(0u, msg.t) << "no time given";
    cJSON_Delete(msg.root);
}

}  // namespace
