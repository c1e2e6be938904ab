// Writing the unit's small files so that a power cut never leaves one empty or half written.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

// Replaces a unit file whole: the bytes go to "<path>.tmp", which is synced, renamed over the
// path, and the folder is synced, so a power cut at any moment leaves the old content or the new
// one. 0 once the new content is on the storage, or -1 with errno: the old file is then still in
// place and the aside file removed, unless only the folder's sync failed (the new content is in
// place but may not outlive a power cut). The file takes `mode` whatever the one it replaces had:
// the aside file is always made new with it, so a secret is never readable for a moment.
// Writes of one file from several threads take turns (BoardFileLock): each leaves its whole bytes
// in place, and none fails because of another.
int BoardWriteFileWhole(const char* unitPath, const void* data, size_t len, mode_t mode = 0644);

// Holds off every other thread's whole-file write of one file (and every other holder of it),
// so a read, an edit and the write back lose no other writer's change. A thread may take it
// again while it holds it (its own writes go on). The unit names each file by one path; spellings
// that differ only by "." or ".." share the lock.
class BoardFileLock {
public:
    explicit BoardFileLock(const char* unitPath);
    ~BoardFileLock();
    BoardFileLock(const BoardFileLock&) = delete;
    BoardFileLock& operator=(const BoardFileLock&) = delete;

private:
    std::string mKey;
};

// Reads a unit file only when it is a regular file: it is opened without blocking (a FIFO at the
// path would hold the reader for ever) and checked before the first read (a device such as
// /dev/zero would never end), and the read stops after `max` bytes. 0 with at most `max` bytes in
// `text`, `*whole` false when the file held more, and `*mode` its permission bits; or -1 with
// errno (EINVAL when something other than a regular file is at the path).
int BoardReadRegular(const char* unitPath, size_t max, std::string* text, bool* whole = nullptr,
                     mode_t* mode = nullptr);

// fsync(2) of a file the board opened.
int BoardFsync(int fd);
// Syncs a folder, so that renames and new names in it survive a power cut.
int BoardSyncDir(const char* unitDir);
