#include "noxa_base/kv_storge/file/simplekv_format.h"

#include "noxa_adapter/utilities/hash_crc32.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_string.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kJnlMagic = 0x4A564B4Eu;  // "NKVJ"
// A value, the fixed fields and at most every slot.
constexpr uint32_t kJnlMaxRecs = KV_REC_MAX + 4;

void __put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void __put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t __get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint16_t __get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void __put_rec_bytes(const KV_REC_S& r, uint8_t* p)
{
    __put32(p, r.valid);
    memcpy(p + 4, r.key, KV_KEY_FIELD_LEN);
    __put32(p + 40, r.size);
    __put32(p + 44, r.start);
    __put16(p + 48, r.datalen);
    __put16(p + 50, r.unused);
    __put32(p + 52, r.crc32);
}

void __get_rec(const uint8_t* p, KV_REC_S* r)
{
    r->valid = __get32(p);
    memcpy(r->key, p + 4, KV_KEY_FIELD_LEN);
    r->size = __get32(p + 40);
    r->start = __get32(p + 44);
    r->datalen = __get16(p + 48);
    r->unused = __get16(p + 50);
    r->crc32 = __get32(p + 52);
}

void __append32(std::vector<uint8_t>& out, uint32_t v)
{
    uint8_t b[4];
    __put32(b, v);
    out.insert(out.end(), b, b + 4);
}

}  // namespace

void kv_rec_encode(const KV_REC_S& rec, uint8_t out[KV_REC_LEN])
{
    __put_rec_bytes(rec, out);
}

uint32_t kv_hd_used_len(uint32_t cnt)
{
    return KV_HD_FIXED_LEN + KV_REC_LEN * cnt;
}

uint32_t kv_hd_crc_len(uint32_t cnt)
{
    // The historical rounding to 8 bytes; 56 x cnt + 24 is always a multiple of 8 below 64 KiB.
    return (KV_REC_LEN * cnt + 24) & 0xFFF8u;
}

uint32_t kv_hd_calc_crc(const uint8_t* bytes, uint32_t cnt)
{
    return hash_crc32(bytes + 4, kv_hd_crc_len(std::min(cnt, KV_REC_MAX)));
}

void kv_hd_encode(const DATA_HD_S& hd, uint8_t* out, uint32_t len)
{
    uint8_t fixed[KV_HD_FIXED_LEN];
    __put32(fixed, hd.crc32);
    __put32(fixed + 4, hd.version);
    __put32(fixed + 8, hd.wr_count);
    __put32(fixed + 12, hd.data_hd_size);
    __put32(fixed + 16, hd.magic);
    __put32(fixed + 20, hd.mag_rec_max);
    __put32(fixed + 24, hd.mag_rec_cnt);
    len = std::min(len, KV_HD_LEN);
    memcpy(out, fixed, std::min(len, KV_HD_FIXED_LEN));
    uint8_t rec[KV_REC_LEN];
    for (uint32_t i = 0; i < KV_REC_MAX; ++i) {
        uint32_t at = KV_HD_FIXED_LEN + i * KV_REC_LEN;
        if (at >= len) {
            break;
        }
        __put_rec_bytes(hd.records[i], rec);
        memcpy(out + at, rec, std::min(KV_REC_LEN, len - at));
    }
}

void kv_hd_decode(const uint8_t* in, uint32_t len, DATA_HD_S* hd)
{
    memset(hd, 0, sizeof(*hd));
    if (len < KV_HD_FIXED_LEN) {
        return;
    }
    hd->crc32 = __get32(in);
    hd->version = __get32(in + 4);
    hd->wr_count = __get32(in + 8);
    hd->data_hd_size = __get32(in + 12);
    hd->magic = __get32(in + 16);
    hd->mag_rec_max = __get32(in + 20);
    hd->mag_rec_cnt = __get32(in + 24);
    for (uint32_t i = 0; i < KV_REC_MAX && kv_hd_used_len(i + 1) <= len; ++i) {
        __get_rec(in + kv_hd_used_len(i), &hd->records[i]);
    }
}

std::vector<uint8_t> kv_hd_serialize(DATA_HD_S* hd)
{
    uint32_t cnt = std::min(hd->mag_rec_cnt, KV_REC_MAX);
    std::vector<uint8_t> out(kv_hd_used_len(cnt));
    kv_hd_encode(*hd, out.data(), static_cast<uint32_t>(out.size()));
    hd->crc32 = kv_hd_calc_crc(out.data(), cnt);
    __put32(out.data(), hd->crc32);
    return out;
}

