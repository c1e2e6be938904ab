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

// The media key (16 bytes): the stored one. Without one, a fetch that keeps to the wait runs on a
// thread of its own; while no fetch has failed the running fetch is waited for, 5 s at most;
// after a failed one (during its wait and after) -803 at once. 0 or -803.
int cloud_get_enc_key(uint8_t key[16]);
// The stored media key alone: a record of 16 bytes, or of 17 whose last is 0 (the key text with
// its NUL, as other writers keep it). 0; -901 none stored (or the store's error); -803 a record
// of another form.
int cloud_read_enc_key(uint8_t key[16]);
// Asks the cloud for the media key and stores it as 16 bytes, whatever was stored (a key the
// cloud changed). 0; the call's error; -803 for a reply without "encryptKey" or whose key is not
// exactly 16 characters (nothing is stored then); the store's error.
int cloud_fetch_enc_key(uint8_t key[16]);

// Every fetch of the media key, whoever asks, goes through one gate: one fetch at a time, and after
// a failed one the fetches that keep to the wait are refused for 10 s, then twice as long after
// each further failure, up to 10 min; a fetch that brings a key ends the wait.
typedef enum {
    CLOUD_KEY_AT_ONCE = 0,   // whatever the wait (behind a fetch that runs)
    CLOUD_KEY_WHEN_DUE = 1,  // only when the wait has run and no fetch runs; else -803 at once
} CLOUD_KEY_FETCH_E;
// As cloud_fetch_enc_key, through the gate. md5_hex (32 lower-case hex digits, or NULL): the MD5
// the cloud gave of its key; a stored key of that MD5 is taken without a call.
int cloud_fetch_enc_key_for(const char* md5_hex, CLOUD_KEY_FETCH_E when, uint8_t key[16]);
// A fetch that keeps to the wait, on a thread of its own (nothing when one runs or the wait has
// not run); the key it brings is in the store.
void cloud_fetch_enc_key_in_background(void);
// Tests: waits for a running fetch, then forgets the wait.
void cloud_enc_key_fetch_reset(void);

// iv: a 16-character text, or NULL for 16 random hex characters (written back when iv_out is
// not NULL). *out from malloc, released by the caller with free. 0; -2 arguments; -3 memory;
// -803 no usable key.
int cloud_encrypt_pic_with_random_iv(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len,
                                     const char* iv);
// key: the 16-character key text, or NULL for the media key. 0; -2 arguments; -1 a header,
// length or padding that is not right; -3 memory; -803 no usable key.
int cloud_decrypt_pic_with_random_iv(const uint8_t* data, uint32_t len, uint8_t** out, uint32_t* out_len,
                                     const char* key);
