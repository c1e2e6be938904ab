#include "noxa_base/kv_storge/file/simplekv.h"

#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/hash_crc32.h"
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/file/simplekv_internal.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The largest value whose padded form still fits the 16-bit datalen.
constexpr uint32_t kValueMax = KV_DATALEN_MAX - KV_DATALEN_MAX % UNI_AES_BLOCK - 1;
// Keys this long are refused before they are even measured against the slot field.
constexpr size_t kKeyRefuseLen = 1000;

std::atomic<SIMPLE_KV_S*> s_kv{nullptr};
KvFileIo* s_io = nullptr;

// An encode/decode buffer of the AES routines.
struct AesBuf {
    uint8_t* p = nullptr;
    ~AesBuf() { uni_aes_free(p); }
};

int __jnl_write(SIMPLE_KV_S* kv, const std::vector<uint8_t>& bytes)
{
    KvFileIo* io = kv->io;
    if (kv->jfp == nullptr) {
        bool exists = io->Access(kv->jnl_file_name) == 0;
        kv->jfp = io->Open(kv->jnl_file_name, exists ? "rb+" : "wb+");
        if (kv->jfp == nullptr) {
            PR_DEBUG("file open failed [%s]", kv->jnl_file_name);
            return -1;
        }
        // The journal's name must be durable before the data file relies on it.
        if (io->SyncDir(kv->dir) != 0) {
            io->Close(kv->jfp);
            kv->jfp = nullptr;
            return -1;
        }
    }
    if (kv_io_write_at(kv, kv->jfp, 0, bytes.data(), static_cast<uint32_t>(bytes.size())) != 0 ||
        io->Flush(kv->jfp) != 0 || io->Fsync(kv->jfp) != 0) {
        return -1;
    }
    return 0;
}

void __close_files(SIMPLE_KV_S* kv)
{
    if (kv->fp != nullptr) {
        kv->io->Close(kv->fp);
        kv->fp = nullptr;
    }
    if (kv->jfp != nullptr) {
        kv->io->Close(kv->jfp);
        kv->jfp = nullptr;
    }
}

void __free_ctx(SIMPLE_KV_S* kv)
{
    if (kv->timer_id != 0) {
        // Waits for a backup that is running on the timer thread.
        sys_delete_timer(kv->timer_id);
    }
    if (kv->mutex != nullptr) {
        ReleaseMutex(kv->mutex);
    }
    __close_files(kv);
    delete kv->hd;
    delete kv;
}

int __user_data_backup(SIMPLE_KV_S* kv)
{
    uint32_t now = 0;
    uni_get_system_time(&now, nullptr);
    if (now - kv->last_backup < KV_BACKUP_DELAY_S) {
        PR_DEBUG("curr:%u last:%u <= delay. start backup timer", now, kv->last_backup);
        sys_start_timer(kv->timer_id, KV_BACKUP_TIMER_MS, TIMER_ONCE);
        return 0;
    }
    PR_DEBUG("curr:%u last:%u >= delay.start backup && stop backup timer", now, kv->last_backup);
    sys_stop_timer(kv->timer_id);
    int ret = kv_io_copy_to(kv, kv->fp, kv->bak_file_name);
    if (ret != 0) {
        // The old backup stays whole; try again later.
        PR_DEBUG("backup fails %d", ret);
        sys_start_timer(kv->timer_id, KV_BACKUP_TIMER_MS, TIMER_ONCE);
        return ret;
    }
    PR_DEBUG("backup normal file to bak success");
    kv->last_backup = now;
    return 0;
}

void __backup_timer_cb(TIMER_ID timerID, void* arg)
{
    (void)timerID;
    auto* kv = static_cast<SIMPLE_KV_S*>(arg);
    PR_DEBUG("backup timer called. backup file -->>");
    {
        UniMutexGuard lock(kv->mutex);
        __user_data_backup(kv);
    }
    PR_DEBUG("backup timer called. backup file <<--");
}

