// Opening the store: the store key, the choice between data file and backup, the checks, the
// upgrades of the two older layouts and the last resorts (salvage, new database).
#include "noxa_adapter/utilities/hash_crc32.h"
#include "noxa_adapter/utilities/uni_aes.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/file/simplekv_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// What the first bytes of a file say about its layout.
struct KV_LAYOUT_S {
    uint32_t version;
    uint32_t hd_size;
    bool upgrade;  // an older layout: values in the clear or the header too small
};

// Writes the key file through a temporary name, so it is absent or whole at any moment. With no
// key given, a new random one (bytes 0..254, as stored keys always were). 0; -1 nothing in
// place; -2 in place, folder not synced.
int __keyfile_data_restore(SIMPLE_KV_S* kv, const uint8_t* key)
{
    uint8_t k[KV_STORE_KEY_LEN];
    if (key != nullptr) {
        memcpy(k, key, sizeof(k));
    } else if (uni_random_bytes(k, sizeof(k), 0) != 0) {
        PR_DEBUG("random key fails");
        return -1;
    }
    memcpy(kv->encrypt_key, k, sizeof(k));
    uint8_t stored[KV_STORE_KEY_LEN];
    kv_key_file_order(k, stored);
    KvFileIo* io = kv->io;
    KV_FILE_S* f = io->Open(kv->tmp_file_name, "wb");
    if (f == nullptr) {
        PR_DEBUG("file open failed [%s]", kv->tmp_file_name);
        return -1;
    }
    int64_t n = io->Write(f, stored, sizeof(stored));
    int ret = n == static_cast<int64_t>(sizeof(stored)) && io->Flush(f) == 0 && io->Fsync(f) == 0 ? 0 : -1;
    if (n != static_cast<int64_t>(sizeof(stored))) {
        PR_DEBUG("write data fail, ret = %d, size = %u\n", static_cast<int>(n), KV_STORE_KEY_LEN);
    }
    if (io->Close(f) != 0) {
        ret = -1;
    }
    if (ret == 0 && io->Rename(kv->tmp_file_name, kv->key_file_name) != 0) {
        ret = -1;
    }
    if (ret != 0) {
        io->Remove(kv->tmp_file_name);
        return ret;
    }
    return io->SyncDir(kv->dir) == 0 ? 0 : -2;
}

// What reading the key file found.
enum KeyRead { KEY_OK, KEY_ABSENT, KEY_UNREADABLE, KEY_WRONG_SIZE };

// One try at the key file. KEY_UNREADABLE when it exists but an open or a read fails: a passing
// EMFILE, EIO or EINTR says nothing about its content.
KeyRead __read_key_file_once(SIMPLE_KV_S* kv, uint8_t out[KV_STORE_KEY_LEN], const char** why, int* err)
{
    KvFileIo* io = kv->io;
    int exists = io->Exists(kv->key_file_name);
    if (exists == 0) {
        return KEY_ABSENT;
    }
    if (exists < 0) {
        *why = "look";
        *err = errno;
        return KEY_UNREADABLE;
    }
    KV_FILE_S* f = io->Open(kv->key_file_name, "rb");
    if (f == nullptr) {
        *why = "open";
        *err = errno;
        return KEY_UNREADABLE;
    }
    // Up to the end of the file: only a read that ends there tells the file's length.
    uint8_t buf[KV_STORE_KEY_LEN + 1];
    uint32_t got = 0;
    int64_t n = 0;
    while (got < sizeof(buf) && (n = io->Read(f, buf + got, sizeof(buf) - got)) > 0) {
        got += static_cast<uint32_t>(n);
    }
    *err = errno;
    io->Close(f);
    if (n < 0) {
        *why = "read";
        return KEY_UNREADABLE;
    }
    if (got != KV_STORE_KEY_LEN) {
        PR_DEBUG("read db enc key fails");
        return KEY_WRONG_SIZE;
    }
    kv_key_file_order(buf, out);
    return KEY_OK;
}

// The key file, tried again for about a second while it cannot be read.
KeyRead __read_key_file(SIMPLE_KV_S* kv, uint8_t out[KV_STORE_KEY_LEN])
{
    const char* why = "";
    int err = 0;
    KeyRead r = KEY_UNREADABLE;
    for (uint32_t tries = 1; (r = __read_key_file_once(kv, out, &why, &err)) == KEY_UNREADABLE; ++tries) {
        PR_DEBUG("file open failed [%s]: %s fails (%s), try %u", kv->key_file_name, why, strerror(err), tries);
        if (tries == KV_KEY_TRIES) {
            PR_ERR("key file %s cannot be read now (%s: %s): store not opened, no file touched",
                   kv->key_file_name, why, strerror(err));
            break;
        }
        kv->io->Pause(KV_KEY_RETRY_MS);
    }
    return r;
}

