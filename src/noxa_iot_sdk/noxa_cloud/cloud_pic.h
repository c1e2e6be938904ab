// Pictures for object storage: AES-128-CBC (PKCS#7) under the media key kept in "cloud_enc_key",
// behind a 64-byte header: magic "NXPC", u32 version 1, the 16-byte IV, u32 plain length (both
// big-endian), 36 reserved zero bytes. The IV is a 16-character text (the message's "key").
#pragma once

#include <cstdint>

#define CLOUD_PIC_HEAD_LEN 64
#define CLOUD_PIC_IV_LEN 16
#define CLOUD_PIC_VERSION 1
#define CLOUD_ENC_KEY_NAME "cloud_enc_key"
#define CLOUD_PIC_KEY_ERR (-803)

// The media key (16 bytes): the stored one, else fetched from the cloud and stored. 0 or -803.
int cloud_get_enc_key(uint8_t key[16]);
// The stored media key alone: a record of 16 bytes, or of 17 whose last is 0 (the key text with
// its NUL, as other writers keep it). 0; -901 none stored (or the store's error); -803 a record
// of another form.
int cloud_read_enc_key(uint8_t key[16]);
// Asks the cloud for the media key and stores it as 16 bytes, whatever was stored (a key the
// cloud changed). 0; the call's error; -803 for a reply without "encryptKey" or whose key is not
// exactly 16 characters (nothing is stored then); the store's error.
int cloud_fetch_enc_key(uint8_t key[16]);

// iv: a 16-character text, or NULL for 16 random hex characters (written back when iv_out is
// not NULL). *out from malloc, released by the caller with free. 0; -2 arguments; -3 memory;
// -803 no usable key.
int cloud_encrypt_pic_with_random_iv(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len,
                                     const char* iv);
// key: the 16-character key text, or NULL for the media key. 0; -2 arguments; -1 a header,
// length or padding that is not right; -3 memory; -803 no usable key.
int cloud_decrypt_pic_with_random_iv(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len,
                                     const char* key);