void __show_status(SIMPLE_KV_S* kv)
{
    const DATA_HD_S& hd = *kv->hd;
    PR_DEBUG("file path:%s", kv->file_name);
    PR_DEBUG("bak file path:%s", kv->bak_file_name);
    PR_DEBUG("crc32:%d", hd.crc32);
    PR_DEBUG("version:%d", hd.version);
    PR_DEBUG("wr_count:%d", hd.wr_count);
    PR_DEBUG("data_hd_size:%d", hd.data_hd_size);
    PR_DEBUG("magic:0x%X", hd.magic);
    PR_DEBUG("mag_rec_max:%d", hd.mag_rec_max);
    PR_DEBUG("mag_rec_cnt:%d", hd.mag_rec_cnt);
    PR_DEBUG("index\t\t valid\t\t key\t\t size\t\t start\t\t datalen\t\t crc32");
    for (uint32_t i = 0; i < hd.mag_rec_cnt; ++i) {
        const KV_REC_S& r = hd.records[i];
        PR_DEBUG("%d\t\t %d\t\t %.36s\t\t %u\t\t 0x%X\t\t %d\t\t %d", i, r.valid, r.key, r.size, r.start, r.datalen,
                 r.crc32);
    }
}

int __read_kv(SIMPLE_KV_S* kv, const char* key, bool fuzzy, uint32_t skip, uint8_t** value, uint32_t* len)
{
    if (strlen(key) > KV_KEY_MAX_LEN) {
        return -2;
    }
    PR_DEBUG("read key:%s isFuzzy:%d skipCnt:%d", key, fuzzy, skip);
    const DATA_HD_S& hd = *kv->hd;
    int found = -1;
    uint32_t count = 0;
    for (uint32_t i = 0; i < hd.mag_rec_cnt; ++i) {
        const KV_REC_S& r = hd.records[i];
        if (r.valid == 0 || !kv_key_match(r, key, fuzzy)) {
            continue;
        }
        if (fuzzy) {
            PR_DEBUG("Fuzzy Find %s %s %d and skipIdx:%d", key, r.key, count, skip);
            if (count++ != skip) {
                continue;
            }
        }
        found = static_cast<int>(i);
        break;
    }
    if (found < 0) {
        PR_DEBUG("no key find");
        return -3;
    }
    const KV_REC_S& r = hd.records[found];
    PR_DEBUG("find key:%d %s", found, r.key);
    std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[r.datalen]);
    if (!raw) {
        PR_DEBUG("malloc failed %d", r.datalen);
        return -4;
    }
    if (kv_io_read_at(kv, kv->fp, r.start, raw.get(), r.datalen) != 0) {
        PR_DEBUG("read data fails %d %d", r.start, r.datalen);
        return -5;
    }
    uint32_t crc = hash_crc32(raw.get(), r.datalen);
    if (crc != r.crc32) {
        PR_DEBUG("data crc32 check fails %u %u", crc, r.crc32);
        return -6;
    }
    PR_DEBUG("key:%s find value.Len:%d", key, r.datalen);
    AesBuf dec;
    uint32_t decLen = 0;
    int ret = uni_aes128_ecb_decode(raw.get(), r.datalen, &dec.p, &decLen, kv->encrypt_key);
    if (ret != 0) {
        PR_DEBUG("aes128_ecb_decode fail. %d", ret);
        return ret;
    }
    // A wrong key or a damaged value shows as a padding that cannot be.
    int plain = uni_pkcs7_unpad_len(dec.p, decLen);
    if (plain < 0) {
        PR_DEBUG("key:%s value does not decrypt", key);
        return -5;
    }
    *value = dec.p;
    *len = static_cast<uint32_t>(plain);
    dec.p = nullptr;
    return 0;
}