// The first name of path + ".lost", ".lost.1", ".lost.2", ... that is certainly free, so a
// store lost before keeps its files; "" when there is none.
std::string __lost_name(SIMPLE_KV_S* kv, const char* path)
{
    std::string name = std::string(path) + ".lost";
    for (uint32_t i = 1; i < 1000; ++i) {
        if (kv->io->Exists(name.c_str()) == 0) {
            return name;
        }
        name = std::string(path) + ".lost." + std::to_string(i);
    }
    return "";
}

// Moves the data file, its journal and backup, and the key file aside under ".lost" names: they
// cannot be read without their key, but they are never deleted. The key file goes last, so a
// cut here leaves it to be found again with whatever is still in place. 0 or -1.
int __set_store_aside(SIMPLE_KV_S* kv)
{
    KvFileIo* io = kv->io;
    int ret = 0;
    for (const char* path : {kv->file_name, kv->jnl_file_name, kv->bak_file_name, kv->key_file_name}) {
        int exists = io->Exists(path);
        if (exists == 0) {
            continue;
        }
        std::string lost = __lost_name(kv, path);
        if (exists < 0 || lost.empty() || io->Rename(path, lost.c_str()) != 0) {
            PR_ERR("rename %s to %s fails", path, lost.c_str());
            ret = -1;
            break;
        }
        PR_ERR("%s kept as %s", path, lost.c_str());
    }
    if (io->SyncDir(kv->dir) != 0) {
        ret = -1;
    }
    return ret;
}

// Whether a file exists, asked again for about a second while there is no answer. 1, 0 or -1.
int __exists(SIMPLE_KV_S* kv, const char* path)
{
    int r = -1;
    for (uint32_t tries = 1; (r = kv->io->Exists(path)) < 0 && tries < KV_KEY_TRIES; ++tries) {
        kv->io->Pause(KV_KEY_RETRY_MS);
    }
    if (r < 0) {
        PR_ERR("cannot tell whether %s exists (%s): store not opened, no file touched", path, strerror(errno));
    }
    return r;
}

// The store key. A new random key only for a new store (neither data file nor backup): values
// on disk must keep the key they were written with. Sets *fresh when the store starts empty,
// else *data and *bak to whether those files exist. 0, or -3 when the key file cannot be read
// now, the files cannot be looked up, or the old store cannot be set aside.
int __update_enc_key(SIMPLE_KV_S* kv, const uint8_t* given, bool* fresh, bool* data, bool* bak)
{
    *fresh = false;
    KeyRead r = __read_key_file(kv, kv->encrypt_key);
    if (r == KEY_UNREADABLE) {
        // Starting anew now would throw away a store that may read fine at the next start.
        PR_DEBUG("get enc key failed");
        return -3;
    }
    if (r == KEY_WRONG_SIZE) {
        // Without its key no value can be decrypted again, and a guessed key would only turn
        // them into garbage: the store is lost. It goes aside before a new key is made, so no
        // later opening can pair the old values with the new key.
        PR_DEBUG("get enc key failed");
        PR_ERR("key file %s not %u bytes: store lost, kept aside, starting a new one", kv->key_file_name,
               KV_STORE_KEY_LEN);
        if (__set_store_aside(kv) != 0) {
            return -3;
        }
    } else {
        // A passing error must not pass for "no store here": that path makes a new one.
        int d = __exists(kv, kv->file_name);
        int b = d < 0 ? -1 : __exists(kv, kv->bak_file_name);
        if (d < 0 || b < 0) {
            return -3;
        }
        *data = d == 1;
        *bak = b == 1;
    }
    if (*data || *bak) {
        if (r == KEY_OK) {
            return 0;
        }
        // A store from before the key file: its values were written under the given key.
        if (__keyfile_data_restore(kv, given) != 0) {
            PR_DEBUG("get enc key failed");
        }
        memcpy(kv->encrypt_key, given, KV_STORE_KEY_LEN);
        return 0;
    }
    *fresh = true;
    if (__keyfile_data_restore(kv, nullptr) == -1) {
        // A random key that is not on disk would be gone at the next start; the given key
        // comes back then, so the new store uses that one.
        PR_DEBUG("get enc key failed");
        memcpy(kv->encrypt_key, given, KV_STORE_KEY_LEN);
    }
    return 0;
}