void kv_hd_init(DATA_HD_S* hd)
{
    memset(hd, 0, sizeof(*hd));
    hd->version = KV_VERSION;
    hd->data_hd_size = KV_HD_LEN;
    hd->magic = KV_MAGIC;
    hd->mag_rec_max = KV_REC_MAX;
}

bool kv_rec_sane(const KV_REC_S& rec, uint32_t hdSize, uint64_t fileSize, bool encrypted)
{
    if (rec.valid > 1 || rec.datalen > rec.size) {
        return false;
    }
    if (rec.size != 0 && (rec.start < hdSize || static_cast<uint64_t>(rec.start) + rec.size > fileSize)) {
        return false;
    }
    if (rec.valid == 0) {
        return true;
    }
    const void* nul = memchr(rec.key, '\0', KV_KEY_COPY_LEN);
    return nul != nullptr && rec.key[0] != '\0' && rec.datalen != 0 && (!encrypted || rec.datalen % 16 == 0);
}

bool kv_recs_disjoint(const DATA_HD_S& hd)
{
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (uint32_t i = 0; i < std::min(hd.mag_rec_cnt, KV_REC_MAX); ++i) {
        const KV_REC_S& r = hd.records[i];
        if (r.size != 0) {
            spans.emplace_back(r.start, static_cast<uint64_t>(r.start) + r.size);
        }
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].first < spans[i - 1].second) {
            return false;
        }
    }
    return true;
}

int kv_hd_check(const uint8_t* raw, uint32_t rawLen, uint64_t fileSize, DATA_HD_S* hd)
{
    kv_hd_decode(raw, rawLen, hd);
    if (hd->magic != KV_MAGIC) {
        PR_DEBUG("magic check fail 0x%X 0x%X", hd->magic, KV_MAGIC);
        return KV_HD_BAD_MAGIC;
    }
    // Sizes come from the disk: only the one layout this engine writes is taken.
    if (hd->data_hd_size != KV_HD_LEN || hd->mag_rec_max != KV_REC_MAX || hd->mag_rec_cnt > hd->mag_rec_max ||
        rawLen < kv_hd_used_len(hd->mag_rec_cnt)) {
        PR_DEBUG("max cnt invalid %d mag_rec_size:%d", hd->mag_rec_cnt, hd->mag_rec_max);
        return KV_HD_BAD_SIZE;
    }
    uint32_t crc = kv_hd_calc_crc(raw, hd->mag_rec_cnt);
    if (crc != hd->crc32) {
        PR_DEBUG("crc %u %u not equal", crc, hd->crc32);
        PR_DEBUG("crc32 check fails");
        return KV_HD_BAD_CRC;
    }
    for (uint32_t i = 0; i < hd->mag_rec_cnt; ++i) {
        if (!kv_rec_sane(hd->records[i], hd->data_hd_size, fileSize, hd->version == KV_VERSION)) {
            PR_DEBUG("slot %u out of bounds: start %u size %u datalen %u", i, hd->records[i].start,
                     hd->records[i].size, hd->records[i].datalen);
            return KV_HD_BAD_SLOT;
        }
    }
    if (!kv_recs_disjoint(*hd)) {
        PR_DEBUG("slots overlap");
        return KV_HD_BAD_SLOT;
    }
    return KV_HD_OK;
}

uint32_t kv_reserve_size(uint32_t n)
{
    return ((n + 64) & ~3u) + 4;
}

uint32_t kv_next_start(const DATA_HD_S& hd)
{
    uint64_t end = hd.data_hd_size;
    for (uint32_t i = 0; i < std::min(hd.mag_rec_cnt, KV_REC_MAX); ++i) {
        const KV_REC_S& r = hd.records[i];
        if (r.size != 0) {
            end = std::max(end, static_cast<uint64_t>(r.start) + r.size);
        }
    }
    return static_cast<uint32_t>(end);
}

bool kv_key_match(const KV_REC_S& rec, const char* key, bool fuzzy)
{
    if (fuzzy) {
        return uni_strncasecmp(rec.key, key, strlen(key)) == 0;
    }
    return strncmp(rec.key, key, KV_KEY_FIELD_LEN) == 0;
}

