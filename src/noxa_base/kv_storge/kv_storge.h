// The key-value store of the cloud side: the one road to persistent settings. Keys are texts of
// at most 32 characters, values opaque bytes. Every call runs under one facade mutex (taken
// before the engine's own); a write that would store what is stored already writes nothing.
#pragma once

#include <cstdint>

// Not found: the key does not exist (reads only).
#define KVS_ERR_NOT_FOUND (-901)

// Opens the store in `path` with the 16-byte store key; 0 also when open already (a second
// call creates nothing). Else the facade mutex's code or the engine's.
int kvs_init(const char* path, const uint8_t* key, uint32_t keyLen);
int kvs_deinit(void);
// 0 with a buffer the caller gives back with kvs_free_data (the value, its padding and a NUL
// behind, so a text stored with its NUL reads back as one); -901 no such key; -1 otherwise.
int kvs_read(const char* key, uint8_t** value, uint32_t* len);
// The (index + 1)-th record whose key begins with `key` (case-insensitive); the index moves on
// by one on success; -901 when none is left.
int kvs_fuzzy_read(const char* key, uint32_t* index, uint8_t** value, uint32_t* len);
// -2 for null.
int kvs_free_data(uint8_t* data);
// The engine's code as it stands (0, -1, -2, -3, -7, -100 or an encoder code).
int kvs_write(const char* key, const void* value, uint32_t len);
int kvs_delete(const char* key);
int kvs_fuzzy_delete(const char* key);
int kvs_format(void);
// A factory reset: the store is closed before its data, journal and backup files are removed, so
// no write can bring an old record back; every later call fails as before kvs_init (which opens
// it again, empty). -1 when it was not open.
int kvs_factory(void);
