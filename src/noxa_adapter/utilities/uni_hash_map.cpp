#include "noxa_adapter/utilities/uni_hash_map.h"

#include "noxa_adapter/uni_error_code.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// CRC-32 table of the reflected polynomial 0xEDB88320.
constexpr std::array<uint32_t, 256> __crc_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> kCrcTable = __crc_table();

uint32_t __bucket(const char* key, uint32_t bucket_num)
{
    uint32_t h = 0;
    for (const char* p = key; *p != '\0'; ++p) {
        h = kCrcTable[(h ^ static_cast<uint8_t>(*p)) & 0xFF] ^ (h >> 8);
    }
    // Spread the CRC's low bits over the word before the multiplicative fold.
    h += h << 12;
    h ^= h >> 22;
    h += h << 4;
    h ^= h >> 9;
    h += h << 10;
    h ^= h >> 2;
    h += h << 7;
    h ^= h >> 12;
    return ((h >> 3) * 0x9E3779B1u) % bucket_num;
}

UNI_HASH_ENTRY_S* __entry_of(UNI_HLIST_NODE_S* n)
{
    return reinterpret_cast<UNI_HASH_ENTRY_S*>(reinterpret_cast<char*>(n) - offsetof(UNI_HASH_ENTRY_S, node));
}

UNI_HASH_ENTRY_S* __find(HASH_MAP_HANDLE map, const char* key, bool anyValue, void* value)
{
    size_t len = strlen(key);
    for (UNI_HLIST_NODE_S* n = map->buckets[__bucket(key, map->bucket_num)].first; n != nullptr; n = n->next) {
        UNI_HASH_ENTRY_S* e = __entry_of(n);
        if (strlen(e->key) == len && memcmp(e->key, key, len) == 0 && (anyValue || e->value == value)) {
            return e;
        }
    }
    return nullptr;
}

}  // namespace

HASH_MAP_HANDLE uni_hash_map_create(uint32_t bucket_num, UNI_HASH_MALLOC_CB malloc_cb, UNI_HASH_FREE_CB free_cb)
{
    if (bucket_num == 0 || (malloc_cb == nullptr) != (free_cb == nullptr)) {
        return nullptr;
    }
    if (malloc_cb == nullptr) {
        malloc_cb = malloc;
        free_cb = free;
    }
    auto* map = static_cast<UNI_HASH_MAP_S*>(malloc_cb(sizeof(UNI_HASH_MAP_S)));
    if (map == nullptr) {
        return nullptr;
    }
    map->buckets = static_cast<UNI_HLIST_HEAD_S*>(malloc_cb(sizeof(UNI_HLIST_HEAD_S) * bucket_num));
    if (map->buckets == nullptr) {
        free_cb(map);
        return nullptr;
    }
    memset(map->buckets, 0, sizeof(UNI_HLIST_HEAD_S) * bucket_num);
    map->count = 0;
    map->bucket_num = bucket_num;
    map->malloc_cb = malloc_cb;
    map->free_cb = free_cb;
    return map;
}

int uni_hash_map_add(HASH_MAP_HANDLE map, const char* key, void* value)
{
    if (map == nullptr || key == nullptr) {
        return UNI_INVALID_PARM;
    }
    auto* e = static_cast<UNI_HASH_ENTRY_S*>(map->malloc_cb(sizeof(UNI_HASH_ENTRY_S)));
    if (e == nullptr) {
        return UNI_COM_ERROR;
    }
    e->key = key;
    e->value = value;
    uni_hlist_node_init(&e->node);
    uni_hlist_add_head(&e->node, &map->buckets[__bucket(key, map->bucket_num)]);
    ++map->count;
    return 0;
}

int uni_hash_map_get(HASH_MAP_HANDLE map, const char* key, void** value)
{
    if (map == nullptr || key == nullptr || value == nullptr) {
        return UNI_INVALID_PARM;
    }
    UNI_HASH_ENTRY_S* e = __find(map, key, true, nullptr);
    *value = e != nullptr ? e->value : nullptr;
    return e != nullptr ? 0 : UNI_INVALID_PARM;
}

int uni_hash_map_del(HASH_MAP_HANDLE map, const char* key, void* value)
{
    if (map == nullptr || key == nullptr) {
        return UNI_INVALID_PARM;
    }
    UNI_HASH_ENTRY_S* e = __find(map, key, value == nullptr, value);
    if (e == nullptr) {
        return UNI_INVALID_PARM;
    }
    uni_hlist_del_init(&e->node);
    map->free_cb(e);
    --map->count;
    return 0;
}

void uni_hash_map_destroy(HASH_MAP_HANDLE map)
{
    if (map == nullptr) {
        return;
    }
    // The entries are the map's own blocks: nothing else can free them.
    for (uint32_t b = 0; b < map->bucket_num; ++b) {
        while (map->buckets[b].first != nullptr) {
            UNI_HLIST_NODE_S* n = map->buckets[b].first;
            uni_hlist_del(n);
            map->free_cb(__entry_of(n));
        }
    }
    UNI_HASH_FREE_CB free_cb = map->free_cb;
    free_cb(map->buckets);
    free_cb(map);
}
