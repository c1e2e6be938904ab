// MD5, SHA-1 and HMAC-SHA1 (on mbed TLS's implementations).
#pragma once

#include <cstdint>
#include <mbedtls/md5.h>
#include <mbedtls/sha1.h>

#define UNI_MD5_DIGEST_LEN 16
#define UNI_SHA1_DIGEST_LEN 20

// Bit count, state and the 64-byte input block, kept by mbed TLS.
struct UNI_MD5_CTX_S {
    mbedtls_md5_context ctx;
};

struct UNI_SHA1_CTX_S {
    mbedtls_sha1_context ctx;
};

void uni_md5_init(UNI_MD5_CTX_S* ctx);
void uni_md5_update(UNI_MD5_CTX_S* ctx, const uint8_t* data, uint32_t len);
void uni_md5_final(UNI_MD5_CTX_S* ctx, uint8_t digest[UNI_MD5_DIGEST_LEN]);
// Whether the MD5 of the data, as 32 lower-case hex digits, is `hex` (the cloud names its keys so).
bool uni_md5_hex_is(const uint8_t* data, uint32_t len, const char* hex);

void uni_sha1_init(UNI_SHA1_CTX_S* ctx);
void uni_sha1_update(UNI_SHA1_CTX_S* ctx, const uint8_t* data, uint32_t len);
// The digest comes first here.
void uni_sha1_final(uint8_t digest[UNI_SHA1_DIGEST_LEN], UNI_SHA1_CTX_S* ctx);

// HMAC-SHA1; a key longer than the 64-byte block is hashed first, as HMAC requires.
void uni_hmac_sha1(uint8_t digest[UNI_SHA1_DIGEST_LEN], const uint8_t* key, uint32_t key_len,
                   const uint8_t* data, uint32_t data_len);
