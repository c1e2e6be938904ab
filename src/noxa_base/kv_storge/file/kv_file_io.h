// The file access of the key-value engine, as one small interface: every open, read, write,
// seek, flush, fsync, rename and removal of the store goes through it, so a test can fail any
// one of them or cut the power there. The default acts on the board's files.
#pragma once

#include <cstdint>

struct KV_FILE_S;  // an open file of an interface

class KvFileIo {
public:
    virtual ~KvFileIo() = default;
    // fopen modes ("rb", "rb+", "wb", "wb+"); null on failure.
    virtual KV_FILE_S* Open(const char* path, const char* mode) = 0;
    virtual int Close(KV_FILE_S* f) = 0;
    // Bytes moved (fewer at the end of the file or on a failure), -1 when none could be.
    virtual int64_t Read(KV_FILE_S* f, void* buf, uint32_t len) = 0;
    virtual int64_t Write(KV_FILE_S* f, const void* buf, uint32_t len) = 0;
    // The new position, or -1.
    virtual int64_t Seek(KV_FILE_S* f, int64_t offset, int whence) = 0;
    // Hands buffered bytes to the system.
    virtual int Flush(KV_FILE_S* f) = 0;
    // Makes the file's bytes durable.
    virtual int Fsync(KV_FILE_S* f) = 0;
    virtual int Rename(const char* from, const char* to) = 0;
    virtual int Remove(const char* path) = 0;
    // 0 when the file exists and may be read and written.
    virtual int Access(const char* path) = 0;
    // 1 the name exists, 0 it does not, -1 no answer now (an I/O error, no memory). The
    // default takes Access's word for it.
    virtual int Exists(const char* path);
    // Makes creations, renames and removals in the folder durable.
    virtual int SyncDir(const char* dir) = 0;
    // Waits before a file access is tried again.
    virtual void Pause(uint32_t ms);
    // Makes the folder and the ones above it where missing: 0, or -1 when one cannot be made.
    // The default has none to make (a store in memory).
    virtual int MakeDirs(const char* dir);
};

// The board's files (unit paths through the board seam).
KvFileIo* kv_board_file_io(void);
