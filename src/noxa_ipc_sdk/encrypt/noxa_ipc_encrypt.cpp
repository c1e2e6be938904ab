#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

NOXA_ENCRYPTOR_S s_encryptor;
// The table is filled once, before any thread can read it through the instance.
[[maybe_unused]] const bool s_opsFilled =
    (s_encryptor.ops = {Encrypt, Decrypt, OpensslAES_CBC128_encrypt, CheckAndUpdateEncKey}, true);

// A failed fetch is tried again after a wait that doubles up to ten minutes: the secret API
// of a cloud in trouble is not asked once per frame.
constexpr uint64_t kRetryFirstMs = 10 * 1000;
constexpr uint64_t kRetryMaxMs = 10 * 60 * 1000;

// One cloud fetch at a time. It is taken before the encryptor's lock and the cloud call runs
// without the latter, so a stalled fetch holds up other fetches only, never a frame.
std::mutex s_fetchLock;
uint64_t s_retryWaitMs = 0;           // under s_fetchLock: the wait after the last failure
std::atomic<uint64_t> s_retryAt{0};   // tick before which no automatic fetch starts
std::atomic<bool> s_fetching{false};  // a background fetch thread runs
std::atomic<bool> s_asking{false};    // a fetch waits for the cloud's answer

// The key into the record; the caller holds the lock.
void TakeKey(NOXA_ENCRYPTOR_S& e, const uint8_t key[NOXA_ENC_KEY_LEN])
{
    memset(e.key, 0, sizeof(e.key));
    memcpy(e.key, key, NOXA_ENC_KEY_LEN);
    e.has_key = 1;
    e.inited = 1;
}

// The cloud's key into the record and the store; the caller holds s_fetchLock.
int FetchHeld(NOXA_ENCRYPTOR_S& e)
{
    uint8_t key[NOXA_ENC_KEY_LEN];
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
    std::lock_guard<std::mutex> lock(e.lock);
    TakeKey(e, key);
    PR_NOTICE("encryptKey [%s]", uni_mask_secret(e.key).text);
    return UNI_OK;
}

bool FetchDue()
{
    return uni_get_tick_ms() >= s_retryAt.load();
}

// An automatic fetch on this thread, when the wait after the last failure has run and no other
// fetch is running (never waiting behind one). true when the fetch took a key.
bool FetchIfDue(NOXA_ENCRYPTOR_S& e)
{
    if (!FetchDue()) {
        return false;
    }
    std::unique_lock<std::mutex> fetch(s_fetchLock, std::try_to_lock);
    if (!fetch.owns_lock() || e.has_key != 0 || !FetchDue()) {
        return false;
    }
    PR_NOTICE("no encrypt key, update");
    return FetchHeld(e) == UNI_OK;
}

// The same on a thread of its own: the frame that finds no key is refused at once.
void FetchInBackground()
{
    if (!FetchDue() || s_asking.load() || s_fetching.exchange(true)) {
        return;
    }
    try {
        std::thread([] {
            FetchIfDue(s_encryptor);
            s_fetching = false;
        }).detach();
    } catch (const std::system_error&) {
        s_fetching = false;
    }
}

// While no key was obtained: the record cleared and the stored key taken, if there is one
// (no cloud call). The store's refusal is logged when `quiet` is false.
NOXA_ENCRYPTOR_S& LoadStored(bool quiet)
{
    NOXA_ENCRYPTOR_S& e = s_encryptor;
    if (e.inited != 0) {
        return e;
    }
    std::lock_guard<std::mutex> lock(e.lock);
    if (e.inited != 0) {
        return e;
    }
    memset(e.key, 0, sizeof(e.key));
    e.has_key = 0;
    uint8_t key[NOXA_ENC_KEY_LEN];
    const int ret = cloud_read_enc_key(key);
    if (ret == UNI_OK) {
        TakeKey(e, key);
        PR_NOTICE("use key :%s", uni_mask_secret(e.key).text);
    } else if (!quiet) {
        PR_NOTICE("read local cloud encrypt key fails ..%d", ret);
    }
    return e;
}

// The key to use now. Without one, false at once and a fetch in the background when one is due.
bool CopyKey(uint8_t key[NOXA_ENC_KEY_LEN])
{
    NOXA_ENCRYPTOR_S& e = LoadStored(true);
    {
        std::lock_guard<std::mutex> lock(e.lock);
        if (e.has_key != 0) {
            memcpy(key, e.key, NOXA_ENC_KEY_LEN);
            return true;
        }
    }
    FetchInBackground();
    return false;
}

// The key's MD5 as 32 lower-case hex digits equals md5_hex.
bool KeyMatches(NOXA_ENCRYPTOR_S& e, const char* md5_hex)
{
    uint8_t key[NOXA_ENC_KEY_LEN];
    {
        std::lock_guard<std::mutex> lock(e.lock);
        if (e.has_key == 0 || md5_hex == nullptr) {
            return false;
        }
        memcpy(key, e.key, sizeof(key));
    }
    UNI_MD5_CTX_S ctx;
    uni_md5_init(&ctx);
    uni_md5_update(&ctx, key, NOXA_ENC_KEY_LEN);
    uint8_t digest[UNI_MD5_DIGEST_LEN];
    uni_md5_final(&ctx, digest);
    static const char kHex[] = "0123456789abcdef";
    char hex[2 * UNI_MD5_DIGEST_LEN];
    for (size_t i = 0; i < sizeof(digest); ++i) {
        hex[2 * i] = kHex[digest[i] >> 4];
        hex[2 * i + 1] = kHex[digest[i] & 15];
    }
    return strncmp(hex, md5_hex, sizeof(hex)) == 0;
}

}  // namespace

