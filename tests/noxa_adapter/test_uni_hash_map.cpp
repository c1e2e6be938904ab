// The string-keyed hash map: newest entry first, value-matched deletes, hooks kept per map, and
// many keys in few buckets.
#include "noxa_adapter/utilities/uni_hash_map.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

void* V(uintptr_t v)
{
    return reinterpret_cast<void*>(v);
}

TEST(HashMap, AddGetDelete)
{
    HASH_MAP_HANDLE map = uni_hash_map_create(16, nullptr, nullptr);
    ASSERT_NE(nullptr, map);
    void* v = V(99);
    EXPECT_EQ(-2, uni_hash_map_get(map, "k", &v));
    EXPECT_EQ(nullptr, v);

    EXPECT_EQ(0, uni_hash_map_add(map, "k", V(1)));
    EXPECT_EQ(0, uni_hash_map_add(map, "k", V(2)));
    EXPECT_EQ(0, uni_hash_map_add(map, "", V(3)));
    EXPECT_EQ(0, uni_hash_map_add(map, "kk", V(4)));
    EXPECT_EQ(4u, map->count);
    EXPECT_EQ(0, uni_hash_map_get(map, "k", &v));
    EXPECT_EQ(V(2), v);  // the one added last
    EXPECT_EQ(0, uni_hash_map_get(map, "", &v));
    EXPECT_EQ(V(3), v);

    // A delete names the value; 0 (null) matches any.
    EXPECT_EQ(-2, uni_hash_map_del(map, "k", V(7)));
    EXPECT_EQ(0, uni_hash_map_del(map, "k", V(1)));
    EXPECT_EQ(0, uni_hash_map_get(map, "k", &v));
    EXPECT_EQ(V(2), v);
    EXPECT_EQ(0, uni_hash_map_del(map, "k", nullptr));
    EXPECT_EQ(-2, uni_hash_map_get(map, "k", &v));
    EXPECT_EQ(-2, uni_hash_map_del(map, "k", nullptr));
    EXPECT_EQ(0, uni_hash_map_get(map, "kk", &v));  // a longer key is another key
    EXPECT_EQ(V(4), v);
    EXPECT_EQ(2u, map->count);
    uni_hash_map_destroy(map);  // frees the entries still in it
}

TEST(HashMap, ManyKeysInFewBuckets)
{
    HASH_MAP_HANDLE map = uni_hash_map_create(3, nullptr, nullptr);
    std::vector<std::string> keys;
    for (int i = 0; i < 500; ++i) {
        keys.push_back("device/" + std::to_string(i));
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(0, uni_hash_map_add(map, keys[i].c_str(), V(i + 1)));
    }
    std::map<uint32_t, int> perBucket;
    for (uint32_t b = 0; b < map->bucket_num; ++b) {
        for (UNI_HLIST_NODE_S* n = map->buckets[b].first; n != nullptr; n = n->next) {
            ++perBucket[b];
        }
    }
    for (const auto& [bucket, count] : perBucket) {
        EXPECT_GT(count, 100) << bucket;  // the keys spread over all three
    }
    for (size_t i = 0; i < keys.size(); i += 2) {
        ASSERT_EQ(0, uni_hash_map_del(map, keys[i].c_str(), nullptr));
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        void* v = nullptr;
        EXPECT_EQ(i % 2 == 0 ? -2 : 0, uni_hash_map_get(map, keys[i].c_str(), &v)) << keys[i];
        EXPECT_EQ(i % 2 == 0 ? nullptr : V(i + 1), v);
    }
    uni_hash_map_destroy(map);
}

int gHookAllocs = 0;
int gHookFrees = 0;
void* HookMalloc(size_t n)
{
    ++gHookAllocs;
    return malloc(n);
}
void HookFree(void* p)
{
    ++gHookFrees;
    free(p);
}

TEST(HashMap, HooksStayWithTheirMap)
{
    EXPECT_EQ(nullptr, uni_hash_map_create(8, HookMalloc, nullptr));
    EXPECT_EQ(nullptr, uni_hash_map_create(8, nullptr, HookFree));
    EXPECT_EQ(nullptr, uni_hash_map_create(0, nullptr, nullptr));

    HASH_MAP_HANDLE plain = uni_hash_map_create(8, nullptr, nullptr);
    HASH_MAP_HANDLE hooked = uni_hash_map_create(8, HookMalloc, HookFree);
    ASSERT_NE(nullptr, hooked);
    EXPECT_EQ(2, gHookAllocs);  // map and buckets
    // A map made before or after the hooked one keeps the system allocator.
    HASH_MAP_HANDLE later = uni_hash_map_create(8, nullptr, nullptr);
    uni_hash_map_add(plain, "a", V(1));
    uni_hash_map_add(later, "a", V(1));
    EXPECT_EQ(2, gHookAllocs);
    uni_hash_map_add(hooked, "a", V(1));
    uni_hash_map_add(hooked, "b", V(2));
    EXPECT_EQ(4, gHookAllocs);
    uni_hash_map_del(hooked, "a", nullptr);
    EXPECT_EQ(1, gHookFrees);
    uni_hash_map_destroy(plain);
    uni_hash_map_destroy(later);
    EXPECT_EQ(1, gHookFrees);
    uni_hash_map_destroy(hooked);
    EXPECT_EQ(4, gHookFrees);  // entry, buckets, map
}

}  // namespace