int __write_kv(SIMPLE_KV_S* kv, const char* key, const void* value, uint32_t len)
{
    if (key[0] == '\0' || strlen(key) > KV_KEY_MAX_LEN || len == 0 || len > kValueMax) {
        PR_DEBUG("write kv %s fail!!", key);
        return -2;
    }
    AesBuf enc;
    uint32_t n = 0;
    int ret = uni_aes128_ecb_encode(static_cast<const uint8_t*>(value), len, &enc.p, &n, kv->encrypt_key);
    if (ret != 0) {
        PR_DEBUG("aes128_ecb_encode fail:%d", ret);
        return ret;
    }
    PR_DEBUG("write key:%s And Value Len:%d", key, len);
    KV_WRITE_PLAN_S plan{};
    if (kv_plan_write(*kv->hd, key, n, &plan) != 0) {
        __show_status(kv);
        return -100;
    }
    const KV_REC_S old = kv->hd->records[plan.index];
    std::vector<KV_JNL_REC_S> undo;
    if (!plan.fresh && old.valid == 1) {
        // The key's own value is rewritten in place: keep what it overwrites, for the undo.
        std::vector<uint8_t> prev(old.datalen);
        if (kv_io_read_at(kv, kv->fp, old.start, prev.data(), old.datalen) != 0) {
            PR_DEBUG("read data fails %d %d", old.start, old.datalen);
            return -7;
        }
        undo.push_back({old.start, std::move(prev)});
    }
    auto newHd = std::make_unique<DATA_HD_S>(*kv->hd);
    kv_apply_plan(newHd.get(), plan, key, n, hash_crc32(enc.p, n));
    newHd->wr_count++;
    const KV_REC_S& rec = newHd->records[plan.index];
    std::vector<uint8_t> bytes(enc.p, enc.p + n);
    if (plan.fresh) {
        PR_DEBUG("new space. seek to end and write zero");
        bytes.resize(rec.size, 0);
    } else {
        PR_DEBUG("find %d available space", plan.index);
        PR_DEBUG("reuse available space %u", rec.start);
    }
    __user_data_backup(kv);
    std::vector<KV_JNL_REC_S> data;
    data.push_back({rec.start, std::move(bytes)});
    if (kv_change(kv, newHd.get(), std::move(data), std::move(undo)) != 0) {
        PR_DEBUG("write kv %s fail!!", key);
        return -7;
    }
    PR_DEBUG("write success");
    return 0;
}

int __delete_kv(SIMPLE_KV_S* kv, const char* key, bool fuzzy)
{
    if (strlen(key) > KV_KEY_MAX_LEN) {
        return -1;
    }
    uint32_t cnt = kv->hd->mag_rec_cnt;
    PR_DEBUG("delete key:%s isFuzzy:%d", key, fuzzy);
    PR_DEBUG("cnt:%d delete bit arr len:%d", cnt, (cnt + 31) / 32);
    auto newHd = std::make_unique<DATA_HD_S>(*kv->hd);
    std::vector<uint32_t> marks((cnt + 31) / 32);
    uint32_t hits = 0;
    for (uint32_t i = 0; i < cnt; ++i) {
        KV_REC_S& r = newHd->records[i];
        if (r.valid == 0 || !kv_key_match(r, key, fuzzy)) {
            continue;
        }
        if (fuzzy) {
            marks[i / 32] |= 1u << (i % 32);
            PR_DEBUG("fuzzy del find %d %s And set Arr[%d]=0x%X", i, r.key, i / 32, marks[i / 32]);
            PR_DEBUG("Delete key:%d %s", i, r.key);
        } else {
            PR_DEBUG("delete key find %d", i);
            PR_DEBUG("Delete key:%s %d success", key, i);
        }
        // Every slot of the key: a damaged header may name it twice, and the other slot would
        // bring the deleted key back.
        r.valid = 0;
        ++hits;
    }
    if (hits == 0) {
        PR_DEBUG("key:%s not find", key);
        return 0;
    }
    newHd->wr_count++;
    __user_data_backup(kv);
    if (kv_change(kv, newHd.get(), {}, {}) != 0) {
        PR_DEBUG("write header fails");
        PR_DEBUG("Delete FAIL");
        return -2;
    }
    PR_DEBUG("Delete success");
    return 0;
}

// The open store, or null with "not inited" logged.
SIMPLE_KV_S* __store(void)
{
    SIMPLE_KV_S* kv = s_kv.load();
    if (kv == nullptr) {
        PR_DEBUG("not inited");
    }
    return kv;
}

int __read_entry(const char* key, bool fuzzy, uint32_t* index, uint8_t** value, uint32_t* len)
{
    if (key == nullptr || value == nullptr || len == nullptr || (fuzzy && index == nullptr)) {
        return -1;
    }
    SIMPLE_KV_S* kv = __store();
    if (kv == nullptr) {
        return -2;
    }
    UniMutexGuard lock(kv->mutex);
    int ret = __read_kv(kv, key, fuzzy, fuzzy ? *index : 0, value, len);
    if (ret == 0 && fuzzy) {
        ++*index;
    }
    return ret;
}

int __delete_entry(const char* key, bool fuzzy)
{
    if (key == nullptr) {
        return -1;
    }
    SIMPLE_KV_S* kv = __store();
    if (kv == nullptr) {
        return -2;
    }
    UniMutexGuard lock(kv->mutex);
    return __delete_kv(kv, key, fuzzy);
}

}  // namespace