int OpensslAES_CBC128_encrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len,
                              const uint8_t key[NOXA_ENC_KEY_LEN], const uint8_t iv[NOXA_ENC_IV_LEN])
{
    if (in == nullptr || out == nullptr || out_len == nullptr || key == nullptr || iv == nullptr ||
        len > UINT32_MAX - UNI_AES_BLOCK) {
        PR_ERR("parameter error \r\n");
        return UNI_INVALID_PARM;
    }
    const uint32_t pad = UNI_AES_BLOCK - len % UNI_AES_BLOCK;
    memmove(out, in, len);
    memset(out + len, static_cast<int>(pad), pad);
    uint8_t chain[NOXA_ENC_IV_LEN];
    memcpy(chain, iv, sizeof(chain));
    if (uni_aes128_cbc_encrypt(out, len + pad, key, chain, out) != 0) {
        PR_ERR("Unable to set encryption key in AES...\n");
        return UNI_INVALID_PARM;
    }
    *out_len = len + pad;
    return UNI_OK;
}

int OpensslAES_CBC128_decrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len,
                              const uint8_t key[NOXA_ENC_KEY_LEN], const uint8_t iv[NOXA_ENC_IV_LEN])
{
    if (in == nullptr || out == nullptr || out_len == nullptr || key == nullptr || iv == nullptr) {
        PR_ERR("parameter error \r\n");
        return UNI_INVALID_PARM;
    }
    // Nothing, or a part block: the cipher would read past the input, the padding before it.
    if (len == 0 || len % UNI_AES_BLOCK != 0) {
        PR_ERR("have some error\r\n");
        return UNI_COM_ERROR;
    }
    uint8_t chain[NOXA_ENC_IV_LEN];
    memcpy(chain, iv, sizeof(chain));
    if (uni_aes128_cbc_decrypt(in, len, key, chain, out) != 0) {
        PR_ERR("Unable to set decryption key in AES...\n");
        return UNI_INVALID_PARM;
    }
    const uint8_t pad = out[len - 1];
    if (pad == 0 || pad > UNI_AES_BLOCK) {
        PR_ERR("have some error\r\n");
        return UNI_COM_ERROR;
    }
    *out_len = len - pad;
    return UNI_OK;
}

NOXA_ENCRYPTOR_S* GetEncryptorInstance()
{
    NOXA_ENCRYPTOR_S& e = LoadStored(false);
    // Without a key the instance stays uninited: a later call tries again once the wait has run.
    if (e.has_key == 0 && FetchIfDue(e)) {
        PR_NOTICE("use key :%s", uni_mask_secret(e.key).text);
    }
    return &e;
}

int Encrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, char iv_out[NOXA_ENC_IV_LEN])
{
    if (iv_out == nullptr) {
        return UNI_COM_ERROR;
    }
    uint8_t key[NOXA_ENC_KEY_LEN];
    if (!CopyKey(key)) {
        return UNI_COM_ERROR;
    }
    // A fresh IV from the kernel's generator for every call: a clock-seeded one repeats within a
    // second under the same key.
    char iv[NOXA_ENC_IV_LEN];
    if (uni_random_string(iv, sizeof(iv)) != UNI_OK) {
        return UNI_COM_ERROR;
    }
    if (OpensslAES_CBC128_encrypt(in, len, out, out_len, key, reinterpret_cast<const uint8_t*>(iv)) != UNI_OK) {
        return UNI_COM_ERROR;
    }
    memcpy(iv_out, iv, sizeof(iv));
    return UNI_OK;
}

int Decrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, const char iv[NOXA_ENC_IV_LEN])
{
    uint8_t key[NOXA_ENC_KEY_LEN];
    if (iv == nullptr || !CopyKey(key)) {
        return UNI_COM_ERROR;
    }
    return OpensslAES_CBC128_decrypt(in, len, out, out_len, key, reinterpret_cast<const uint8_t*>(iv)) == UNI_OK
               ? UNI_OK
               : UNI_COM_ERROR;
}

int CheckAndUpdateEncKey(const char* md5_hex)
{
    NOXA_ENCRYPTOR_S& e = s_encryptor;
    if (e.inited == 0) {
        PR_ERR("check encrypt key fail, because encryptor not init");
        // A new gateway request: the key is asked for at once, whatever the wait.
        std::lock_guard<std::mutex> fetch(s_fetchLock);
        if (e.has_key != 0) {
            return UNI_OK;
        }
        return FetchHeld(e) == UNI_OK ? UNI_OK : UNI_COM_ERROR;
    }
    if (KeyMatches(e, md5_hex)) {
        PR_NOTICE("CHECK cloud enc key success");
        return UNI_OK;
    }
    if (e.has_key != 0 && md5_hex != nullptr) {
        PR_ERR("cloud encrypt key MD5 check failed!\r\n");
    }
    PR_NOTICE("CHECK cloud enc key fail, update from cloud");
    std::lock_guard<std::mutex> fetch(s_fetchLock);
    // A fetch that ran while this one waited may have brought the key asked for.
    if (KeyMatches(e, md5_hex)) {
        return UNI_OK;
    }
    return FetchHeld(e);
}

int UpdateEncryptInfo()
{
    std::lock_guard<std::mutex> fetch(s_fetchLock);
    return FetchHeld(s_encryptor);
}

void noxa_ipc_encrypt_reset(void)
{
    NOXA_ENCRYPTOR_S& e = s_encryptor;
    // After a running fetch, which would otherwise bring its key back.
    std::lock_guard<std::mutex> fetch(s_fetchLock);
    s_retryWaitMs = 0;
    s_retryAt = 0;
    std::lock_guard<std::mutex> lock(e.lock);
    memset(e.key, 0, sizeof(e.key));
    e.has_key = 0;
    e.inited = 0;
}
