#include "noxa_adapter/utilities/mem_pool.h"

#include "noxa_adapter/system/uni_mutex.h"
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/uni_log.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

struct MEM_POOL_MGR_S {
    uint32_t count;
    LIST_HEAD partitions;
    MUTEX_HANDLE mutex;
};

constexpr MEM_POOL_SETUP_S kDefaultPool[] = {{16, 64}, {32, 32}, {64, 32}, {256, 8}};
constexpr uint32_t kBlockAlign = 8;

std::atomic<MEM_POOL_MGR_S*> s_pool{nullptr};
#ifdef NOXA_MALLOC_PASSTHROUGH
std::atomic<int> s_passThrough{1};
#else
std::atomic<int> s_passThrough{0};
#endif

// Partition records and areas come from the system allocator: a record inside another
// partition's area would be freed under itself when the pool is released.
MEM_PARTITION_S* __new_partition(uint32_t nBlks, uint32_t blkSize)
{
    auto* p = static_cast<MEM_PARTITION_S*>(malloc(sizeof(MEM_PARTITION_S)));
    if (p == nullptr) {
        return nullptr;
    }
    size_t bytes = static_cast<size_t>(blkSize) * nBlks;
    auto* area = static_cast<uint8_t*>(malloc(bytes));
    if (area == nullptr) {
        free(p);
        return nullptr;
    }
    *p = MEM_PARTITION_S{};
    uni_list_init(&p->node);
    p->begin = area;
    p->end = area + bytes - 1;
    p->memBlkSize = blkSize;
    p->memNBlks = nBlks;
    p->memNFree = nBlks;
    // Chained in address order, so the first blocks handed out are at the start of the area.
    for (uint32_t i = 0; i < nBlks; ++i) {
        void* next = i + 1 < nBlks ? area + static_cast<size_t>(i + 1) * blkSize : nullptr;
        *reinterpret_cast<void**>(area + static_cast<size_t>(i) * blkSize) = next;
    }
    p->pMemFreeList = area;
    return p;
}

void __free_partition(MEM_PARTITION_S* p)
{
    free(p->begin);
    free(p);
}

void* __pop(MEM_PARTITION_S* p)
{
    void* block = p->pMemFreeList;
    if (block != nullptr) {
        p->pMemFreeList = *static_cast<void**>(block);
        --p->memNFree;
    }
    return block;
}

int __push(MEM_PARTITION_S* p, void* block)
{
    if (p->memNFree >= p->memNBlks) {
        return UNI_MEM_PARTITION_FULL;
    }
    *static_cast<void**>(block) = p->pMemFreeList;
    p->pMemFreeList = block;
    ++p->memNFree;
    return UNI_OK;
}

bool __owns(const MEM_PARTITION_S* p, const void* addr)
{
    auto* a = static_cast<const uint8_t*>(addr);
    return a >= p->begin && a <= p->end;
}

void __release_all_partitions(MEM_POOL_MGR_S* pool)
{
    UNI_LIST_FOR_EACH_SAFE(pos, nxt, &pool->partitions) {
        uni_list_del(pos);
        __free_partition(UNI_LIST_ENTRY(pos, MEM_PARTITION_S, node));
    }
    pool->count = 0;
}

}  // namespace

int MemPoolInit(void)
{
    return SysMemoryPoolSetup(kDefaultPool, sizeof(kDefaultPool) / sizeof(kDefaultPool[0]));
}

int SysMemoryPoolSetup(const MEM_POOL_SETUP_S* table, uint32_t rows)
{
    if (table == nullptr) {
        return UNI_INVALID_PARM;
    }
    if (s_pool.load() == nullptr) {
        auto* pool = static_cast<MEM_POOL_MGR_S*>(malloc(sizeof(MEM_POOL_MGR_S)));
        if (pool == nullptr) {
            return UNI_MALLOC_FAILED;
        }
        *pool = MEM_POOL_MGR_S{};
        uni_list_init(&pool->partitions);
        if (CreateMutexAndInit(&pool->mutex) != UNI_OK) {
            free(pool);
            return UNI_MEM_POOL_MUTEX_FAILED;
        }
        MEM_POOL_MGR_S* expected = nullptr;
        if (!s_pool.compare_exchange_strong(expected, pool)) {
            ReleaseMutex(pool->mutex);
            free(pool);
        }
    }
    for (uint32_t i = 0; i < rows; ++i) {
        int ret = CreateMemPartition(table[i].blkNum, table[i].blkSize, nullptr);
        if (ret != UNI_OK) {
            MEM_POOL_MGR_S* pool = s_pool.load();
            UniMutexGuard lock(pool->mutex);
            __release_all_partitions(pool);
            return ret;
        }
    }
    return UNI_OK;
}