int kv_io_read_at(SIMPLE_KV_S* kv, KV_FILE_S* f, uint64_t off, void* buf, uint32_t len)
{
    if (f == nullptr || kv->io->Seek(f, static_cast<int64_t>(off), SEEK_SET) != static_cast<int64_t>(off)) {
        return -1;
    }
    return kv->io->Read(f, buf, len) == static_cast<int64_t>(len) ? 0 : -1;
}

int kv_io_write_at(SIMPLE_KV_S* kv, KV_FILE_S* f, uint64_t off, const void* buf, uint32_t len)
{
    if (f == nullptr || kv->io->Seek(f, static_cast<int64_t>(off), SEEK_SET) != static_cast<int64_t>(off)) {
        return -1;
    }
    return kv->io->Write(f, buf, len) == static_cast<int64_t>(len) ? 0 : -1;
}

int64_t kv_io_file_size(SIMPLE_KV_S* kv, KV_FILE_S* f)
{
    return f == nullptr ? -1 : kv->io->Seek(f, 0, SEEK_END);
}

int kv_io_copy_to(SIMPLE_KV_S* kv, KV_FILE_S* src, const char* dest)
{
    KvFileIo* io = kv->io;
    KV_FILE_S* out = io->Open(kv->tmp_file_name, "wb");
    if (out == nullptr) {
        PR_DEBUG("open back file fails %s", kv->tmp_file_name);
        return -3;
    }
    std::vector<uint8_t> chunk(KV_COPY_CHUNK);
    int ret = src != nullptr && io->Seek(src, 0, SEEK_SET) == 0 ? 0 : -2;
    while (ret == 0) {
        int64_t n = io->Read(src, chunk.data(), KV_COPY_CHUNK);
        if (n <= 0) {
            ret = n < 0 ? -2 : 0;
            break;
        }
        // A copy with a gap is worse than the old one: stop and keep that.
        if (io->Write(out, chunk.data(), static_cast<uint32_t>(n)) != n) {
            PR_DEBUG("fwrite failed [%d]", static_cast<int>(n));
            ret = -2;
        }
    }
    if (ret == 0 && (io->Flush(out) != 0 || io->Fsync(out) != 0)) {
        ret = -2;
    }
    if (io->Close(out) != 0 && ret == 0) {
        ret = -2;
    }
    if (ret == 0 && io->Rename(kv->tmp_file_name, dest) != 0) {
        ret = -2;
    }
    if (ret != 0) {
        io->Remove(kv->tmp_file_name);
        return ret;
    }
    return io->SyncDir(kv->dir) == 0 ? 0 : -2;
}

int kv_journal_and_apply(SIMPLE_KV_S* kv, const std::vector<KV_JNL_REC_S>& recs)
{
    if (__jnl_write(kv, kv_jnl_encode(recs)) != 0) {
        PR_DEBUG("write journal fails");
        return KV_COMMIT_JNL;
    }
    for (const auto& r : recs) {
        if (kv_io_write_at(kv, kv->fp, r.offset, r.bytes.data(), static_cast<uint32_t>(r.bytes.size())) != 0) {
            PR_DEBUG("write head fails %d len[%u]", -2, static_cast<uint32_t>(r.bytes.size()));
            return KV_COMMIT_APPLY;
        }
    }
    if (kv->io->Flush(kv->fp) != 0 || kv->io->Fsync(kv->fp) != 0) {
        return KV_COMMIT_APPLY;
    }
    return 0;
}

int kv_jnl_remove(SIMPLE_KV_S* kv)
{
    KvFileIo* io = kv->io;
    if (kv->jfp != nullptr) {
        io->Close(kv->jfp);
        kv->jfp = nullptr;
    }
    if (io->Access(kv->jnl_file_name) != 0) {
        return 0;
    }
    if (io->Remove(kv->jnl_file_name) != 0) {
        // Emptied, it can never be replayed either.
        KV_FILE_S* f = io->Open(kv->jnl_file_name, "wb");
        if (f == nullptr) {
            return -1;
        }
        int ret = io->Fsync(f);
        io->Close(f);
        return ret == 0 ? 0 : -1;
    }
    return io->SyncDir(kv->dir) == 0 ? 0 : -1;
}