void __create_data_hd(SIMPLE_KV_S* kv)
{
    PR_DEBUG("size in: %d and final: %d And mag_rec_max: %d", 0, KV_HD_LEN, KV_REC_MAX);
    kv_hd_init(kv->hd);
    PR_DEBUG("create data hd success");
}

// A new, empty database over the data file: the whole header, synced.
int __new_database(SIMPLE_KV_S* kv)
{
    PR_DEBUG("init NEW normal file");
    kv_jnl_remove(kv);
    kv_hd_init(kv->hd);
    kv->hd->wr_count = 1;
    kv_hd_serialize(kv->hd);
    std::vector<uint8_t> bytes(KV_HD_LEN);
    kv_hd_encode(*kv->hd, bytes.data(), KV_HD_LEN);
    if (kv_io_write_at(kv, kv->fp, 0, bytes.data(), KV_HD_LEN) != 0 || kv->io->Flush(kv->fp) != 0 ||
        kv->io->Fsync(kv->fp) != 0 || kv->io->SyncDir(kv->dir) != 0) {
        PR_DEBUG("__write_data_hd error:%d", -2);
        return -5;
    }
    return 0;
}

// Replays a whole journal onto the data file: a change cut short by a power loss completes.
void __replay_journal(SIMPLE_KV_S* kv)
{
    KvFileIo* io = kv->io;
    if (io->Access(kv->jnl_file_name) != 0) {
        return;
    }
    KV_FILE_S* f = io->Open(kv->jnl_file_name, "rb");
    if (f == nullptr) {
        return;
    }
    int64_t size = io->Seek(f, 0, SEEK_END);
    std::vector<uint8_t> buf(static_cast<size_t>(std::clamp<int64_t>(size, 0, KV_JNL_MAX_LEN)));
    bool whole = size > 0 && kv_io_read_at(kv, f, 0, buf.data(), static_cast<uint32_t>(buf.size())) == 0;
    io->Close(f);
    std::vector<KV_JNL_REC_S> recs;
    if (!whole || kv_jnl_decode(buf.data(), static_cast<uint32_t>(buf.size()), &recs) != 0) {
        PR_DEBUG("journal incomplete, ignored");
        return;
    }
    // A change writes inside the file or, for a new slot, right behind its end: nothing else is
    // replayed, so a crafted journal cannot grow the file without bound.
    const int64_t limit = kv_io_file_size(kv, kv->fp) + kv_reserve_size(KV_DATALEN_MAX & ~15u);
    for (const auto& r : recs) {
        if (static_cast<int64_t>(r.offset + r.bytes.size()) > limit) {
            PR_DEBUG("journal range %u beyond the file, ignored", r.offset);
            return;
        }
    }
    // The journal stays after its change is applied: at most openings there is nothing to do,
    // and the flash is not written for it.
    std::vector<uint8_t> cur;
    bool applied = true;
    for (size_t i = 0; i < recs.size() && applied; ++i) {
        cur.resize(recs[i].bytes.size());
        applied = kv_io_read_at(kv, kv->fp, recs[i].offset, cur.data(), static_cast<uint32_t>(cur.size())) == 0 &&
                  cur == recs[i].bytes;
    }
    if (applied) {
        return;
    }
    for (const auto& r : recs) {
        if (kv_io_write_at(kv, kv->fp, r.offset, r.bytes.data(), static_cast<uint32_t>(r.bytes.size())) != 0) {
            PR_DEBUG("journal replay fails at %u", r.offset);
            return;
        }
    }
    if (io->Flush(kv->fp) != 0 || io->Fsync(kv->fp) != 0) {
        PR_DEBUG("journal replay not synced");
        return;
    }
    PR_DEBUG("journal replayed: %u ranges", static_cast<uint32_t>(recs.size()));
}

