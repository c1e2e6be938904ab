#include "noxa_adapter/utilities/uni_aes.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"

#include <cstring>
#include <mbedtls/aes.h>
#include <mutex>

namespace {

std::mutex s_hwMutex;
UNI_AES_HW_ENTRY_S s_hwEntry{};
UNI_AES_HW_CTX_CBS_S s_hwCtxCbs{};

UNI_AES_HW_ENTRY_S __hw_entry()
{
    std::lock_guard<std::mutex> lock(s_hwMutex);
    return s_hwEntry;
}

// mbedtls_aes_context holds round keys: wiped and released on every path out.
class AesKey {
public:
    AesKey() { mbedtls_aes_init(&mCtx); }
    ~AesKey() { mbedtls_aes_free(&mCtx); }
    AesKey(const AesKey&) = delete;
    AesKey& operator=(const AesKey&) = delete;
    int SetEnc(const uint8_t* key, unsigned bits) { return mbedtls_aes_setkey_enc(&mCtx, key, bits); }
    int SetDec(const uint8_t* key, unsigned bits) { return mbedtls_aes_setkey_dec(&mCtx, key, bits); }
    mbedtls_aes_context* Get() { return &mCtx; }

private:
    mbedtls_aes_context mCtx;
};

bool __bad_blocks(const void* data, uint32_t len, const void* out, const void* key)
{
    return data == nullptr || out == nullptr || key == nullptr || len % UNI_AES_BLOCK != 0;
}

int __ecb(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key, int mode)
{
    AesKey aes;
    int ret = mode == MBEDTLS_AES_ENCRYPT ? aes.SetEnc(key, 128) : aes.SetDec(key, 128);
    for (uint32_t i = 0; ret == 0 && i < len; i += UNI_AES_BLOCK) {
        ret = mbedtls_aes_crypt_ecb(aes.Get(), mode, data + i, out + i);
    }
    return ret;
}

int __cbc(const uint8_t* data, uint32_t len, const uint8_t* key, unsigned bits, uint8_t* iv, uint8_t* out,
          int mode)
{
    if (__bad_blocks(data, len, out, key) || iv == nullptr) {
        return UNI_INVALID_PARM;
    }
    AesKey aes;
    int ret = mode == MBEDTLS_AES_ENCRYPT ? aes.SetEnc(key, bits) : aes.SetDec(key, bits);
    if (ret == 0 && len != 0) {
        ret = mbedtls_aes_crypt_cbc(aes.Get(), mode, len, iv, data, out);
    }
    return ret;
}

// AES-128 through the registered engine entry point when there is one, else in software.
int __aes128_ecb(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key, int mode)
{
    if (__bad_blocks(data, len, out, key)) {
        return UNI_INVALID_PARM;
    }
    UNI_AES_HW_ENTRY_S hw = __hw_entry();
    auto fn = mode == MBEDTLS_AES_ENCRYPT ? hw.ecb_encrypt : hw.ecb_decrypt;
    return fn != nullptr ? fn(data, len, out, key) : __ecb(data, len, out, key, mode);
}

int __aes128_cbc(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out, int mode)
{
    if (__bad_blocks(data, len, out, key) || iv == nullptr) {
        return UNI_INVALID_PARM;
    }
    UNI_AES_HW_ENTRY_S hw = __hw_entry();
    auto fn = mode == MBEDTLS_AES_ENCRYPT ? hw.cbc_encrypt : hw.cbc_decrypt;
    return fn != nullptr ? fn(data, len, key, iv, out) : __cbc(data, len, key, 128, iv, out, mode);
}

uint32_t __pad_len(uint32_t len)
{
    return UNI_AES_BLOCK - len % UNI_AES_BLOCK;
}

// Decrypts len bytes into a fresh len + 1 block, NUL at the end; decrypt does the work in place.
template <typename Decrypt>
int __decode(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len, Decrypt decrypt)
{
    auto* buf = static_cast<uint8_t*>(Malloc(static_cast<size_t>(len) + 1));
    if (buf == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    memcpy(buf, data, len);
    buf[len] = 0;
    int ret = decrypt(buf);
    if (ret != 0) {
        Free(buf);
        *out = nullptr;
        return ret;
    }
    *out = buf;
    *out_len = len;
    return 0;
}

}  // namespace

int uni_aes128_ecb_encrypt(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key)
{
    return __aes128_ecb(data, len, out, key, MBEDTLS_AES_ENCRYPT);
}

int uni_aes128_ecb_decrypt(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key)
{
    return __aes128_ecb(data, len, out, key, MBEDTLS_AES_DECRYPT);
}

int uni_aes128_cbc_encrypt(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out)
{
    return __aes128_cbc(data, len, key, iv, out, MBEDTLS_AES_ENCRYPT);
}

int uni_aes128_cbc_decrypt(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out)
{
    return __aes128_cbc(data, len, key, iv, out, MBEDTLS_AES_DECRYPT);
}

int uni_aes192_cbc_encrypt(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out)
{
    return __cbc(data, len, key, 192, iv, out, MBEDTLS_AES_ENCRYPT);
}

int uni_aes192_cbc_decrypt(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out)
{
    return __cbc(data, len, key, 192, iv, out, MBEDTLS_AES_DECRYPT);
}

int uni_aes128_ecb_encode(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len, const uint8_t* key)
{
    if ((data == nullptr && len != 0) || out == nullptr || out_len == nullptr || key == nullptr ||
        len > UINT32_MAX - UNI_AES_BLOCK) {
        return UNI_INVALID_PARM;
    }
    uint32_t pad = __pad_len(len);
    uint32_t total = len + pad;
    auto* buf = static_cast<uint8_t*>(Malloc(total));
    if (buf == nullptr) {
        *out = nullptr;
        return UNI_MALLOC_FAILED;
    }
    if (len != 0) {
        memcpy(buf, data, len);
    }
    memset(buf + len, static_cast<int>(pad), pad);
    int ret = uni_aes128_ecb_encrypt(buf, total, buf, key);
    if (ret != 0) {
        Free(buf);
        *out = nullptr;
        return ret;
    }
    *out = buf;
    *out_len = total;
    return 0;
}

int uni_aes128_ecb_decode(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len, const uint8_t* key)
{
    if (data == nullptr || out == nullptr || out_len == nullptr || key == nullptr || len % UNI_AES_BLOCK != 0) {
        return UNI_INVALID_PARM;
    }
    return __decode(data, len, out, out_len, [&](uint8_t* buf) { return uni_aes128_ecb_decrypt(buf, len, buf, key); });
}

int uni_aes128_cbc_decode(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t** out,
                          uint32_t* out_len)
{
    if (data == nullptr || out == nullptr || out_len == nullptr || key == nullptr || iv == nullptr ||
        len % UNI_AES_BLOCK != 0) {
        return UNI_INVALID_PARM;
    }
    return __decode(data, len, out, out_len,
                    [&](uint8_t* buf) { return uni_aes128_cbc_decrypt(buf, len, key, iv, buf); });
}

int uni_pkcs7_unpad_len(const uint8_t* data, uint32_t len)
{
    if (data == nullptr || len == 0) {
        return -1;
    }
    uint8_t pad = data[len - 1];
    if (pad == 0 || pad > UNI_AES_BLOCK || pad > len) {
        return -1;
    }
    for (uint32_t i = len - pad; i < len; ++i) {
        if (data[i] != pad) {
            return -1;
        }
    }
    return static_cast<int>(len - pad);
}

int uni_aes_free(uint8_t* buf)
{
    if (buf == nullptr) {
        return UNI_INVALID_PARM;
    }
    Free(buf);
    return 0;
}

int uni_aes_register_hw_entry(const UNI_AES_HW_ENTRY_S* entry)
{
    std::lock_guard<std::mutex> lock(s_hwMutex);
    s_hwEntry = entry != nullptr ? *entry : UNI_AES_HW_ENTRY_S{};
    return 0;
}

int uni_aes_register_hw_ctx_cbs(const UNI_AES_HW_CTX_CBS_S* cbs)
{
    std::lock_guard<std::mutex> lock(s_hwMutex);
    s_hwCtxCbs = cbs != nullptr ? *cbs : UNI_AES_HW_CTX_CBS_S{};
    return 0;
}

int uni_aes_hw_init(UNI_AES_HW_CTX_S* ctx, const uint8_t* key)
{
    if (ctx == nullptr || key == nullptr) {
        return UNI_COM_ERROR;
    }
    {
        std::lock_guard<std::mutex> lock(s_hwMutex);
        ctx->cbs = s_hwCtxCbs;
    }
    ctx->handle = nullptr;
    if (ctx->cbs.open == nullptr || ctx->cbs.close == nullptr || ctx->cbs.set_key == nullptr) {
        return UNI_COM_ERROR;
    }
    if (ctx->cbs.open(&ctx->handle) != 0) {
        ctx->handle = nullptr;
        return UNI_COM_ERROR;
    }
    if (ctx->cbs.set_key(ctx->handle, key, 128) != 0) {
        ctx->cbs.close(ctx->handle);
        ctx->handle = nullptr;
        return UNI_COM_ERROR;
    }
    return 0;
}

int uni_aes_hw_pkcs7_encrypt(UNI_AES_HW_CTX_S* ctx, const uint8_t* iv, void* reserved, const uint8_t* data,
                             uint32_t len, uint8_t* out, uint32_t* out_size)
{
    (void)reserved;
    if (ctx == nullptr || ctx->cbs.encrypt == nullptr || (data == nullptr && len != 0) || out == nullptr ||
        out_size == nullptr || len > UINT32_MAX - UNI_AES_BLOCK) {
        return UNI_COM_ERROR;
    }
    uint32_t pad = __pad_len(len);
    uint32_t total = len + pad;
    if (total > *out_size) {
        return UNI_COM_ERROR;
    }
    if (iv != nullptr && ctx->cbs.set_iv != nullptr && ctx->cbs.set_iv(ctx->handle, iv) != 0) {
        return UNI_COM_ERROR;
    }
    if (len != 0) {
        memmove(out, data, len);
    }
    memset(out + len, static_cast<int>(pad), pad);
    if (ctx->cbs.encrypt(ctx->handle, out, total, out) != 0) {
        return UNI_COM_ERROR;
    }
    *out_size = total;
    return 0;
}

int uni_aes_hw_close(UNI_AES_HW_CTX_S* ctx)
{
    if (ctx == nullptr) {
        return UNI_INVALID_PARM;
    }
    if (ctx->cbs.close != nullptr && ctx->handle != nullptr) {
        ctx->cbs.close(ctx->handle);
    }
    ctx->handle = nullptr;
    return 0;
}