std::vector<KV_JNL_REC_S> kv_hd_ranges(const DATA_HD_S& from, DATA_HD_S* to)
{
    std::vector<uint8_t> bytes = kv_hd_serialize(to);
    std::vector<KV_JNL_REC_S> out;
    out.push_back({0, std::vector<uint8_t>(bytes.begin(), bytes.begin() + KV_HD_FIXED_LEN)});
    uint8_t old[KV_REC_LEN];
    for (uint32_t i = 0; i < to->mag_rec_cnt; ++i) {
        uint32_t at = kv_hd_used_len(i);
        kv_rec_encode(from.records[i], old);
        if (i < from.mag_rec_cnt && memcmp(old, bytes.data() + at, KV_REC_LEN) == 0) {
            continue;
        }
        KV_JNL_REC_S& last = out.back();
        if (last.offset + last.bytes.size() != at) {
            out.push_back({at, {}});
        }
        out.back().bytes.insert(out.back().bytes.end(), bytes.begin() + at, bytes.begin() + at + KV_REC_LEN);
    }
    return out;
}

int kv_change(SIMPLE_KV_S* kv, DATA_HD_S* newHd, std::vector<KV_JNL_REC_S> data, std::vector<KV_JNL_REC_S> undo)
{
    std::vector<KV_JNL_REC_S> redo = std::move(data);
    std::vector<KV_JNL_REC_S> hd = kv_hd_ranges(*kv->hd, newHd);
    PR_DEBUG("update crc %u", newHd->crc32);
    redo.insert(redo.end(), hd.begin(), hd.end());
    int ret = kv_journal_and_apply(kv, redo);
    if (ret == 0) {
        PR_DEBUG("write head to normal file success");
        *kv->hd = *newHd;
        return 0;
    }
    if (ret == KV_COMMIT_JNL) {
        // The data file is untouched, but the journal may hold the change whole: make it
        // replay nothing, or remove it.
        if (__jnl_write(kv, kv_jnl_encode({})) != 0 && kv_jnl_remove(kv) != 0) {
            PR_DEBUG("journal not cleared: the change may appear at the next opening");
        }
        return -1;
    }
    // Partly applied: write back what it overwrote, through the journal again.
    std::vector<KV_JNL_REC_S> back = kv_hd_ranges(*newHd, kv->hd);
    undo.insert(undo.end(), back.begin(), back.end());
    if (kv_journal_and_apply(kv, undo) != 0) {
        PR_DEBUG("undo fails: the journal decides at the next opening");
    }
    return -1;
}

int simplekv_init(const char* path, const uint8_t* key, uint32_t keyLen)
{
    if (s_kv.load() != nullptr) {
        PR_DEBUG("has inited");
        return 0;
    }
    if (key == nullptr || keyLen != KV_STORE_KEY_LEN) {
        PR_DEBUG("encrypt_key_len:%d or key is invalid.", keyLen);
        return -8;
    }
    PR_DEBUG("path:%s", path != nullptr ? path : "");
    if (path == nullptr || strlen(path) > KV_PATH_MAX_LEN) {
        PR_DEBUG("path %s invalid", path != nullptr ? path : "");
        return -1;
    }
    auto* kv = new (std::nothrow) SIMPLE_KV_S{};
    if (kv == nullptr) {
        PR_DEBUG("malloc fail");
        return -2;
    }
    snprintf(kv->file_name, KV_NAME_LEN, "%s%s", path, KV_DATA_FILE);
    snprintf(kv->bak_file_name, KV_NAME_LEN, "%s%s", path, KV_BAK_FILE);
    snprintf(kv->key_file_name, KV_NAME_LEN, "%s%s", path, KV_KEY_FILE);
    snprintf(kv->jnl_file_name, KV_NAME_LEN, "%s%s", path, KV_JNL_FILE);
    snprintf(kv->tmp_file_name, KV_NAME_LEN, "%s%s", path, KV_TMP_FILE);
    snprintf(kv->dir, KV_NAME_LEN, "%s", path[0] != '\0' ? path : ".");
    kv->io = s_io != nullptr ? s_io : kv_board_file_io();
    // A unit whose store folder was lost starts with an empty store rather than stay offline.
    if (kv->io->MakeDirs(kv->dir) != 0) {
        PR_ERR("store folder %s not made", kv->dir);
    }

    int ret = kv_open_store(kv, key);
    if (ret == 0) {
        // Far enough back that the first change is backed up at once.
        kv->last_backup = static_cast<uint32_t>(-160);
        system_timer_init();
        int r = sys_add_timer(__backup_timer_cb, kv, &kv->timer_id);
        if (r != 0) {
            PR_DEBUG("sys_add_timer error:%d", r);
            ret = -6;
        }
    }
    if (ret == 0) {
        int r = CreateMutexAndInit(&kv->mutex);
        if (r != 0) {
            PR_DEBUG("CreateMutexAndInit error:%d", r);
            ret = -7;
        }
    }
    if (ret != 0) {
        __free_ctx(kv);
        return ret;
    }
    s_kv.store(kv);
    PR_DEBUG("init from normal file success.");
    return 0;
}