// The header of an older layout (version 0, or a 2,048-byte header), values where they lie.
int __load_old_header(SIMPLE_KV_S* kv, KV_FILE_S* f, int64_t size, DATA_HD_S* hd, KV_LAYOUT_S* lay)
{
    const uint32_t hdSize = hd->data_hd_size;
    PR_DEBUG("curr db is V0 %d %d. Upgrade to V1", hd->version, hdSize);
    // Bigger headers than today's do not fit the buffer; smaller than the fields are no header.
    if (hdSize < KV_HD_FIXED_LEN || hdSize > KV_HD_LEN || hdSize > size) {
        PR_DEBUG("old header size %u invalid", hdSize);
        return -10;
    }
    std::vector<uint8_t> raw(hdSize);
    if (kv_io_read_at(kv, f, 0, raw.data(), hdSize) != 0) {
        PR_DEBUG("fread error %d %d", 0, hdSize);
        return -10;
    }
    kv_hd_decode(raw.data(), hdSize, hd);
    if (hd->mag_rec_cnt > (hdSize - KV_HD_FIXED_LEN) / KV_REC_LEN) {
        PR_DEBUG("max cnt invalid %d mag_rec_size:%d", hd->mag_rec_cnt, (hdSize - KV_HD_FIXED_LEN) / KV_REC_LEN);
        return -10;
    }
    // Versions 1 and 2 always carried the header CRC; a version-0 header the size of today's is
    // taken only with it, as it is more likely today's layout with a damaged version word.
    if ((hd->version != 0 || hdSize == KV_HD_LEN) &&
        (hd->magic != KV_MAGIC || kv_hd_calc_crc(raw.data(), hd->mag_rec_cnt) != hd->crc32)) {
        PR_DEBUG("__check_hd_valid error");
        return -10;
    }
    for (uint32_t i = 0; i < hd->mag_rec_cnt; ++i) {
        if (!kv_rec_sane(hd->records[i], hdSize, static_cast<uint64_t>(size), hd->version == KV_VERSION)) {
            PR_DEBUG("slot %u out of bounds", i);
            return -10;
        }
    }
    if (!kv_recs_disjoint(*hd)) {
        return -10;
    }
    lay->upgrade = true;
    return 1;
}

// Reads and checks the header of f into hd: 0 current layout, 1 an older layout to upgrade,
// or -4 (too short), -5 (unknown version), -10 (header invalid).
int __load_header(SIMPLE_KV_S* kv, KV_FILE_S* f, DATA_HD_S* hd, KV_LAYOUT_S* lay)
{
    int64_t size = kv_io_file_size(kv, f);
    uint8_t fixed[KV_HD_FIXED_LEN];
    if (size < KV_HD_FIXED_LEN || kv_io_read_at(kv, f, 0, fixed, KV_HD_FIXED_LEN) != 0) {
        PR_DEBUG("fread error %d", static_cast<int>(size));
        return -4;
    }
    kv_hd_decode(fixed, KV_HD_FIXED_LEN, hd);
    lay->version = hd->version;
    lay->hd_size = hd->data_hd_size;
    lay->upgrade = false;
    if (hd->version > KV_VERSION) {
        PR_DEBUG("undefined version %x", hd->version);
        return -5;
    }
    if (hd->version == 0 || hd->data_hd_size == KV_OLD_HD_LEN) {
        return __load_old_header(kv, f, size, hd, lay);
    }
    if (hd->version == 1) {
        PR_DEBUG("curr db is V1 %d %d. Upgrade to V2", hd->version, hd->data_hd_size);
    } else {
        PR_DEBUG("curr db is V2. No need to upgrade");
    }
    uint32_t len = static_cast<uint32_t>(std::min<int64_t>(size, KV_HD_LEN));
    std::vector<uint8_t> raw(len);
    if (kv_io_read_at(kv, f, 0, raw.data(), len) != 0) {
        PR_DEBUG("fread error %d %d", 0, len);
        return -10;
    }
    if (kv_hd_check(raw.data(), len, static_cast<uint64_t>(size), hd) != KV_HD_OK) {
        PR_DEBUG("__check_hd_valid error");
        return -10;
    }
    PR_DEBUG("head check success");
    PR_DEBUG("read and check head success");
    lay->upgrade = hd->version != KV_VERSION;
    return lay->upgrade ? 1 : 0;
}