int CreateMemPartition(uint32_t nBlks, uint32_t blkSize, MEM_PARTITION_S** pPartition)
{
    // A free block holds the link to the next one.
    if (blkSize < sizeof(void*) || nBlks < 2) {
        return UNI_INVALID_PARM;
    }
    blkSize = (blkSize + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
    MEM_POOL_MGR_S* pool = s_pool.load();
    if (pPartition == nullptr && pool == nullptr) {
        return UNI_INVALID_PARM;
    }
    MEM_PARTITION_S* p = __new_partition(nBlks, blkSize);
    if (p == nullptr) {
        return UNI_MALLOC_FAILED;
    }
    if (pPartition != nullptr) {
        *pPartition = p;
        return UNI_OK;
    }
    UniMutexGuard lock(pool->mutex);
    p->inPool = 1;
    uni_list_add_tail(&p->node, &pool->partitions);
    ++pool->count;
    return UNI_OK;
}

void* GetMemBlock(uint32_t size, int* pErr)
{
    int err = UNI_MEM_PARTITION_NOT_FOUND;
    void* block = nullptr;
    MEM_POOL_MGR_S* pool = s_pool.load();
    if (pool == nullptr) {
        err = UNI_INVALID_PARM;
    } else {
        UniMutexGuard lock(pool->mutex);
        UNI_LIST_FOR_EACH(pos, &pool->partitions) {
            auto* p = UNI_LIST_ENTRY(pos, MEM_PARTITION_S, node);
            if (p->memBlkSize >= size && p->memNFree > 0) {
                block = __pop(p);
                err = UNI_OK;
                break;
            }
        }
    }
    if (pErr != nullptr) {
        *pErr = err;
    }
    return block;
}

int PutMemBlock(MEM_PARTITION_S* partition, void* block)
{
    if (partition == nullptr || block == nullptr) {
        return UNI_INVALID_PARM;
    }
    return __push(partition, block);
}

int FreeMemBlock(void* addr)
{
    MEM_POOL_MGR_S* pool = s_pool.load();
    if (pool == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(pool->mutex);
    UNI_LIST_FOR_EACH(pos, &pool->partitions) {
        auto* p = UNI_LIST_ENTRY(pos, MEM_PARTITION_S, node);
        if (__owns(p, addr)) {
            return __push(p, addr);
        }
    }
    return UNI_MEM_PARTITION_NOT_FOUND;
}

void* GetMemBlockFromPartition(MEM_PARTITION_S* partition, int* pErr)
{
    MEM_POOL_MGR_S* pool = s_pool.load();
    int err = UNI_OK;
    void* block = nullptr;
    if (partition == nullptr || pErr == nullptr || pool == nullptr) {
        err = UNI_INVALID_PARM;
    } else {
        UniMutexGuard lock(pool->mutex);
        block = __pop(partition);
        if (block == nullptr) {
            err = UNI_MEM_PARTITION_EMPTY;
        }
    }
    if (pErr != nullptr) {
        *pErr = err;
    }
    return block;
}

int PutMemBlockToPartition(MEM_PARTITION_S* partition, void* block)
{
    MEM_POOL_MGR_S* pool = s_pool.load();
    if (partition == nullptr || block == nullptr || pool == nullptr) {
        return UNI_INVALID_PARM;
    }
    UniMutexGuard lock(pool->mutex);
    return __push(partition, block);
}

int DeleteMemPartition(MEM_PARTITION_S* partition)
{
    if (partition == nullptr) {
        return UNI_INVALID_PARM;
    }
    MEM_POOL_MGR_S* pool = s_pool.load();
    if (partition->inPool != 0 && pool != nullptr) {
        UniMutexGuard lock(pool->mutex);
        uni_list_del(&partition->node);
        --pool->count;
    }
    __free_partition(partition);
    return UNI_OK;
}

int ReleaseMemPartitions(void)
{
    MEM_POOL_MGR_S* pool = s_pool.exchange(nullptr);
    if (pool == nullptr) {
        return UNI_OK;
    }
    __release_all_partitions(pool);
    // The pool is unpublished first: releasing the mutex frees its block through Free.
    ReleaseMutex(pool->mutex);
    free(pool);
    return UNI_OK;
}

void ShowMemPartitions(void)
{
    MEM_POOL_MGR_S* pool = s_pool.load();
    if (pool == nullptr) {
        return;
    }
    UniMutexGuard lock(pool->mutex);
    int index = 0;
    UNI_LIST_FOR_EACH(pos, &pool->partitions) {
        auto* p = UNI_LIST_ENTRY(pos, MEM_PARTITION_S, node);
        uni_log_print_raw("mem partition index:%d\r\n", index++);
        uni_log_print_raw("begin:%p\r\n", static_cast<void*>(p->begin));
        uni_log_print_raw("end:%p\r\n", static_cast<void*>(p->end));
        uni_log_print_raw("pMemFreeList:%p\r\n", p->pMemFreeList);
        uni_log_print_raw("memBlkSize:%d\r\n", p->memBlkSize);
        uni_log_print_raw("memNBlks:%d\r\n", p->memNBlks);
        uni_log_print_raw("memNFree:%d\r\n", p->memNFree);
        uni_log_print_raw("***********************************\r\n");
    }
}

void* Malloc(size_t size)
{
    if (s_passThrough.load(std::memory_order_relaxed) == 0 && size <= UINT32_MAX) {
        void* block = GetMemBlock(static_cast<uint32_t>(size), nullptr);
        if (block != nullptr) {
            return block;
        }
    }
    void* p = malloc(size);
    if (p == nullptr) {
        PR_ERR("SysMalloc failed size:0x%x", static_cast<unsigned>(size));
    }
    return p;
}

void Free(void* addr)
{
    if (addr == nullptr) {
        return;
    }
    int ret = FreeMemBlock(addr);
    if (ret == UNI_MEM_PARTITION_NOT_FOUND || ret == UNI_INVALID_PARM) {
        free(addr);
    }
}

void MemPoolSetPassThrough(int on)
{
    s_passThrough.store(on != 0 ? 1 : 0);
}

int MemPoolGetPassThrough(void)
{
    return s_passThrough.load();
}