int simplekv_read(const char* key, uint8_t** value, uint32_t* len)
{
    return __read_entry(key, false, nullptr, value, len);
}

int simplekv_fuzz_read(const char* key, uint32_t* index, uint8_t** value, uint32_t* len)
{
    return __read_entry(key, true, index, value, len);
}

int simplekv_write(const char* key, const void* value, uint32_t len)
{
    if (key == nullptr || value == nullptr) {
        return -1;
    }
    if (strnlen(key, kKeyRefuseLen) >= kKeyRefuseLen) {
        return -2;
    }
    SIMPLE_KV_S* kv = __store();
    if (kv == nullptr) {
        return -3;
    }
    UniMutexGuard lock(kv->mutex);
    return __write_kv(kv, key, value, len);
}

int simplekv_delete(const char* key)
{
    return __delete_entry(key, false);
}

int simplekv_fuzz_delete(const char* key)
{
    return __delete_entry(key, true);
}

int simplekv_free_data(uint8_t* data)
{
    return uni_aes_free(data) == 0 ? 0 : -1;
}

int simplekv_format(void)
{
    SIMPLE_KV_S* kv = __store();
    if (kv == nullptr) {
        return -1;
    }
    UniMutexGuard lock(kv->mutex);
    PR_DEBUG("format");
    auto newHd = std::make_unique<DATA_HD_S>(*kv->hd);
    newHd->magic = KV_MAGIC;
    newHd->version = KV_VERSION;
    newHd->mag_rec_cnt = 0;
    newHd->wr_count = 1;
    __user_data_backup(kv);
    if (kv_change(kv, newHd.get(), {}, {}) != 0) {
        PR_DEBUG("format fail %d", -2);
        return -2;
    }
    PR_DEBUG("format success");
    return 0;
}

int simplekv_show_status(void)
{
    SIMPLE_KV_S* kv = __store();
    if (kv == nullptr) {
        return -1;
    }
    UniMutexGuard lock(kv->mutex);
    __show_status(kv);
    return 0;
}

int simplekv_deinit(void)
{
    SIMPLE_KV_S* kv = s_kv.exchange(nullptr);
    if (kv == nullptr) {
        PR_DEBUG("not inited");
        return 0;
    }
    __free_ctx(kv);
    return 0;
}

int simplekv_factory(void)
{
    // Out of reach first, then its backup timer gone (a backup running on the timer thread ends
    // first), and only then its files removed: a change or a backup after the removal would write
    // the old records back from the open files.
    SIMPLE_KV_S* kv = s_kv.exchange(nullptr);
    if (kv == nullptr) {
        PR_DEBUG("not inited");
        return -1;
    }
    if (kv->timer_id != 0) {
        sys_delete_timer(kv->timer_id);
        kv->timer_id = 0;
    }
    int ret = 0;
    {
        UniMutexGuard lock(kv->mutex);
        KvFileIo* io = kv->io;
        __close_files(kv);
        kv_jnl_remove(kv);
        // The backup goes first: a data file without a backup is never taken for a newer one.
        if (io->Access(kv->bak_file_name) == 0 && (ret = io->Remove(kv->bak_file_name)) != 0) {
            PR_DEBUG("remove %s fail %d", kv->bak_file_name, ret);
        } else if ((ret = io->Remove(kv->file_name)) != 0) {
            PR_DEBUG("remove %s fail %d", kv->file_name, ret);
        }
        io->SyncDir(kv->dir);
    }
    // The facade's mutex keeps every other caller out of the engine meanwhile.
    __free_ctx(kv);
    return ret == 0 ? 0 : -1;
}

int simplekv_set_file_io(KvFileIo* io)
{
    if (s_kv.load() != nullptr) {
        return -1;
    }
    s_io = io;
    return 0;
}