// Every value in use against its CRC. 0 or -11.
int __check_data_crc32(SIMPLE_KV_S* kv, KV_FILE_S* f, const DATA_HD_S& hd)
{
    std::vector<uint8_t> buf;
    for (uint32_t i = 0; i < hd.mag_rec_cnt; ++i) {
        const KV_REC_S& r = hd.records[i];
        if (r.valid == 0) {
            PR_DEBUG("key [%.36s] is invalid, dont crc check", r.key);
            continue;
        }
        buf.resize(r.datalen);
        if (kv_io_read_at(kv, f, r.start, buf.data(), r.datalen) != 0) {
            PR_DEBUG("read data fails %d %d", r.start, r.datalen);
            PR_DEBUG(" check db data crc failed need restore bak_db");
            return -11;
        }
        uint32_t crc = hash_crc32(buf.data(), r.datalen);
        if (crc != r.crc32) {
            PR_DEBUG("key[%s] data crc32 check fails %u %u", r.key, crc, r.crc32);
            PR_DEBUG(" check db data crc failed need restore bak_db");
            return -11;
        }
    }
    return 0;
}

int __fill(SIMPLE_KV_S* kv, KV_FILE_S* f, uint32_t start, uint32_t size, uint8_t byte)
{
    std::vector<uint8_t> bytes(size, byte);
    return kv_io_write_at(kv, f, start, bytes.data(), size);
}

// Encrypts the values of an upgraded file (they lie in the clear in `out`), each in its slot
// when it fits there, else in a free or a new slot; deleted and vacated areas are overwritten
// with 'X', so no value stays readable in the clear. -9 on failure.
int __encrypt_values(SIMPLE_KV_S* kv, KV_FILE_S* out, DATA_HD_S* nh)
{
    if (nh->mag_rec_cnt == 0) {
        PR_DEBUG("curr element cnt is 0. write header.");
        return 0;
    }
    std::vector<uint32_t> live;
    for (uint32_t i = 0; i < nh->mag_rec_cnt; ++i) {
        const KV_REC_S& r = nh->records[i];
        if (r.valid == 1) {
            live.push_back(i);
        } else if (r.size != 0) {
            PR_DEBUG("Erase Invalid Area: %d %.36s", i, r.key);
            if (__fill(kv, out, r.start, r.size, 'X') != 0) {
                PR_DEBUG("fwrite failed ret[%u] len[%u]", 0, r.size);
                return KV_ERR_UPGRADE;
            }
        }
    }
    for (uint32_t i : live) {
        const KV_REC_S r = nh->records[i];
        PR_DEBUG("Upgrade key:%d %s", i, r.key);
        PR_DEBUG("Upgrade key:%d check is vaild", i);
        std::vector<uint8_t> plain(r.datalen);
        if (kv_io_read_at(kv, out, r.start, plain.data(), r.datalen) != 0 ||
            hash_crc32(plain.data(), r.datalen) != r.crc32) {
            PR_DEBUG("read kv %s fail!!", r.key);
            return KV_ERR_UPGRADE;
        }
        uint8_t* enc = nullptr;
        uint32_t n = 0;
        if (uni_aes128_ecb_encode(plain.data(), r.datalen, &enc, &n, kv->encrypt_key) != 0) {
            PR_DEBUG("write kv %s fail!!", r.key);
            return KV_ERR_UPGRADE;
        }
        std::vector<uint8_t> bytes(enc, enc + n);
        uni_aes_free(enc);
        KV_WRITE_PLAN_S plan{i, false, -1};
        if (n > KV_DATALEN_MAX) {
            PR_DEBUG("write kv %s fail!!", r.key);
            return KV_ERR_UPGRADE;
        }
        if (r.size < n) {
            nh->records[i].valid = 0;
            if (kv_plan_free(*nh, n, &plan) != 0) {
                PR_DEBUG("write kv %s fail!!", r.key);
                return KV_ERR_UPGRADE;
            }
            plan.invalidate = static_cast<int32_t>(i);
        }
        kv_apply_plan(nh, plan, r.key, n, hash_crc32(bytes.data(), n));
        const KV_REC_S& dst = nh->records[plan.index];
        if (plan.fresh) {
            bytes.resize(dst.size, 0);
        }
        if (kv_io_write_at(kv, out, dst.start, bytes.data(), static_cast<uint32_t>(bytes.size())) != 0 ||
            (plan.invalidate >= 0 && __fill(kv, out, r.start, r.size, 'X') != 0)) {
            PR_DEBUG("write kv %s fail!!", r.key);
            return KV_ERR_UPGRADE;
        }
    }
    return 0;
}

