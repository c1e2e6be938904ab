// The key-value store over arbitrary files: the input is a data file, a backup and a journal
// (and which of them exist) on the in-memory disk of the store's tests. Opening must succeed,
// every value must read or fail cleanly, a new value must be stored and still be there after
// another opening. Then, as the input asks: keys deleted (the input's own and the new one),
// a prefix deleted, the store formatted; none of what went may come back, also after another
// opening.
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_mem_fs.h"
#include "noxa_base/kv_storge/file/simplekv.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

namespace {

void Check(bool ok)
{
    if (!ok) {
        __builtin_trap();
    }
}

const char kDir[] = "/kv/";
// The key file the seeds were written under (stored order of the key 00 01 .. 0f).
const std::vector<uint8_t> kKeyFile = {9, 8, 11, 10, 13, 12, 15, 14, 1, 0, 3, 2, 5, 4, 7, 6};

uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Keys of the data file's first record slots as its header holds them (after the 28-byte fixed
// part, 56 bytes a slot, the key behind the slot's 4-byte mark).
std::vector<std::string> SlotKeys(const uint8_t* file, size_t len)
{
    std::vector<std::string> keys;
    for (size_t i = 0; i < 4; ++i) {
        size_t at = 28 + i * 56 + 4;
        if (at + 36 > len) {
            break;
        }
        std::string key(reinterpret_cast<const char*>(file + at), strnlen(reinterpret_cast<const char*>(file + at), 36));
        if (!key.empty() && key.size() <= 32) {
            keys.push_back(key);
        }
    }
    return keys;
}

// No slot in use has a key that begins with the prefix ("" : the store is empty).
bool NoneWithPrefix(const char* prefix)
{
    uint32_t index = 0;
    uint8_t* v = nullptr;
    uint32_t n = 0;
    int ret = simplekv_fuzz_read(prefix, &index, &v, &n);
    if (ret == 0) {
        simplekv_free_data(v);
    }
    return ret == -3;
}

std::string Read(const char* key)
{
    uint8_t* v = nullptr;
    uint32_t n = 0;
    if (simplekv_read(key, &v, &n) != 0) {
        return "<none>";
    }
    std::string s(reinterpret_cast<char*>(v), n);
    simplekv_free_data(v);
    return s;
}

}  // namespace

// Input: a flags byte (1 data file, 2 backup, 4 journal, 8 no key file; 16 delete keys, 32
// delete a prefix, 64 format), two 32-bit lengths, then the data file, the backup and the
// journal.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9) {
        return 0;
    }
    static UniTestClock clock;
    uint8_t flags = data[0];
    size_t rest = size - 9;
    size_t dataLen = std::min<size_t>(Get32(data + 1), rest);
    size_t bakLen = std::min<size_t>(Get32(data + 5), rest - dataLen);
    const uint8_t* p = data + 9;
    MemFs fs;
    if (flags & 1) {
        fs.Put("/kv/noxa_user.db", std::vector<uint8_t>(p, p + dataLen));
    }
    if (flags & 2) {
        fs.Put("/kv/noxa_user.db_bak", std::vector<uint8_t>(p + dataLen, p + dataLen + bakLen));
    }
    if (flags & 4) {
        fs.Put("/kv/noxa_user.db_jnl", std::vector<uint8_t>(p + dataLen + bakLen, data + size));
    }
    if (!(flags & 8)) {
        fs.Put("/kv/noxa_enckey.db", kKeyFile);
    }
    const uint8_t given[16] = {0};
    simplekv_set_file_io(&fs);
    Check(simplekv_init(kDir, given, 16) == 0);

    // Every value in slot order, through the prefix read that matches all.
    uint32_t index = 0;
    for (int i = 0; i < 600; ++i) {
        uint8_t* v = nullptr;
        uint32_t n = 0;
        uint32_t before = index;
        int ret = simplekv_fuzz_read("", &index, &v, &n);
        if (ret == -3) {
            break;
        }
        if (ret == 0) {
            // Behind the value: its padding, as checked by the read.
            Check(v[n] == 16 - n % 16);
            simplekv_free_data(v);
        } else {
            // A value that fails its check or its key is skipped by hand.
            index = before + 1;
        }
    }
    int ret = simplekv_write("fuzz", "value", 5);
    Check(ret == 0 || ret == -100);
    if (ret == 0) {
        Check(Read("fuzz") == "value");
    }
    std::vector<std::string> gone;  // keys that must stay deleted
    std::string goneprefix;
    bool formatted = false;
    if (flags & 16) {
        std::vector<std::string> keys = SlotKeys(p, dataLen);
        keys.push_back("fuzz");
        for (const std::string& k : keys) {
            Check(simplekv_delete(k.c_str()) == 0);
            Check(Read(k.c_str()) == "<none>");
            gone.push_back(k);
        }
    }
    if (flags & 32) {
        std::vector<std::string> keys = SlotKeys(p, dataLen);
        goneprefix = keys.empty() ? "fu" : keys[0].substr(0, 2);
        Check(simplekv_fuzz_delete(goneprefix.c_str()) == 0);
        Check(NoneWithPrefix(goneprefix.c_str()));
    }
    if (flags & 64) {
        Check(simplekv_format() == 0);
        Check(NoneWithPrefix(""));
        formatted = true;
    }
    bool kept = ret == 0 && !(flags & (16 | 64)) && !(goneprefix.size() && strncasecmp("fuzz", goneprefix.c_str(), goneprefix.size()) == 0);
    simplekv_deinit();
    Check(simplekv_init(kDir, given, 16) == 0);
    if (kept) {
        Check(Read("fuzz") == "value");
    }
    for (const std::string& k : gone) {
        Check(Read(k.c_str()) == "<none>");
    }
    Check(goneprefix.empty() || NoneWithPrefix(goneprefix.c_str()));
    Check(!formatted || NoneWithPrefix(""));
    // After a format the store takes values again.
    if (formatted) {
        Check(simplekv_write("fuzz", "again", 5) == 0 && Read("fuzz") == "again");
    }
    simplekv_deinit();
    simplekv_set_file_io(nullptr);
    return 0;
}
