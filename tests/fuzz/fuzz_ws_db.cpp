// The device records over arbitrary stored texts: each record's reader as the cloud side calls
// it, with the store (on the in-memory disk of the store's tests) holding the input as the
// record; and the deserialiser over a table of every field type, each field in a block of
// exactly its size. What a reader accepts must be written back and read again unchanged.
#include "fuzz_util.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_mem_fs.h"
#include "noxa_base/kv_storge/file/simplekv.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using fuzz::Check;

// One record type: its key, reader and writer.
template <typename T>
struct Record {
    const char* key;
    int (*read)(T*);
    int (*write)(const T*);
};

int ReadDev(DEV_DESC_IF_S* dev)
{
    uint32_t index = 0;
    return wd_dev_if_read(&index, dev);
}

// Reads the stored text; when it is accepted, writes it back twice and reads: the second
// round must give what the first gave.
template <typename T>
void RoundTrip(const Record<T>& r, const uint8_t* text, size_t len)
{
    Check(kvs_delete(r.key) == 0);
    if (len != 0 && kvs_write(r.key, text, static_cast<uint32_t>(len)) != 0) {
        return;  // a value the store refuses (too long)
    }
    auto first = std::make_unique<T>();
    memset(first.get(), 0, sizeof(T));
    if (r.read(first.get()) != 0) {
        return;
    }
    // A sub-device is written under its own id: the input's record goes first.
    Check(kvs_delete(r.key) == 0);
    Check(r.write(first.get()) == 0);
    auto second = std::make_unique<T>();
    memset(second.get(), 0, sizeof(T));
    Check(r.read(second.get()) == 0);
    Check(r.write(second.get()) == 0);
    auto third = std::make_unique<T>();
    memset(third.get(), 0, sizeof(T));
    Check(r.read(third.get()) == 0);
    Check(memcmp(second.get(), third.get(), sizeof(T)) == 0);
}

// Every field type once; the text and byte fields get the sizes the input asks for.
struct Table {
    std::vector<std::unique_ptr<uint8_t[]>> blocks;
    std::vector<NQ_DB_RW_S> rw;
    std::vector<uint32_t> lens;

    Table(uint32_t strLen, uint32_t rawLen)
    {
        static const char* const kNames[] = {"i8", "u8", "i16", "u16", "i32", "b", "s", "r"};
        const uint32_t sizes[] = {1, 1, 2, 2, 4, 4, strLen, rawLen};
        for (uint32_t t = NQ_DB_INT8; t <= NQ_DB_RAW; ++t) {
            blocks.emplace_back(new uint8_t[sizes[t]]());
            rw.push_back({kNames[t], t, blocks.back().get(), sizes[t]});
            lens.push_back(sizes[t]);
        }
    }
    bool Same(const Table& o) const
    {
        for (size_t i = 0; i < rw.size(); ++i) {
            if (lens[i] != 0 && memcmp(blocks[i].get(), o.blocks[i].get(), lens[i]) != 0) {
                return false;
            }
        }
        return true;
    }
};

void Fields(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return;
    }
    uint32_t strLen = 1 + data[0] % 48;
    uint32_t rawLen = data[1] % 48;
    std::string json(reinterpret_cast<const char*>(data + 2), size - 2);
    Table first(strLen, rawLen);
    int ret = __nq_deserialize(json.c_str(), first.rw.data(), static_cast<uint32_t>(first.rw.size()));
    Check(ret == 0 || ret == WS_DB_ERR_JSON || ret == WS_DB_ERR_JSON_TYPE || ret == -1);
    if (ret != 0) {
        return;
    }
    char* text = nullptr;
    uint32_t len = 0;
    Check(__nq_serialize(first.rw.data(), static_cast<uint32_t>(first.rw.size()), &text, &len) == 0);
    Check(strlen(text) == len);
    Table second(strLen, rawLen);
    Check(__nq_deserialize(text, second.rw.data(), static_cast<uint32_t>(second.rw.size())) == 0);
    Check(first.Same(second));
    wd_utils_free_outbuf(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    MemPoolSetPassThrough(1);  // every block of its own, so that the sanitizer sees its bounds
    static UniTestClock clock;
    static MemFs fs;
    simplekv_set_file_io(&fs);
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    Check(ws_db_init("/kv/", key, sizeof(key)) == 0);
    return 0;
}

// Input: which record (0 identity, 1 Wi-Fi state, 2 description, 3 activation, 4 sub-device,
// 5 the table of every type), then the stored text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 8192) {
        return 0;
    }
    const uint8_t* text = data + 1;
    size_t len = size - 1;
    switch (data[0] % 6) {
    case 0:
        RoundTrip(Record<GW_BASE_IF_S>{"gw_bi", wd_gw_base_if_read, wd_gw_base_if_write}, text, len);
        break;
    case 1:
        RoundTrip(Record<GW_WORK_STAT_MAG_S>{"gw_wsm", wd_gw_wsm_read, wd_gw_wsm_write}, text, len);
        break;
    case 2:
        RoundTrip(Record<GW_DESC_IF_S>{"gw_di", wd_gw_desc_if_read, wd_gw_desc_if_write}, text, len);
        break;
    case 3:
        RoundTrip(Record<GW_ACTV_IF_S>{"gw_ai", wd_gw_actv_if_read, wd_gw_actv_if_write}, text, len);
        break;
    case 4:
        // Sub-devices are found by their key's prefix; the writer keys them by their id.
        Check(wd_dev_if_delete_all() == 0);
        RoundTrip(Record<DEV_DESC_IF_S>{"ddi-fuzz", ReadDev, wd_dev_if_write}, text, len);
        Check(wd_dev_if_delete_all() == 0);
        break;
    default:
        Fields(text, len);
        break;
    }
    return 0;
}