// Builds the upgraded store in a temporary file and renames it over the data file, so the old
// file stays whole until the new one is complete: values first, the header (version 2) last.
int __upgrade(SIMPLE_KV_S* kv, const KV_LAYOUT_S& lay)
{
    KvFileIo* io = kv->io;
    int64_t oldSize = kv_io_file_size(kv, kv->fp);
    const uint32_t shift = KV_HD_LEN - lay.hd_size;
    auto nh = std::make_unique<DATA_HD_S>();
    kv_hd_init(nh.get());
    nh->wr_count = kv->hd->wr_count;
    nh->mag_rec_cnt = kv->hd->mag_rec_cnt;
    std::copy(kv->hd->records, kv->hd->records + nh->mag_rec_cnt, nh->records);
    if (shift != 0) {
        PR_DEBUG("SIZEOF(DATA_HD_S) is %u,SIZEOF(UINT_T) is %u,size is %u", KV_HD_FIXED_LEN, 4u, lay.hd_size - 24);
        for (uint32_t i = 0; i < nh->mag_rec_cnt; ++i) {
            nh->records[i].start += shift;
            PR_DEBUG("mag_rec:%d start_pos modify, new data_hd_size:%u, old data_hd_size:%u", i, KV_HD_LEN,
                     lay.hd_size);
        }
    }
    // A synced copy of the old file first. The old file itself stays whole until the rename,
    // so a failed copy does not stop the upgrade.
    if (kv_io_copy_to(kv, kv->fp, kv->bak_file_name) != 0) {
        PR_DEBUG("backup before upgrade fails");
    }
    KV_FILE_S* out = io->Open(kv->tmp_file_name, "wb+");
    if (out == nullptr) {
        PR_DEBUG("open file fails %s", kv->tmp_file_name);
        return -8;
    }
    int ret = 0;
    std::vector<uint8_t> chunk(KV_COPY_CHUNK);
    for (int64_t off = lay.hd_size; ret == 0 && off < oldSize; off += KV_COPY_CHUNK) {
        auto n = static_cast<uint32_t>(std::min<int64_t>(KV_COPY_CHUNK, oldSize - off));
        if (kv_io_read_at(kv, kv->fp, off, chunk.data(), n) != 0) {
            PR_DEBUG("fread error");
            ret = -7;
        } else if (kv_io_write_at(kv, out, off + shift, chunk.data(), n) != 0) {
            PR_DEBUG("fwrite error.");
            ret = KV_ERR_UPGRADE;
        }
    }
    if (ret == 0 && lay.version != KV_VERSION) {
        ret = __encrypt_values(kv, out, nh.get());
    }
    if (ret == 0) {
        nh->version = KV_VERSION;
        nh->wr_count++;
        kv_hd_serialize(nh.get());
        std::vector<uint8_t> bytes(KV_HD_LEN);
        kv_hd_encode(*nh, bytes.data(), KV_HD_LEN);
        if (kv_io_write_at(kv, out, 0, bytes.data(), KV_HD_LEN) != 0 || io->Flush(out) != 0 || io->Fsync(out) != 0) {
            PR_DEBUG("__write_data_hd error");
            ret = -8;
        }
    }
    if (io->Close(out) != 0 && ret == 0) {
        ret = -8;
    }
    if (ret == 0) {
        kv_jnl_remove(kv);
        io->Close(kv->fp);
        kv->fp = nullptr;
        if (io->Rename(kv->tmp_file_name, kv->file_name) != 0 || io->SyncDir(kv->dir) != 0) {
            ret = -8;
        }
        kv->fp = io->Open(kv->file_name, "rb+");
        if (kv->fp == nullptr) {
            ret = -8;
        }
    }
    if (ret != 0) {
        io->Remove(kv->tmp_file_name);
        PR_DEBUG("__upgrade_from_V1_to_V2 error %d", ret);
    }
    return ret;
}

// The header and every value of the data file, upgrading older layouts on the way.
int __rd_hd_and_check(SIMPLE_KV_S* kv)
{
    if (kv->fp == nullptr || kv->hd == nullptr) {
        return -1;
    }
    // Each upgrade ends in the current layout, so two rounds always suffice.
    for (int round = 0; round < 3; ++round) {
        KV_LAYOUT_S lay{};
        int ret = __load_header(kv, kv->fp, kv->hd, &lay);
        if (ret < 0) {
            return ret;
        }
        // Damaged values are found before an upgrade could carry them over.
        if (kv->hd->mag_rec_cnt != 0 && (ret = __check_data_crc32(kv, kv->fp, *kv->hd)) != 0) {
            return ret;
        }
        if (!lay.upgrade) {
            return 0;
        }
        if ((ret = __upgrade(kv, lay)) != 0) {
            return ret;
        }
    }
    return KV_ERR_UPGRADE;
}

