// Writing the unit's small files so that a power cut never leaves one empty or half written.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Replaces a unit file whole: the bytes go to "<path>.tmp", which is synced, renamed over the
// path, and the folder is synced, so a power cut at any moment leaves the old content or the new
// one. 0 once the new content is on the storage, or -1 with errno: the old file is then still in
// place and the aside file removed, unless only the folder's sync failed (the new content is in
// place but may not outlive a power cut). The file takes `mode` whatever the one it replaces had:
// the aside file is always made new with it, so a secret is never readable for a moment.
int BoardWriteFileWhole(const char* unitPath, const void* data, size_t len, mode_t mode = 0644);

// fsync(2) of a file the board opened.
int BoardFsync(int fd);
// Syncs a folder, so that renames and new names in it survive a power cut.
int BoardSyncDir(const char* unitDir);
