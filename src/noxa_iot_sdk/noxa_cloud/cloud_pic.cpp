#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/iot_httpc.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/random.h>
#include <system_error>
#include <thread>

namespace {

const uint8_t kMagic[4] = {'N', 'X', 'P', 'C'};
constexpr uint32_t kOffVersion = 4;
constexpr uint32_t kOffIv = 8;
constexpr uint32_t kOffLen = 24;

void PutU32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint32_t GetU32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

int RandomIv(char iv[CLOUD_PIC_IV_LEN])
{
    uint8_t raw[CLOUD_PIC_IV_LEN / 2];
    size_t got = 0;
    while (got < sizeof(raw)) {
        ssize_t n = getrandom(raw + got, sizeof(raw) - got, 0);
        if (n <= 0) {
            PR_ERR("getrandom fails");
            return UNI_COM_ERROR;
        }
        got += static_cast<size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof(raw); ++i) {
        iv[2 * i] = kHex[raw[i] >> 4];
        iv[2 * i + 1] = kHex[raw[i] & 15];
    }
    return UNI_OK;
}

// The fetch gate. A failed fetch is tried again after a wait that doubles up to ten minutes:
// the secret API of a cloud in trouble is not asked once per frame, reconnect or picture, and a
// stalled one (its time-out) holds no caller that keeps to the wait more than once per wait.
constexpr uint64_t kRetryFirstMs = 10 * 1000;
constexpr uint64_t kRetryMaxMs = 10 * 60 * 1000;
std::mutex s_fetchLock;               // one fetch at a time
uint64_t s_retryWaitMs = 0;           // under s_fetchLock: the wait after the last failure
std::atomic<uint64_t> s_retryAt{0};   // tick before which no fetch that keeps to the wait starts
std::atomic<bool> s_fetching{false};  // a background fetch thread runs
std::atomic<bool> s_asking{false};    // a fetch waits for the cloud's answer
// How long a picture waits for a running fetch while none has failed (a TLS handshake on the
// unit's slow core takes seconds).
constexpr int kPictureKeyWaitMs = 5000;

bool FetchDue()
{
    return uni_get_tick_ms() >= s_retryAt.load();
}

// The stored key when its MD5 (32 lower-case hex digits) is md5_hex.
bool StoredKeyIs(const char* md5_hex, uint8_t key[16])
{
    uint8_t k[16];
    if (md5_hex == nullptr || cloud_read_enc_key(k) != UNI_OK) {
        return false;
    }
    if (!uni_md5_hex_is(k, sizeof(k), md5_hex)) {
        return false;
    }
    memcpy(key, k, sizeof(k));
    return true;
}

// The cloud's answer, and the wait it leaves; the caller holds s_fetchLock.
int FetchHeld(uint8_t key[16])
{
    s_asking = true;
    const int ret = cloud_fetch_enc_key(key);
    s_asking = false;
    if (ret != UNI_OK) {
        s_retryWaitMs = s_retryWaitMs == 0 ? kRetryFirstMs : std::min(s_retryWaitMs * 2, kRetryMaxMs);
        s_retryAt = uni_get_tick_ms() + s_retryWaitMs;
        PR_ERR("no media key (%d): next try in %u s", ret, static_cast<unsigned>(s_retryWaitMs / 1000));
        return ret;
    }
    s_retryWaitMs = 0;
    s_retryAt = 0;
    return UNI_OK;
}

}  // namespace

int cloud_fetch_enc_key_for(const char* md5_hex, CLOUD_KEY_FETCH_E when, uint8_t key[16])
{
    std::unique_lock<std::mutex> fetch(s_fetchLock, std::defer_lock);
    if (when == CLOUD_KEY_WHEN_DUE) {
        // Never behind a running fetch: it may be stalled for its whole time-out.
        if (!FetchDue() || !fetch.try_lock() || !FetchDue()) {
            return CLOUD_PIC_KEY_ERR;
        }
    } else {
        fetch.lock();
    }
    // A fetch that ran while this one waited may have brought the key asked for.
    if (StoredKeyIs(md5_hex, key)) {
        return UNI_OK;
    }
    return FetchHeld(key);
}