// A read-only check of a whole file (header and values), as the backup gets before it may
// replace the data file.
int __check_file(SIMPLE_KV_S* kv, const char* path)
{
    KV_FILE_S* f = kv->io->Open(path, "rb");
    if (f == nullptr) {
        return -1;
    }
    auto hd = std::make_unique<DATA_HD_S>();
    KV_LAYOUT_S lay{};
    int ret = __load_header(kv, f, hd.get(), &lay) >= 0 && __check_data_crc32(kv, f, *hd) == 0 ? 0 : -1;
    kv->io->Close(f);
    return ret;
}

// Replaces the data file with the backup (the journal goes first: it belongs to the old file).
int __user_data_restore(SIMPLE_KV_S* kv)
{
    KvFileIo* io = kv->io;
    if (kv_jnl_remove(kv) != 0) {
        return -1;
    }
    KV_FILE_S* bak = io->Open(kv->bak_file_name, "rb");
    if (bak == nullptr) {
        PR_DEBUG("open back file fails %s", kv->bak_file_name);
        return -3;
    }
    int ret = kv_io_copy_to(kv, bak, kv->file_name);
    io->Close(bak);
    if (ret != 0) {
        PR_DEBUG("write failed[%d]", ret);
        return ret;
    }
    if (kv->fp != nullptr) {
        io->Close(kv->fp);
    }
    kv->fp = io->Open(kv->file_name, "rb+");
    if (kv->fp == nullptr) {
        return -3;
    }
    PR_DEBUG("restore bak to normal file success");
    return 0;
}

// The slots of a current-layout file whose values still check, into `keep` (the others
// emptied); `disk` gets the header as it lies. The number kept, or -1.
int __salvage_scan(SIMPLE_KV_S* kv, KV_FILE_S* f, DATA_HD_S* keep, DATA_HD_S* disk)
{
    int64_t size = kv_io_file_size(kv, f);
    if (size < static_cast<int64_t>(KV_HD_LEN) + UNI_AES_BLOCK) {
        return -1;
    }
    std::vector<uint8_t> raw(KV_HD_LEN);
    if (kv_io_read_at(kv, f, 0, raw.data(), KV_HD_LEN) != 0) {
        return -1;
    }
    kv_hd_decode(raw.data(), KV_HD_LEN, disk);
    // Values of the older layouts lie in the clear: nothing to keep as they are.
    if (disk->version == 0 || disk->version == 1) {
        return -1;
    }
    uint32_t cnt = std::min(disk->mag_rec_cnt, KV_REC_MAX);
    kv_hd_init(keep);
    keep->wr_count = disk->wr_count;
    int kept = 0;
    std::vector<uint8_t> buf;
    for (uint32_t i = 0; i < cnt; ++i) {
        const KV_REC_S& r = disk->records[i];
        if (r.valid != 1 || !kv_rec_sane(r, KV_HD_LEN, static_cast<uint64_t>(size), true)) {
            continue;
        }
        bool clash = false;
        for (uint32_t j = 0; j < keep->mag_rec_cnt && !clash; ++j) {
            const KV_REC_S& k = keep->records[j];
            clash = k.valid == 1 && (kv_key_match(k, r.key, false) ||
                                     (r.start < static_cast<uint64_t>(k.start) + k.size &&
                                      k.start < static_cast<uint64_t>(r.start) + r.size));
        }
        buf.resize(r.datalen);
        if (clash || kv_io_read_at(kv, f, r.start, buf.data(), r.datalen) != 0 ||
            hash_crc32(buf.data(), r.datalen) != r.crc32) {
            continue;
        }
        keep->records[i] = r;
        keep->mag_rec_cnt = i + 1;
        ++kept;
    }
    return kept;
}

