#include "noxa_base/kv_storge/kv_storge.h"

#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_base/kv_storge/file/simplekv.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::atomic<MUTEX_HANDLE> s_kvsMutex{nullptr};
// Serialises kvs_init and kvs_deinit themselves.
std::mutex s_lifeMutex;

// Runs one engine call under the facade mutex. Before kvs_init the engine is reached without a
// lock and reports "not inited" itself.
template <typename Fn>
int __locked(Fn fn)
{
    MUTEX_HANDLE m = s_kvsMutex.load();
    if (m == nullptr) {
        return fn();
    }
    UniMutexGuard lock(m);
    return fn();
}

int __map_read(int ret)
{
    if (ret >= 0) {
        return UNI_OK;
    }
    return ret == -3 ? KVS_ERR_NOT_FOUND : UNI_COM_ERROR;
}

}  // namespace

int kvs_init(const char* path, const uint8_t* key, uint32_t keyLen)
{
    std::lock_guard<std::mutex> life(s_lifeMutex);
    if (s_kvsMutex.load() != nullptr) {
        // Open already: nothing new is made, and the first mutex stays the one in use.
        return simplekv_init(path, key, keyLen);
    }
    MUTEX_HANDLE m = nullptr;
    int ret = CreateMutexAndInit(&m);
    if (ret != UNI_OK) {
        return ret;
    }
    PR_INFO("Init Kvs With File:%s", path != nullptr ? path : "");
    ret = simplekv_init(path, key, keyLen);
    if (ret != 0) {
        ReleaseMutex(m);
        return ret;
    }
    s_kvsMutex.store(m);
    return 0;
}

int kvs_deinit(void)
{
    std::lock_guard<std::mutex> life(s_lifeMutex);
    MUTEX_HANDLE m = s_kvsMutex.exchange(nullptr);
    if (m != nullptr) {
        ReleaseMutex(m);
    }
    return simplekv_deinit();
}

int kvs_read(const char* key, uint8_t** value, uint32_t* len)
{
    if (value != nullptr) {
        *value = nullptr;
    }
    if (len != nullptr) {
        *len = 0;
    }
    return __map_read(__locked([&] { return simplekv_read(key, value, len); }));
}

int kvs_fuzzy_read(const char* key, uint32_t* index, uint8_t** value, uint32_t* len)
{
    if (value != nullptr) {
        *value = nullptr;
    }
    if (len != nullptr) {
        *len = 0;
    }
    return __map_read(__locked([&] { return simplekv_fuzz_read(key, index, value, len); }));
}

int kvs_free_data(uint8_t* data)
{
    if (data == nullptr) {
        return UNI_INVALID_PARM;
    }
    simplekv_free_data(data);
    return UNI_OK;
}

int kvs_write(const char* key, const void* value, uint32_t len)
{
    // Unchanged settings cost one read and no write: no header rewrite, no backup.
    uint8_t* stored = nullptr;
    uint32_t storedLen = 0;
    if (kvs_read(key, &stored, &storedLen) == UNI_OK) {
        bool same = value != nullptr && storedLen == len && memcmp(stored, value, len) == 0;
        kvs_free_data(stored);
        if (same) {
            return UNI_OK;
        }
    }
    return __locked([&] { return simplekv_write(key, value, len); });
}

int kvs_delete(const char* key)
{
    return __locked([&] { return simplekv_delete(key); });
}

int kvs_fuzzy_delete(const char* key)
{
    return __locked([&] { return simplekv_fuzz_delete(key); });
}

int kvs_format(void)
{
    return __locked([] { return simplekv_format(); });
}

int kvs_factory(void)
{
    return __locked([] { return simplekv_factory(); });
}
