// The storage engine under the persistent settings of the cloud side: one data file
// ("noxa_user.db": a header with up to 512 record slots, then the values, each AES-128-ECB
// encrypted under the store key), its backup ("noxa_user.db_bak") and the key file
// ("noxa_enckey.db"). One store per process; other code reaches it through the kvs_* facade.
//
// A change survives a power cut at any moment: its bytes and its new header go to a redo journal
// ("noxa_user.db_jnl") that is synced before the data file is touched, and the next opening
// replays a whole journal. A reader therefore sees every key with its old or its new value.
#pragma once

#include "noxa_base/kv_storge/file/kv_file_io.h"

#include <cstdint>

// Opens or creates the store in `path` (a folder name that ends with "/", at most 111
// characters). 0, also when open already; -8 key null or not 16 bytes, -1 folder name too long,
// -2 no memory, -3 data file not opened, -4 no memory for the header, -5 header of a new
// database not written, -6 backup timer, -7 mutex.
int simplekv_init(const char* path, const uint8_t* key, uint32_t keyLen);
// Exact-key read into a buffer for simplekv_free_data (the value, its padding and a NUL behind).
// -1 null argument, -2 not open, -3 no such key, -4 memory, -5 read failed or the value does not
// decrypt, -6 CRC mismatch.
int simplekv_read(const char* key, uint8_t** value, uint32_t* len);
// The (index + 1)-th slot in use whose key begins with `key` (case-insensitive); the index moves
// on by one on success. -3 when there is none left.
int simplekv_fuzz_read(const char* key, uint32_t* index, uint8_t** value, uint32_t* len);
// -1 null argument, -2 key of 1,000 characters or more, longer than 32, empty or too long a
// value, -3 not open, -7 the change failed (nothing changed), -100 table full, or the encoder's
// code.
int simplekv_write(const char* key, const void* value, uint32_t len);
// 0 also when the key does not exist; -1 null, -2 not open, else the failed change's code.
int simplekv_delete(const char* key);
int simplekv_fuzz_delete(const char* key);
int simplekv_free_data(uint8_t* data);
// Empties the database. -1 not open.
int simplekv_format(void);
int simplekv_show_status(void);
int simplekv_deinit(void);
// Closes the store for good (no change or backup can reach its files any more) and then removes
// the data file, its journal and its backup; it must be opened again. Callers reach it through
// the facade (kvs_factory), whose mutex keeps the other callers out meanwhile.
int simplekv_factory(void);

// The file access of the engine (null: the board's files). Only while the store is closed.
int simplekv_set_file_io(KvFileIo* io);
