#include "noxa_iot_sdk/noxa_cloud/com_protocol.h"

#include "noxa_adapter/utilities/hash_crc32.h"
#include "noxa_adapter/utilities/uni_aes.h"

#include <cmath>
#include <cstdio>
#include <cstring>

static_assert(sizeof(NOXA_MQTT_VERSION) - 1 == MQ_ENV_VER_LEN);

namespace {

void PutBe32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t GetBe32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// The PKCS#7 pad when it is sound (1..16 equal bytes within the text), else -1.
int PadLen(const uint8_t* plain, uint32_t len)
{
    uint8_t pad = plain[len - 1];
    if (pad == 0 || pad > UNI_AES_BLOCK || pad > len) {
        return -1;
    }
    for (uint32_t i = len - pad; i < len; ++i) {
        if (plain[i] != pad) {
            return -1;
        }
    }
    return pad;
}

// A JSON number that is an integer and fits 32 bits.
bool IsInt32(const cJSON* item)
{
    if (!cJSON_IsNumber(item)) {
        return false;
    }
    double v = item->valuedouble;
    return std::isfinite(v) && v == std::floor(v) && v >= -2147483648.0 && v <= 2147483647.0;
}

}  // namespace

int mq_env_plain_text(int32_t protocol, uint32_t t, const char* data_json, std::vector<char>* out)
{
    if (data_json == nullptr || data_json[0] == '\0' || out == nullptr) {
        return MQ_ENV_ERR_PARAM;
    }
    char head[64];
    int n = snprintf(head, sizeof(head), "{\"protocol\":%d,\"t\":%u,\"data\":", protocol, t);
    size_t dataLen = strlen(data_json);
    out->resize(static_cast<size_t>(n) + dataLen + 1);
    memcpy(out->data(), head, static_cast<size_t>(n));
    memcpy(out->data() + n, data_json, dataLen);
    (*out)[static_cast<size_t>(n) + dataLen] = '}';
    return MQ_ENV_OK;
}

int mq_env_pack(uint32_t seq, int32_t protocol, uint32_t t, const char* data_json, const uint8_t key[MQ_ENV_KEY_LEN],
                std::vector<uint8_t>* out)
{
    if (key == nullptr || out == nullptr) {
        return MQ_ENV_ERR_PARAM;
    }
    std::vector<char> plain;
    int ret = mq_env_plain_text(protocol, t, data_json, &plain);
    if (ret != MQ_ENV_OK) {
        return ret;
    }
    uint32_t plainLen = static_cast<uint32_t>(plain.size());
    uint32_t pad = UNI_AES_BLOCK - plainLen % UNI_AES_BLOCK;
    uint32_t cipherLen = plainLen + pad;
    out->assign(MQ_ENV_HEAD_LEN + cipherLen, 0);
    uint8_t* p = out->data();
    memcpy(p, NOXA_MQTT_VERSION, MQ_ENV_VER_LEN);
    PutBe32(p + 7, seq);
    uint8_t* cipher = p + MQ_ENV_HEAD_LEN;
    memcpy(cipher, plain.data(), plainLen);
    memset(cipher + plainLen, static_cast<int>(pad), pad);
    ret = uni_aes128_ecb_encrypt(cipher, cipherLen, cipher, key);
    if (ret != 0) {
        out->clear();
        return ret;
    }
    PutBe32(p + 3, hash_crc32(p + 7, 4 + cipherLen));
    return MQ_ENV_OK;
}

int mq_env_unpack(const uint8_t* buf, uint32_t len, const uint8_t key[MQ_ENV_KEY_LEN], MQ_ENV_MSG_S* msg)
{
    if (buf == nullptr || key == nullptr || msg == nullptr) {
        return MQ_ENV_ERR_PARAM;
    }
    *msg = MQ_ENV_MSG_S{};
    if (len < MQ_ENV_MIN_LEN) {
        return MQ_ENV_ERR_SHORT;
    }
    if (memcmp(buf, NOXA_MQTT_VERSION, MQ_ENV_VER_LEN) != 0) {
        return MQ_ENV_ERR_VERSION;
    }
    if (hash_crc32(buf + 7, len - 7) != GetBe32(buf + 3)) {
        return MQ_ENV_ERR_CRC;
    }
    uint32_t cipherLen = len - MQ_ENV_HEAD_LEN;
    if (cipherLen % UNI_AES_BLOCK != 0) {
        return MQ_ENV_ERR_BLOCK;
    }
    // One byte more for the NUL the parser wants.
    std::vector<uint8_t> plain(cipherLen + 1, 0);
    if (uni_aes128_ecb_decrypt(buf + MQ_ENV_HEAD_LEN, cipherLen, plain.data(), key) != 0) {
        return MQ_ENV_ERR_PADDING;
    }
    int pad = PadLen(plain.data(), cipherLen);
    if (pad < 0) {
        return MQ_ENV_ERR_PADDING;
    }
    size_t textLen = cipherLen - static_cast<uint32_t>(pad);
    plain[textLen] = 0;
    // A NUL inside the text would cut it short unseen: not a JSON text of that length.
    if (memchr(plain.data(), 0, textLen) != nullptr) {
        return MQ_ENV_ERR_JSON;
    }
    const char* end = nullptr;
    cJSON* root = cJSON_ParseWithLengthOpts(reinterpret_cast<const char*>(plain.data()), textLen + 1, &end, 1);
    if (root == nullptr || !cJSON_IsObject(root)) {
        cJSON_Delete(root);
        return MQ_ENV_ERR_JSON;
    }
    cJSON* protocol = cJSON_GetObjectItemCaseSensitive(root, "protocol");
    if (!IsInt32(protocol)) {
        cJSON_Delete(root);
        return MQ_ENV_ERR_PROTOCOL;
    }
    cJSON* data = cJSON_GetObjectItemCaseSensitive(root, "data");
    if (data == nullptr || cJSON_IsInvalid(data)) {
        cJSON_Delete(root);
        return MQ_ENV_ERR_DATA;
    }
    cJSON* t = cJSON_GetObjectItemCaseSensitive(root, "t");
    msg->seq = GetBe32(buf + 7);
    msg->protocol = static_cast<int32_t>(protocol->valuedouble);
    msg->t = cJSON_IsNumber(t) && t->valuedouble >= 0 && t->valuedouble <= 4294967295.0
                 ? static_cast<uint32_t>(t->valuedouble)
                 : 0;
    msg->root = root;
    msg->data = data;
    return MQ_ENV_OK;
}

const char* mq_env_err_text(int err)
{
    switch (err) {
    case MQ_ENV_OK: return "ok";
    case MQ_ENV_ERR_SHORT: return "too short";
    case MQ_ENV_ERR_VERSION: return "version";
    case MQ_ENV_ERR_CRC: return "crc";
    case MQ_ENV_ERR_BLOCK: return "block size";
    case MQ_ENV_ERR_PADDING: return "padding";
    case MQ_ENV_ERR_JSON: return "json";
    case MQ_ENV_ERR_PROTOCOL: return "protocol";
    case MQ_ENV_ERR_DATA: return "data";
    case MQ_ENV_ERR_MEMORY: return "memory";
    default: return "param";
    }
}
