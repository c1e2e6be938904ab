// The allocator of the cloud-side runtime: a few fixed-block partitions for the many small,
// short-lived records, with the system allocator behind them. A block from Malloc is given back
// with Free, never with the system free.
#pragma once

#include "noxa_adapter/system/uni_list.h"

#include <cstddef>
#include <cstdint>

// One fixed-block partition: one system-allocator area of memBlkSize x memNBlks bytes, its free
// blocks chained through their first word.
struct MEM_PARTITION_S {
    LIST_HEAD node;          // link in the pool; unused for a stand-alone partition
    uint8_t* begin;          // first byte of the area
    uint8_t* end;            // last byte of the area
    void* pMemFreeList;
    uint32_t memBlkSize;
    uint32_t memNBlks;
    uint32_t memNFree;
    uint32_t inPool;
};

// One row of a pool geometry.
struct MEM_POOL_SETUP_S {
    uint32_t blkSize;
    uint32_t blkNum;
};

// The built-in pool: {16, 64}, {32, 32}, {64, 32}, {256, 8}.
int MemPoolInit(void);
int SysMemoryPoolSetup(const MEM_POOL_SETUP_S* table, uint32_t rows);
// Block sizes below a pointer (the free list lives in the block) or counts below 2 are refused;
// blocks are rounded up to 8 bytes. Without an out pointer the partition joins the pool.
int CreateMemPartition(uint32_t nBlks, uint32_t blkSize, MEM_PARTITION_S** pPartition);
void* GetMemBlock(uint32_t size, int* pErr);
int PutMemBlock(MEM_PARTITION_S* partition, void* block);
int FreeMemBlock(void* addr);
void* GetMemBlockFromPartition(MEM_PARTITION_S* partition, int* pErr);
int PutMemBlockToPartition(MEM_PARTITION_S* partition, void* block);
int DeleteMemPartition(MEM_PARTITION_S* partition);
int ReleaseMemPartitions(void);
void ShowMemPartitions(void);

void* Malloc(size_t size);
void Free(void* addr);

// When on, Malloc goes straight to the system allocator (Free still returns pool blocks to their
// partition). On by default in sanitized builds so overruns of small blocks stay visible.
void MemPoolSetPassThrough(int on);
int MemPoolGetPassThrough(void);
