// A string-keyed hash map over single-head bucket lists. Keys are the caller's texts (not
// copied: they must outlive their entries); duplicates are allowed and the newest is found first.
// Not locked: the owner guards a map shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>

struct UNI_HLIST_NODE_S {
    UNI_HLIST_NODE_S* next;
    UNI_HLIST_NODE_S** pprev;  // the link that points at this node; null when unlinked
};

struct UNI_HLIST_HEAD_S {
    UNI_HLIST_NODE_S* first;
};

inline void uni_hlist_node_init(UNI_HLIST_NODE_S* n)
{
    n->next = nullptr;
    n->pprev = nullptr;
}

inline int uni_hlist_empty(const UNI_HLIST_HEAD_S* h)
{
    return h->first == nullptr ? 1 : 0;
}

inline int uni_hlist_unhashed(const UNI_HLIST_NODE_S* n)
{
    return n->pprev == nullptr ? 1 : 0;
}

inline void uni_hlist_del(UNI_HLIST_NODE_S* n)
{
    *n->pprev = n->next;
    if (n->next != nullptr) {
        n->next->pprev = n->pprev;
    }
}

inline void uni_hlist_del_init(UNI_HLIST_NODE_S* n)
{
    if (uni_hlist_unhashed(n) == 0) {
        uni_hlist_del(n);
        uni_hlist_node_init(n);
    }
}

inline void uni_hlist_add_head(UNI_HLIST_NODE_S* n, UNI_HLIST_HEAD_S* h)
{
    n->next = h->first;
    if (h->first != nullptr) {
        h->first->pprev = &n->next;
    }
    h->first = n;
    n->pprev = &h->first;
}

typedef void* (*UNI_HASH_MALLOC_CB)(size_t size);
typedef void (*UNI_HASH_FREE_CB)(void* ptr);

struct UNI_HASH_ENTRY_S {
    const char* key;
    void* value;
    UNI_HLIST_NODE_S node;
};

// Each map keeps its own allocation hooks: one map made with hooks leaves every other map alone.
struct UNI_HASH_MAP_S {
    uint32_t count;
    uint32_t bucket_num;
    UNI_HLIST_HEAD_S* buckets;
    UNI_HASH_MALLOC_CB malloc_cb;
    UNI_HASH_FREE_CB free_cb;
};

typedef UNI_HASH_MAP_S* HASH_MAP_HANDLE;

// bucket_num heads, zeroed; both hooks or neither (the system malloc and free); null otherwise.
HASH_MAP_HANDLE uni_hash_map_create(uint32_t bucket_num, UNI_HASH_MALLOC_CB malloc_cb, UNI_HASH_FREE_CB free_cb);
// -1 when memory fails; -2 for a null map or key.
int uni_hash_map_add(HASH_MAP_HANDLE map, const char* key, void* value);
// The value of the newest entry with that key; -2 (and null) when there is none.
int uni_hash_map_get(HASH_MAP_HANDLE map, const char* key, void** value);
// Deletes the newest entry with that key and that value (null matches any value); -2 when none.
int uni_hash_map_del(HASH_MAP_HANDLE map, const char* key, void* value);
// Frees the entries, the buckets and the map; the keys and values stay the caller's.
void uni_hash_map_destroy(HASH_MAP_HANDLE map);