int kv_plan_write(const DATA_HD_S& hd, const char* key, uint32_t n, KV_WRITE_PLAN_S* plan)
{
    plan->invalidate = -1;
    plan->fresh = false;
    for (uint32_t i = 0; i < hd.mag_rec_cnt; ++i) {
        const KV_REC_S& r = hd.records[i];
        if (r.valid == 0 || !kv_key_match(r, key, false)) {
            continue;
        }
        if (r.size >= n) {
            PR_DEBUG("%d key same AND size old %d >= new %d", i, r.size, n);
            plan->index = i;
            return 0;
        }
        PR_DEBUG("%d key same BUT size old %d < new %d need find new hd", i, r.size, n);
        plan->invalidate = static_cast<int32_t>(i);
        break;
    }
    return kv_plan_free(hd, n, plan);
}

int kv_plan_free(const DATA_HD_S& hd, uint32_t n, KV_WRITE_PLAN_S* plan)
{
    for (uint32_t i = 0; i < hd.mag_rec_cnt; ++i) {
        const KV_REC_S& r = hd.records[i];
        if (r.valid != 1 && r.size >= n) {
            PR_DEBUG("%d valid is false AND size old %d >= new %d", i, r.size, n);
            plan->index = i;
            plan->fresh = false;
            return 0;
        }
    }
    if (hd.mag_rec_cnt >= hd.mag_rec_max || hd.mag_rec_cnt >= KV_REC_MAX) {
        PR_DEBUG("No Available Space %d %d!!", hd.mag_rec_cnt, hd.mag_rec_max);
        return -100;
    }
    plan->index = hd.mag_rec_cnt;
    plan->fresh = true;
    return 0;
}

void kv_apply_plan(DATA_HD_S* hd, const KV_WRITE_PLAN_S& plan, const char* key, uint32_t n, uint32_t crc)
{
    KV_REC_S& r = hd->records[plan.index];
    if (plan.fresh) {
        r.start = kv_next_start(*hd);
        r.size = kv_reserve_size(n);
        hd->mag_rec_cnt++;
        PR_DEBUG("new space %d startpos:%u size:%u", plan.index, r.start, r.size);
    }
    if (plan.invalidate >= 0) {
        hd->records[plan.invalidate].valid = 0;
    }
    r.valid = 1;
    // Bytes 33..35 of the field are left as they are.
    strncpy(r.key, key, KV_KEY_COPY_LEN);
    r.datalen = static_cast<uint16_t>(n);
    r.crc32 = crc;
}

void kv_key_file_order(const uint8_t in[KV_STORE_KEY_LEN], uint8_t out[KV_STORE_KEY_LEN])
{
    for (uint32_t j = 0; j < KV_STORE_KEY_LEN; ++j) {
        out[j] = in[((j + 8) % KV_STORE_KEY_LEN) ^ 1];
    }
}

std::vector<uint8_t> kv_jnl_encode(const std::vector<KV_JNL_REC_S>& recs)
{
    size_t total = 12;
    for (const auto& r : recs) {
        total += 8 + r.bytes.size();
    }
    std::vector<uint8_t> out;
    out.reserve(total);
    __append32(out, kJnlMagic);
    __append32(out, static_cast<uint32_t>(recs.size()));
    for (const auto& r : recs) {
        __append32(out, r.offset);
        __append32(out, static_cast<uint32_t>(r.bytes.size()));
        out.insert(out.end(), r.bytes.begin(), r.bytes.end());
    }
    __append32(out, hash_crc32(out.data(), static_cast<uint32_t>(out.size())));
    return out;
}

int kv_jnl_decode(const uint8_t* buf, uint32_t len, std::vector<KV_JNL_REC_S>* recs)
{
    recs->clear();
    if (len < 12 || __get32(buf) != kJnlMagic) {
        return -1;
    }
    uint32_t count = __get32(buf + 4);
    if (count > kJnlMaxRecs) {
        return -1;
    }
    uint64_t pos = 8;
    for (uint32_t i = 0; i < count; ++i) {
        if (pos + 8 > len) {
            return -1;
        }
        uint32_t offset = __get32(buf + pos);
        uint32_t n = __get32(buf + pos + 4);
        pos += 8;
        if (n > len - pos || static_cast<uint64_t>(offset) + n > UINT32_MAX) {
            return -1;
        }
        pos += n;
    }
    if (pos + 4 > len || hash_crc32(buf, static_cast<uint32_t>(pos)) != __get32(buf + pos)) {
        return -1;
    }
    // Whole and intact: now take the ranges out.
    pos = 8;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t offset = __get32(buf + pos);
        uint32_t n = __get32(buf + pos + 4);
        pos += 8;
        recs->push_back({offset, std::vector<uint8_t>(buf + pos, buf + pos + n)});
        pos += n;
    }
    return 0;
}
