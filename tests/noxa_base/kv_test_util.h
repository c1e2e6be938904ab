// Shared by the key-value engine suites: the engine opened on a MemFs, values as strings, the
// store's content as a map.
#pragma once

#include "kv_mem_fs.h"
#include "noxa_base/kv_storge/file/simplekv.h"
#include "noxa_base/kv_storge/file/simplekv_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kvtest {

// The store folder on the MemFs, and the names the engine gives its files.
inline const std::string kDir = "/DeviceInfo/noxa/";
inline const std::string kData = kDir + "noxa_user.db";
inline const std::string kBak = kDir + "noxa_user.db_bak";
inline const std::string kKey = kDir + "noxa_enckey.db";
inline const std::string kJnl = kDir + "noxa_user.db_jnl";
// The key the cloud start hands over.
inline const uint8_t kGivenKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

using Model = std::map<std::string, std::string>;

inline int Open(MemFs& fs)
{
    simplekv_deinit();
    simplekv_set_file_io(&fs);
    return simplekv_init(kDir.c_str(), kGivenKey, sizeof(kGivenKey));
}

// The value under key, or the engine's code as "<code>".
inline std::string Read(const std::string& key)
{
    uint8_t* v = nullptr;
    uint32_t n = 0;
    int ret = simplekv_read(key.c_str(), &v, &n);
    if (ret != 0) {
        return "<" + std::to_string(ret) + ">";
    }
    std::string out(reinterpret_cast<char*>(v), n);
    simplekv_free_data(v);
    return out;
}

inline int Write(const std::string& key, const std::string& value)
{
    return simplekv_write(key.c_str(), value.data(), static_cast<uint32_t>(value.size()));
}

// What the store holds of the keys named.
inline Model Content(const std::set<std::string>& keys)
{
    Model m;
    for (const auto& k : keys) {
        std::string v = Read(k);
        if (v != "<-3>") {
            m[k] = v;
        }
    }
    return m;
}

inline std::string Dump(const Model& m)
{
    std::string s = "{";
    for (const auto& [k, v] : m) {
        s += k + "=" + (v.size() > 24 ? v.substr(0, 24) + "..(" + std::to_string(v.size()) + ")" : v) + " ";
    }
    return s + "}";
}

// The header of the data file as it lies on the MemFs.
inline DATA_HD_S Header(const MemFs& fs)
{
    std::vector<uint8_t> file = fs.Get(kData);
    DATA_HD_S hd;
    kv_hd_decode(file.data(), static_cast<uint32_t>(std::min<size_t>(file.size(), KV_HD_LEN)), &hd);
    return hd;
}

// Every slot in use, in slot order: its key from the data file's header, its value (or the
// engine's code as "<code>") from a prefix read that matches every key.
inline std::vector<std::pair<std::string, std::string>> Slots(const MemFs& fs)
{
    std::vector<uint8_t> file = fs.Get(kData);
    auto hd = std::make_unique<DATA_HD_S>();
    kv_hd_decode(file.data(), static_cast<uint32_t>(std::min<size_t>(file.size(), KV_HD_LEN)), hd.get());
    std::vector<std::pair<std::string, std::string>> out;
    uint32_t index = 0;
    for (uint32_t i = 0; i < std::min(hd->mag_rec_cnt, KV_REC_MAX); ++i) {
        if (hd->records[i].valid == 0) {
            continue;
        }
        std::string key(hd->records[i].key, strnlen(hd->records[i].key, sizeof(hd->records[i].key)));
        uint8_t* v = nullptr;
        uint32_t n = 0;
        int ret = simplekv_fuzz_read("", &index, &v, &n);
        if (ret != 0) {
            out.emplace_back(key, "<" + std::to_string(ret) + ">");
            ++index;
            continue;
        }
        out.emplace_back(key, std::string(reinterpret_cast<char*>(v), n));
        simplekv_free_data(v);
    }
    return out;
}

}  // namespace kvtest
