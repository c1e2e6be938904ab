#include "noxa_adapter/utilities/uni_digest.h"

#include <cstring>

namespace {

constexpr uint32_t kSha1Block = 64;

}  // namespace

void uni_md5_init(UNI_MD5_CTX_S* ctx)
{
    mbedtls_md5_init(&ctx->ctx);
    mbedtls_md5_starts_ret(&ctx->ctx);
}

void uni_md5_update(UNI_MD5_CTX_S* ctx, const uint8_t* data, uint32_t len)
{
    if (len != 0) {
        mbedtls_md5_update_ret(&ctx->ctx, data, len);
    }
}

void uni_md5_final(UNI_MD5_CTX_S* ctx, uint8_t digest[UNI_MD5_DIGEST_LEN])
{
    mbedtls_md5_finish_ret(&ctx->ctx, digest);
    mbedtls_md5_free(&ctx->ctx);
}

bool uni_md5_hex_is(const uint8_t* data, uint32_t len, const char* hex)
{
    if (hex == nullptr) {
        return false;
    }
    UNI_MD5_CTX_S ctx;
    uni_md5_init(&ctx);
    uni_md5_update(&ctx, data, len);
    uint8_t digest[UNI_MD5_DIGEST_LEN];
    uni_md5_final(&ctx, digest);
    static const char kHex[] = "0123456789abcdef";
    char own[2 * UNI_MD5_DIGEST_LEN];
    for (size_t i = 0; i < sizeof(digest); ++i) {
        own[2 * i] = kHex[digest[i] >> 4];
        own[2 * i + 1] = kHex[digest[i] & 15];
    }
    return strncmp(own, hex, sizeof(own)) == 0;
}

void uni_sha1_init(UNI_SHA1_CTX_S* ctx)
{
    mbedtls_sha1_init(&ctx->ctx);
    mbedtls_sha1_starts_ret(&ctx->ctx);
}

void uni_sha1_update(UNI_SHA1_CTX_S* ctx, const uint8_t* data, uint32_t len)
{
    if (len != 0) {
        mbedtls_sha1_update_ret(&ctx->ctx, data, len);
    }
}

void uni_sha1_final(uint8_t digest[UNI_SHA1_DIGEST_LEN], UNI_SHA1_CTX_S* ctx)
{
    mbedtls_sha1_finish_ret(&ctx->ctx, digest);
    mbedtls_sha1_free(&ctx->ctx);
}

void uni_hmac_sha1(uint8_t digest[UNI_SHA1_DIGEST_LEN], const uint8_t* key, uint32_t key_len,
                   const uint8_t* data, uint32_t data_len)
{
    uint8_t k[kSha1Block] = {};
    if (key_len > kSha1Block) {
        UNI_SHA1_CTX_S kc;
        uni_sha1_init(&kc);
        uni_sha1_update(&kc, key, key_len);
        uni_sha1_final(k, &kc);
    } else if (key_len != 0) {
        memcpy(k, key, key_len);
    }
    uint8_t pad[kSha1Block];
    for (uint32_t i = 0; i < kSha1Block; ++i) {
        pad[i] = k[i] ^ 0x36;
    }
    uint8_t inner[UNI_SHA1_DIGEST_LEN];
    UNI_SHA1_CTX_S ctx;
    uni_sha1_init(&ctx);
    uni_sha1_update(&ctx, pad, kSha1Block);
    uni_sha1_update(&ctx, data, data_len);
    uni_sha1_final(inner, &ctx);
    for (uint32_t i = 0; i < kSha1Block; ++i) {
        pad[i] = k[i] ^ 0x5C;
    }
    uni_sha1_init(&ctx);
    uni_sha1_update(&ctx, pad, kSha1Block);
    uni_sha1_update(&ctx, inner, UNI_SHA1_DIGEST_LEN);
    uni_sha1_final(digest, &ctx);
}
