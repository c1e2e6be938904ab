// The on-disk layout of the key-value database: the data file header with its record slots, the
// key file's byte order, the slot choice of a write and the redo journal. Pure: bytes in, results
// out; the engine (simplekv.cpp) does the file access.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#define KV_MAGIC 0x55AA55AAu
#define KV_VERSION 2u
#define KV_REC_MAX 512u
#define KV_REC_LEN 56u           // one slot on disk
#define KV_HD_FIXED_LEN 28u      // the header's fields before the slots
#define KV_HD_LEN (KV_HD_FIXED_LEN + KV_REC_MAX * KV_REC_LEN)  // 28,700
#define KV_OLD_HD_LEN 2048u      // header size of the oldest layout
#define KV_KEY_FIELD_LEN 36u
#define KV_KEY_MAX_LEN 32u
#define KV_KEY_COPY_LEN 33u      // bounded copy of a key into its field
#define KV_STORE_KEY_LEN 16u
#define KV_DATALEN_MAX 0xFFFFu   // datalen is 16 bits wide

// One record slot.
struct KV_REC_S {
    uint32_t valid;  // 1 in use, 0 deleted (its space may be reused)
    char key[KV_KEY_FIELD_LEN];
    uint32_t size;     // bytes reserved in the file
    uint32_t start;    // file offset of the value
    uint16_t datalen;  // stored (encrypted) length
    uint16_t unused;
    uint32_t crc32;  // of the datalen stored bytes
};

// The data file header, the whole of it kept in memory.
struct DATA_HD_S {
    uint32_t crc32;
    uint32_t version;
    uint32_t wr_count;
    uint32_t data_hd_size;
    uint32_t magic;
    uint32_t mag_rec_max;
    uint32_t mag_rec_cnt;
    KV_REC_S records[KV_REC_MAX];
};

// One slot as it lies on disk.
void kv_rec_encode(const KV_REC_S& rec, uint8_t out[KV_REC_LEN]);

// Bytes of the header in use: the fixed fields and the slots below cnt.
uint32_t kv_hd_used_len(uint32_t cnt);
// The range the header CRC covers, from offset 4.
uint32_t kv_hd_crc_len(uint32_t cnt);
// CRC-32 of a serialised header's range (cnt read from the bytes, at most KV_REC_MAX).
uint32_t kv_hd_calc_crc(const uint8_t* bytes, uint32_t cnt);

// Little-endian field by field: the first len bytes of the serialised header (len up to
// KV_HD_LEN). The CRC field is written as it stands in hd.
void kv_hd_encode(const DATA_HD_S& hd, uint8_t* out, uint32_t len);
// The fixed fields and every slot wholly inside len; the rest of hd is zeroed.
void kv_hd_decode(const uint8_t* in, uint32_t len, DATA_HD_S* hd);
// Serialises the used part of hd with a fresh CRC (also stored back into hd).
std::vector<uint8_t> kv_hd_serialize(DATA_HD_S* hd);
// A new, empty version-2 header.
void kv_hd_init(DATA_HD_S* hd);

// Checks of a version-2 header read from a file of fileSize bytes: 0 or a reason below.
enum {
    KV_HD_OK = 0,
    KV_HD_BAD_MAGIC = -1,
    KV_HD_BAD_SIZE = -2,  // header size, record maximum or count out of bounds
    KV_HD_BAD_CRC = -3,
    KV_HD_BAD_SLOT = -4,  // a slot's key, start or length does not fit the file
};
// Version-1 headers pass too (their values are stored in the clear, of any length).
int kv_hd_check(const uint8_t* raw, uint32_t rawLen, uint64_t fileSize, DATA_HD_S* hd);
// One slot in a file of fileSize bytes: valid 0 or 1, its reservation behind the header and
// inside the file, datalen <= size; in use: a terminated, non-empty key and a value (of whole
// AES blocks when encrypted).
bool kv_rec_sane(const KV_REC_S& rec, uint32_t hdSize, uint64_t fileSize, bool encrypted);
// No two slots below cnt share a byte of their reservations.
bool kv_recs_disjoint(const DATA_HD_S& hd);

// Bytes reserved by a new slot for n stored bytes.
uint32_t kv_reserve_size(uint32_t n);
// Where the next new slot starts: behind the furthest reservation.
uint32_t kv_next_start(const DATA_HD_S& hd);

// The slot a write of n stored bytes under key goes to.
struct KV_WRITE_PLAN_S {
    uint32_t index;
    bool fresh;          // a new slot at mag_rec_cnt (its whole reservation is written)
    int32_t invalidate;  // the key's old slot that was too small, or -1
};
// 0, or -100 when the table is full.
int kv_plan_write(const DATA_HD_S& hd, const char* key, uint32_t n, KV_WRITE_PLAN_S* plan);
// A slot for n stored bytes that no key holds: the first deleted one large enough, else a new
// one. 0 or -100.
int kv_plan_free(const DATA_HD_S& hd, uint32_t n, KV_WRITE_PLAN_S* plan);
// Applies a plan to hd: the slot filled, the old one invalidated, the count grown.
void kv_apply_plan(DATA_HD_S* hd, const KV_WRITE_PLAN_S& plan, const char* key, uint32_t n, uint32_t crc);

// Key matching of reads and deletes: exact, or a case-insensitive prefix.
bool kv_key_match(const KV_REC_S& rec, const char* key, bool fuzzy);

// The key file holds k[((j + 8) mod 16) XOR 1] at position j; the same map restores the key.
void kv_key_file_order(const uint8_t in[KV_STORE_KEY_LEN], uint8_t out[KV_STORE_KEY_LEN]);

// The redo journal: the byte ranges of one change (its value and the header fields and slots
// it alters) under one CRC. Written and synced before the data file is touched, so a change cut
// short by a power loss is replayed whole at the next opening, and a torn journal is ignored.
struct KV_JNL_REC_S {
    uint32_t offset;
    std::vector<uint8_t> bytes;
};
std::vector<uint8_t> kv_jnl_encode(const std::vector<KV_JNL_REC_S>& recs);
// 0 when buf begins with a whole journal; -1 otherwise.
int kv_jnl_decode(const uint8_t* buf, uint32_t len, std::vector<KV_JNL_REC_S>* recs);
// The most a journal of one change can hold: a value, an undone value and every slot.
#define KV_JNL_MAX_LEN (3u * 65536u + 2u * KV_HD_LEN)
