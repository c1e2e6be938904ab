#include "noxa_ipc_sdk/encrypt/noxa_ipc_encrypt.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_adapter/utilities/uni_digest.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_secret.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_iot_sdk/noxa_cloud/cloud_pic.h"

#include <cstring>

namespace {

NOXA_ENCRYPTOR_S s_encryptor;
// The table is filled once, before any thread can read it through the instance.
[[maybe_unused]] const bool s_opsFilled =
    (s_encryptor.ops = {Encrypt, Decrypt, OpensslAES_CBC128_encrypt, CheckAndUpdateEncKey}, true);

// The key into the record; the caller holds the lock.
void TakeKey(NOXA_ENCRYPTOR_S& e, const uint8_t key[NOXA_ENC_KEY_LEN])
{
    memset(e.key, 0, sizeof(e.key));
    memcpy(e.key, key, NOXA_ENC_KEY_LEN);
    e.has_key = 1;
    e.inited = 1;
}

// The cloud's key into the record (and the store, by the fetch). Every fetch goes through the key
// module's gate: one at a time, and the fetches that keep to the wait after a failure are refused
// at once until it has run.
int FetchInto(NOXA_ENCRYPTOR_S& e, const char* md5_hex, CLOUD_KEY_FETCH_E when)
{
    uint8_t key[NOXA_ENC_KEY_LEN];
    const int ret = cloud_fetch_enc_key_for(md5_hex, when, key);
    if (ret != UNI_OK) {
        return ret;
    }
    std::lock_guard<std::mutex> lock(e.lock);
    TakeKey(e, key);
    PR_NOTICE("encryptKey [%s]", uni_mask_secret(e.key).text);
    return UNI_OK;
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

// The key to use now. Without one, false at once and a fetch in the background when one is due
// (its key is taken from the store by a later call).
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
    cloud_fetch_enc_key_in_background();
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
    return uni_md5_hex_is(key, NOXA_ENC_KEY_LEN, md5_hex);
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
    if (e.has_key == 0 && FetchInto(e, nullptr, CLOUD_KEY_WHEN_DUE) == UNI_OK) {
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

namespace {

// The key checked against the cloud's MD5, and fetched when it differs or there is none.
int CheckKey(const char* md5_hex, CLOUD_KEY_FETCH_E when)
{
    NOXA_ENCRYPTOR_S& e = s_encryptor;
    if (e.inited == 0) {
        PR_ERR("check encrypt key fail, because encryptor not init");
        return FetchInto(e, md5_hex, when) == UNI_OK ? UNI_OK : UNI_COM_ERROR;
    }
    if (KeyMatches(e, md5_hex)) {
        PR_NOTICE("CHECK cloud enc key success");
        return UNI_OK;
    }
    if (e.has_key != 0 && md5_hex != nullptr) {
        PR_ERR("cloud encrypt key MD5 check failed!\r\n");
    }
    PR_NOTICE("CHECK cloud enc key fail, update from cloud");
    return FetchInto(e, md5_hex, when);
}

}  // namespace

int CheckAndUpdateEncKey(const char* md5_hex)
{
    return CheckKey(md5_hex, CLOUD_KEY_AT_ONCE);
}

int CheckEncKeyWhenDue(const char* md5_hex)
{
    return CheckKey(md5_hex, CLOUD_KEY_WHEN_DUE);
}

int UpdateEncryptInfo()
{
    return FetchInto(s_encryptor, nullptr, CLOUD_KEY_AT_ONCE);
}

void noxa_ipc_encrypt_reset(void)
{
    NOXA_ENCRYPTOR_S& e = s_encryptor;
    // After a running fetch, which would otherwise bring its key back.
    cloud_enc_key_fetch_reset();
    std::lock_guard<std::mutex> lock(e.lock);
    memset(e.key, 0, sizeof(e.key));
    e.has_key = 0;
    e.inited = 0;
}