namespace {

// Starts a background fetch; false when none was started.
bool StartBackgroundFetch()
{
    if (!FetchDue() || s_asking.load() || s_fetching.exchange(true)) {
        return false;
    }
    try {
        std::thread([] {
            uint8_t key[16];
            (void)cloud_fetch_enc_key_for(nullptr, CLOUD_KEY_WHEN_DUE, key);
            s_fetching = false;
        }).detach();
    } catch (const std::system_error&) {
        s_fetching = false;
        return false;
    }
    return true;
}

}  // namespace

void cloud_fetch_enc_key_in_background(void)
{
    (void)StartBackgroundFetch();
}

void cloud_enc_key_fetch_reset(void)
{
    while (s_fetching.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> fetch(s_fetchLock);
    s_retryWaitMs = 0;
    s_retryAt = 0;
}

int cloud_read_enc_key(uint8_t key[16])
{
    uint8_t* stored = nullptr;
    uint32_t len = 0;
    const int ret = wd_common_read(CLOUD_ENC_KEY_NAME, &stored, &len);
    if (ret != 0) {
        return ret;
    }
    const bool ok = len == 16 || (len == 17 && stored[16] == 0);
    if (ok) {
        memcpy(key, stored, 16);
    }
    wd_common_free_data(stored);
    if (!ok) {
        PR_ERR("stored media key of %u bytes", len);
        return CLOUD_PIC_KEY_ERR;
    }
    return UNI_OK;
}

int cloud_fetch_enc_key(uint8_t key[16])
{
    cJSON* reply = nullptr;
    int ret = httpc_iot_cloud_storage_encrypt_key_get(&reply);
    if (ret != UNI_OK) {
        PR_ERR("media key fetch fails %d", ret);
        return ret;
    }
    const cJSON* k = cJSON_GetObjectItemCaseSensitive(reply, "encryptKey");
    ret = CLOUD_PIC_KEY_ERR;
    if (!cJSON_IsString(k)) {
        PR_ERR("fail to get value for encryptKey");
    } else if (strlen(k->valuestring) != 16) {
        // A shorter key would be padded into a key the cloud does not have: nothing decrypts.
        PR_ERR("invalid key value for encryptKey");
    } else {
        ret = wd_common_write(CLOUD_ENC_KEY_NAME, reinterpret_cast<const uint8_t*>(k->valuestring), 16);
        if (ret == UNI_OK) {
            memcpy(key, k->valuestring, 16);
        } else {
            PR_ERR("media key not stored %d", ret);
        }
    }
    cJSON_Delete(reply);
    return ret;
}

int cloud_get_enc_key(uint8_t key[16])
{
    // Read every time: the cloud may change the key, so no copy is kept here.
    const int ret = cloud_read_enc_key(key);
    if (ret == UNI_OK || ret == CLOUD_PIC_KEY_ERR) {
        return ret;
    }
    // None stored: the key is asked for on a thread of its own when the wait allows. While no fetch
    // has failed, the picture waits for the fetch that runs (its own or another's), bounded; once
    // one has failed (a cloud in trouble, a stalled secret API), it goes on at once without.
    const bool failing = s_retryAt.load() != 0;
    (void)StartBackgroundFetch();
    if (failing) {
        return CLOUD_PIC_KEY_ERR;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPictureKeyWaitMs);
    while ((s_fetching.load() || s_asking.load()) && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cloud_read_enc_key(key) == UNI_OK ? UNI_OK : CLOUD_PIC_KEY_ERR;
}

int cloud_encrypt_pic_with_random_iv(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len,
                                     const char* iv)
{
    if (data == nullptr || out == nullptr || out_len == nullptr ||
        (iv != nullptr && strlen(iv) != CLOUD_PIC_IV_LEN) || len > UINT32_MAX - CLOUD_PIC_HEAD_LEN - 16) {
        return UNI_INVALID_PARM;
    }
    *out = nullptr;
    *out_len = 0;
    uint8_t key[16];
    int ret = cloud_get_enc_key(key);
    if (ret != UNI_OK) {
        return ret;
    }
    char ivText[CLOUD_PIC_IV_LEN];
    if (iv != nullptr) {
        memcpy(ivText, iv, CLOUD_PIC_IV_LEN);
    } else if (RandomIv(ivText) != UNI_OK) {
        return UNI_COM_ERROR;
    }
    uint32_t padded = (len / 16 + 1) * 16;
    auto* buf = static_cast<uint8_t*>(malloc(CLOUD_PIC_HEAD_LEN + padded));
    if (buf == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    memset(buf, 0, CLOUD_PIC_HEAD_LEN);
    memcpy(buf, kMagic, sizeof(kMagic));
    PutU32(buf + kOffVersion, CLOUD_PIC_VERSION);
    memcpy(buf + kOffIv, ivText, CLOUD_PIC_IV_LEN);
    PutU32(buf + kOffLen, len);
    // Padded in place, then encrypted over itself.
    uint8_t* body = buf + CLOUD_PIC_HEAD_LEN;
    memcpy(body, data, len);
    memset(body + len, static_cast<int>(padded - len), padded - len);
    uint8_t chain[16];
    memcpy(chain, ivText, 16);
    ret = uni_aes128_cbc_encrypt(body, padded, key, chain, body);
    if (ret != 0) {
        free(buf);
        return ret;
    }
    *out = buf;
    *out_len = CLOUD_PIC_HEAD_LEN + padded;
    return UNI_OK;
}

int cloud_decrypt_pic_with_random_iv(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len,
                                     const char* key)
{
    if (data == nullptr || out == nullptr || out_len == nullptr || (key != nullptr && strlen(key) != 16)) {
        return UNI_INVALID_PARM;
    }
    *out = nullptr;
    *out_len = 0;
    if (len < CLOUD_PIC_HEAD_LEN + 16 || (len - CLOUD_PIC_HEAD_LEN) % 16 != 0 ||
        memcmp(data, kMagic, sizeof(kMagic)) != 0 || GetU32(data + kOffVersion) != CLOUD_PIC_VERSION) {
        PR_ERR("picture header or length not right");
        return UNI_COM_ERROR;
    }
    for (uint32_t i = kOffLen + 4; i < CLOUD_PIC_HEAD_LEN; ++i) {
        if (data[i] != 0) {
            PR_ERR("picture header reserved bytes set");
            return UNI_COM_ERROR;
        }
    }
    uint32_t cipherLen = len - CLOUD_PIC_HEAD_LEN;
    uint32_t plainLen = GetU32(data + kOffLen);
    if (plainLen / 16 + 1 != cipherLen / 16) {
        PR_ERR("picture length %u does not fit %u cipher bytes", plainLen, cipherLen);
        return UNI_COM_ERROR;
    }
    uint8_t k[16];
    if (key != nullptr) {
        memcpy(k, key, 16);
    } else if (int ret = cloud_get_enc_key(k); ret != UNI_OK) {
        return ret;
    }
    auto* buf = static_cast<uint8_t*>(malloc(cipherLen));
    if (buf == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    uint8_t chain[16];
    memcpy(chain, data + kOffIv, 16);
    int ret = uni_aes128_cbc_decrypt(data + CLOUD_PIC_HEAD_LEN, cipherLen, k, chain, buf);
    if (ret != 0 || uni_pkcs7_unpad_len(buf, cipherLen) != static_cast<int>(plainLen)) {
        PR_ERR("picture padding not right");
        free(buf);
        return UNI_COM_ERROR;
    }
    *out = buf;
    *out_len = plainLen;
    return UNI_OK;
}
