// AES-128 in ECB and CBC mode, AES-192-CBC, PKCS#7 padding (block 16: always 1..16 bytes added,
// a whole block when the length is already a multiple of 16), and hooks for an AES engine in
// hardware. The block cipher is mbed TLS's.
#pragma once

#include <cstdint>

#define UNI_AES_BLOCK 16

// Entry points that replace the software path of the four AES-128 operations when registered.
struct UNI_AES_HW_ENTRY_S {
    int (*ecb_encrypt)(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key);
    int (*ecb_decrypt)(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key);
    int (*cbc_encrypt)(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out);
    int (*cbc_decrypt)(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out);
};

// The engine's session operations, copied into each hardware context.
struct UNI_AES_HW_CTX_CBS_S {
    int (*open)(void** handle);
    int (*close)(void* handle);
    int (*set_key)(void* handle, const uint8_t* key, uint32_t key_bits);
    int (*set_iv)(void* handle, const uint8_t* iv);
    int (*encrypt)(void* handle, const uint8_t* in, uint32_t len, uint8_t* out);
    int (*decrypt)(void* handle, const uint8_t* in, uint32_t len, uint8_t* out);
};

struct UNI_AES_HW_CTX_S {
    UNI_AES_HW_CTX_CBS_S cbs;
    void* handle;
};

// Whole blocks only: -2 for null pointers or a length that is not a multiple of 16; else 0 or the
// cipher's code.
int uni_aes128_ecb_encrypt(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key);
int uni_aes128_ecb_decrypt(const uint8_t* data, uint32_t len, uint8_t* out, const uint8_t* key);
// The IV is left at the last cipher block, so a stream can go on in the next call.
int uni_aes128_cbc_encrypt(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out);
int uni_aes128_cbc_decrypt(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out);
// 24-byte key; software only.
int uni_aes192_cbc_encrypt(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out);
int uni_aes192_cbc_decrypt(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t* out);

// Pads (PKCS#7) and encrypts into a Malloc'd buffer of the padded length: 0, -2, -3 (memory) or
// the cipher's code (then *out is null).
int uni_aes128_ecb_encode(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len, const uint8_t* key);
// Decrypts into a Malloc'd buffer of len + 1 bytes (NUL at [len]); *out_len is len, the padding
// stays in place: uni_pkcs7_unpad_len gives the plain length.
int uni_aes128_ecb_decode(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len, const uint8_t* key);
int uni_aes128_cbc_decode(const uint8_t* data, uint32_t len, const uint8_t* key, uint8_t* iv, uint8_t** out,
                          uint32_t* out_len);
// The length without the padding; -1 for null, and for a pad that cannot be right (0, above 16,
// above the length, or bytes that differ), as a wrong key gives.
int uni_pkcs7_unpad_len(const uint8_t* data, uint32_t len);
// Frees an encode/decode buffer; -2 for null.
int uni_aes_free(uint8_t* buf);

// Null clears.
int uni_aes_register_hw_entry(const UNI_AES_HW_ENTRY_S* entry);
int uni_aes_register_hw_ctx_cbs(const UNI_AES_HW_CTX_CBS_S* cbs);
// Copies the registered session operations into ctx, opens a session and sets the 128-bit key;
// -1 when an operation is missing or fails (the session is closed again).
int uni_aes_hw_init(UNI_AES_HW_CTX_S* ctx, const uint8_t* key);
// Pads (1..16 bytes) into out and encrypts there through the session: 0 with *out_size the
// padded length; -1 without the encrypt operation or when the padded length exceeds *out_size.
int uni_aes_hw_pkcs7_encrypt(UNI_AES_HW_CTX_S* ctx, const uint8_t* iv, void* reserved, const uint8_t* data,
                             uint32_t len, uint8_t* out, uint32_t* out_size);
int uni_aes_hw_close(UNI_AES_HW_CTX_S* ctx);