// Both data file and backup are damaged: keep every value that still checks, from whichever
// of the two keeps more, rather than start empty.
int __salvage(SIMPLE_KV_S* kv)
{
    auto keep = std::make_unique<DATA_HD_S>();
    auto disk = std::make_unique<DATA_HD_S>();
    int fromData = kv->fp != nullptr ? __salvage_scan(kv, kv->fp, keep.get(), disk.get()) : -1;
    int fromBak = -1;
    KV_FILE_S* bak = kv->io->Open(kv->bak_file_name, "rb");
    if (bak != nullptr) {
        fromBak = __salvage_scan(kv, bak, keep.get(), disk.get());
        kv->io->Close(bak);
    }
    if (std::max(fromData, fromBak) <= 0) {
        return -1;
    }
    if (fromBak > fromData && __user_data_restore(kv) != 0) {
        return -1;
    }
    int kept = __salvage_scan(kv, kv->fp, keep.get(), disk.get());
    if (kept <= 0) {
        return -1;
    }
    PR_DEBUG("salvage %s: %d records kept", fromBak > fromData ? kv->bak_file_name : kv->file_name, kept);
    *kv->hd = *disk;
    keep->wr_count++;
    if (kv_change(kv, keep.get(), {}, {}) != 0) {
        return -1;
    }
    return __rd_hd_and_check(kv);
}

// The data file failed its checks (or is missing): a backup that checks whole, else what can
// be salvaged, else a new database.
int __fallback(SIMPLE_KV_S* kv)
{
    if (kv->io->Access(kv->bak_file_name) == 0 && __check_file(kv, kv->bak_file_name) == 0) {
        PR_DEBUG("restore from bak file");
        int ret = __user_data_restore(kv);
        if (ret == 0) {
            PR_DEBUG("restore file success");
            PR_DEBUG("read from normal file");
            ret = __rd_hd_and_check(kv);
            if (ret == 0) {
                PR_DEBUG("read from normal file success");
                return 0;
            }
            PR_DEBUG("__rd_hd_and_check error:%d", ret);
        } else {
            PR_DEBUG("__user_data_restore error:%d", ret);
        }
    }
    if (__salvage(kv) == 0) {
        return 0;
    }
    if (kv->fp == nullptr && (kv->fp = kv->io->Open(kv->file_name, "wb+")) == nullptr) {
        PR_DEBUG("open file fails");
        return -3;
    }
    return __new_database(kv);
}

}  // namespace

int kv_open_store(SIMPLE_KV_S* kv, const uint8_t* key)
{
    KvFileIo* io = kv->io;
    bool fresh = false;
    bool data = false;
    bool bak = false;
    if (__update_enc_key(kv, key, &fresh, &data, &bak) != 0) {
        PR_DEBUG("open file fails");
        return -3;
    }
    // The key itself never goes to the log.
    PR_DEBUG("get encrypt_key[%s]", "****");
    kv->hd = new (std::nothrow) DATA_HD_S;
    if (kv->hd == nullptr) {
        PR_DEBUG("malloc fails %d", KV_HD_LEN);
        PR_DEBUG("__create_data_hd error:%d", -1);
        return -4;
    }
    __create_data_hd(kv);
    if (fresh || (!data && !bak)) {
        PR_DEBUG("both file not exist %s", kv->file_name);
        kv->fp = io->Open(kv->file_name, "wb+");
        if (kv->fp == nullptr) {
            PR_DEBUG("file name:%s", kv->file_name);
            PR_DEBUG("Error: %s", strerror(errno));
            PR_DEBUG("open file fails");
            return -3;
        }
        return __new_database(kv);
    }
    if (!data) {
        PR_DEBUG("bak file eixst BUT normal file not exist");
        return __fallback(kv);
    }
    PR_DEBUG(bak ? "both file exist" : "normal file exist. bak file not exist");
    kv->fp = io->Open(kv->file_name, "rb+");
    if (kv->fp == nullptr) {
        PR_DEBUG("open file fails");
        return -3;
    }
    __replay_journal(kv);
    PR_DEBUG("read from normal file");
    int ret = __rd_hd_and_check(kv);
    // Damage reads the same every time; a passing read error does not. The fallbacks below may
    // end in a new store, so the file gets another look first.
    for (uint32_t tries = 1; ret != 0 && tries < KV_KEY_TRIES; ++tries) {
        PR_DEBUG("__rd_hd_and_check error:%d, try %u", ret, tries);
        io->Pause(KV_KEY_RETRY_MS);
        ret = __rd_hd_and_check(kv);
    }
    if (ret == 0) {
        PR_DEBUG("read from normal file success");
        return 0;
    }
    PR_DEBUG("__rd_hd_and_check error:%d", ret);
    return __fallback(kv);
}
