// Media that leaves for the cloud (cloud-storage slices, video messages, pictures, the gateway
// stream) is AES-128-CBC with PKCS#7 padding under the device's media key, which the cloud hands
// out. Here: the two AES routines everything calls, and the encryptor, which keeps the media key
// (the store's "cloud_enc_key", through the cloud core's key routines) and encrypts under a fresh
// random IV per call.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#define NOXA_ENC_KEY_LEN 16
#define NOXA_ENC_IV_LEN 16

// Copies in to out, adds 1..16 bytes of PKCS#7 padding (a whole block for a length that is a
// multiple of 16) and encrypts there: out holds len + 16 bytes, *out_len is the padded length.
// The caller's IV is left as it was. 0; -2 for a NULL argument ("parameter error") or a key the
// cipher refuses.
int OpensslAES_CBC128_encrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len,
                              const uint8_t key[NOXA_ENC_KEY_LEN], const uint8_t iv[NOXA_ENC_IV_LEN]);
// Decrypts len bytes into out (len bytes) and drops the padding from *out_len. 0; -2 as above;
// -1 ("have some error") for a length that is 0 or not whole blocks, and for a last byte that
// cannot be padding (0, above 16). The other padding bytes are not looked at.
int OpensslAES_CBC128_decrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len,
                              const uint8_t key[NOXA_ENC_KEY_LEN], const uint8_t iv[NOXA_ENC_IV_LEN]);

// The encryptor's operations, in their slot order.
struct NOXA_ENCRYPTOR_OPS_S {
    int (*Encrypt)(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, char iv_out[NOXA_ENC_IV_LEN]);
    int (*Decrypt)(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len,
                   const char iv[NOXA_ENC_IV_LEN]);
    int (*AesCbc128Encrypt)(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, const uint8_t* key,
                            const uint8_t* iv);
    int (*CheckAndUpdateEncKey)(const char* md5_hex);
};

// The one encryptor. The key is read and written only under the lock.
struct NOXA_ENCRYPTOR_S {
    std::atomic<uint32_t> inited{0};   // 1 once a key was obtained
    std::atomic<uint32_t> has_key{0};  // 1 while the key text is valid
    char key[24] = {};                 // 16 characters and a NUL
    NOXA_ENCRYPTOR_OPS_S ops = {};
    std::mutex lock;
};

// The media key comes from the store, else from the cloud's secret API through the key module's
// gate (cloud_fetch_enc_key_for): one fetch at a time, never under the lock a frame takes; after a
// failed fetch the automatic ones and CheckEncKeyWhenDue wait 10 s, doubling up to 10 min, while
// the explicit ones (CheckAndUpdateEncKey, UpdateEncryptInfo) ask at once.

// The encryptor (never NULL). Until a key is obtained each call tries again: the stored key, else
// the cloud's on this thread when a fetch is due and none runs.
NOXA_ENCRYPTOR_S* GetEncryptorInstance();
// Encrypts under the media key and a random IV of 16 hex characters, written to iv_out. out holds
// len + 16 bytes. 0, or -1 (no key, no IV, a cipher failure). Without a key it fails at once and a
// due fetch starts in the background.
int Encrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, char iv_out[NOXA_ENC_IV_LEN]);
// Decrypts under the media key and the given IV. 0, or -1 (no key, as Encrypt; refused ciphertext).
int Decrypt(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, const char iv[NOXA_ENC_IV_LEN]);
// Compares the key's MD5 (32 lower-case hex digits) with the cloud's; a mismatch, or no key, asks
// the cloud for the key again at once. 0 when it matched; else the fetch's result; -1 when the
// encryptor had no key and the fetch failed.
int CheckAndUpdateEncKey(const char* md5_hex);
// As CheckAndUpdateEncKey, but the cloud is asked only when the wait after a failed fetch has run
// and no fetch runs; else the result is at once -1 (no key) or -803 (the key differs).
int CheckEncKeyWhenDue(const char* md5_hex);
// Asks the cloud for the media key at once and stores it. 0; -803 for a missing or wrong-length
// key; the cloud call's error.
int UpdateEncryptInfo();
// Forgets the key held in memory and the wait (tests: the next call starts from the store); waits
// for a running fetch.
void noxa_ipc_encrypt_reset(void);
