// The store context and the file steps shared by the engine's operations (simplekv.cpp) and its
// opening (simplekv_open.cpp). Not for other modules.
#pragma once

#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_base/kv_storge/file/kv_file_io.h"
#include "noxa_base/kv_storge/file/simplekv_format.h"
#include "noxa_base/sys_serv/sys_timer.h"

#include <cstdint>
#include <vector>

#define KV_NAME_LEN 129
#define KV_PATH_MAX_LEN 111  // the longest file name then still fits its field
#define KV_DATA_FILE "noxa_user.db"
#define KV_BAK_FILE "noxa_user.db_bak"
#define KV_KEY_FILE "noxa_enckey.db"
#define KV_JNL_FILE "noxa_user.db_jnl"
#define KV_TMP_FILE "noxa_user.db_tmp"
#define KV_COPY_CHUNK 1024u
#define KV_BACKUP_DELAY_S 60u
#define KV_BACKUP_TIMER_MS 120000u
#define KV_ERR_UPGRADE (-9)
// A key file that cannot be read is tried this often, this far apart (about a second in all).
#define KV_KEY_TRIES 5u
#define KV_KEY_RETRY_MS 250u

struct SIMPLE_KV_S {
    KV_FILE_S* fp;  // data file, opened for update
    char file_name[KV_NAME_LEN];
    char bak_file_name[KV_NAME_LEN];
    char key_file_name[KV_NAME_LEN];
    uint8_t encrypt_key[KV_STORE_KEY_LEN];
    DATA_HD_S* hd;  // the whole header, as committed on disk
    TIMER_ID timer_id;
    uint32_t last_backup;  // monotonic seconds
    MUTEX_HANDLE mutex;
    // The redo journal, the temporary name of every whole-file replacement, the folder.
    char jnl_file_name[KV_NAME_LEN];
    char tmp_file_name[KV_NAME_LEN];
    char dir[KV_NAME_LEN];
    KV_FILE_S* jfp;
    KvFileIo* io;
};

// Exactly len bytes at off; 0 or -1.
int kv_io_read_at(SIMPLE_KV_S* kv, KV_FILE_S* f, uint64_t off, void* buf, uint32_t len);
int kv_io_write_at(SIMPLE_KV_S* kv, KV_FILE_S* f, uint64_t off, const void* buf, uint32_t len);
// -1 when the end cannot be found.
int64_t kv_io_file_size(SIMPLE_KV_S* kv, KV_FILE_S* f);
// Copies src from its start into a temporary file, syncs it and renames it over dest; the folder
// is synced, so dest holds the old or the whole new content at any moment. 0, -2 or -3.
int kv_io_copy_to(SIMPLE_KV_S* kv, KV_FILE_S* src, const char* dest);
// Writes and syncs the journal, then applies it to the data file and syncs that.
// 0, KV_COMMIT_JNL (the data file is untouched) or KV_COMMIT_APPLY.
#define KV_COMMIT_JNL (-1)
#define KV_COMMIT_APPLY (-2)
int kv_journal_and_apply(SIMPLE_KV_S* kv, const std::vector<KV_JNL_REC_S>& recs);
// Removes the journal (a whole-file replacement of the data file makes it stale).
int kv_jnl_remove(SIMPLE_KV_S* kv);
// The header ranges that turn `from` into `to` (to's CRC refreshed): the fixed fields and every
// slot that differs.
std::vector<KV_JNL_REC_S> kv_hd_ranges(const DATA_HD_S& from, DATA_HD_S* to);
// Commits newHd (and the value ranges) as one change; on failure the data file and the header
// buffer stay as before the call (undo: the bytes the value ranges overwrite). 0 or -1.
int kv_change(SIMPLE_KV_S* kv, DATA_HD_S* newHd, std::vector<KV_JNL_REC_S> data,
                std::vector<KV_JNL_REC_S> undo);
// Opening steps (simplekv_open.cpp): key, data file selection, checks, upgrades, fallbacks.
int kv_open_store(SIMPLE_KV_S* kv, const uint8_t* key);
