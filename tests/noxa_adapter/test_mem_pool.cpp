// The memory pools themselves (pass-through off): partition order, fall-back, ownership on Free,
// and many threads allocating at once.
#include "noxa_adapter/uni_error_code.h"
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_adapter/utilities/uni_log.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string gShown;

void CaptureShow(const char* text)
{
    gShown += text;
}

struct PartitionInfo {
    uintptr_t begin;
    uintptr_t end;
    uint32_t blkSize;
    uint32_t nBlks;
    uint32_t nFree;
};

// What ShowMemPartitions prints, parsed back.
std::vector<PartitionInfo> Partitions()
{
    gShown.clear();
    ShowMemPartitions();
    std::vector<PartitionInfo> out;
    // One record of eight texts per partition.
    std::istringstream in(gShown);
    std::string line;
    std::vector<std::string> fields;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        fields.push_back(line.substr(line.find(':') + 1));
        if (fields.size() == 8) {
            EXPECT_EQ(std::to_string(out.size()), fields[0]);
            EXPECT_EQ(std::string(35, '*'), line);
            out.push_back({std::stoul(fields[1], nullptr, 16), std::stoul(fields[2], nullptr, 16),
                           static_cast<uint32_t>(std::stoul(fields[4])), static_cast<uint32_t>(std::stoul(fields[5])),
                           static_cast<uint32_t>(std::stoul(fields[6]))});
            fields.clear();
        }
    }
    EXPECT_TRUE(fields.empty()) << gShown;
    return out;
}

// Index of the partition holding the address; -1 for a system block.
int PartitionOf(const std::vector<PartitionInfo>& parts, const void* p)
{
    auto a = reinterpret_cast<uintptr_t>(p);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (a >= parts[i].begin && a <= parts[i].end) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

class MemPool : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, uni_log_init(LOG_LEVEL_ERR, 256, CaptureShow));
        MemPoolSetPassThrough(0);
        ASSERT_EQ(0, MemPoolInit());
        mParts = Partitions();
        ASSERT_EQ(4u, mParts.size());
    }
    void TearDown() override
    {
        ReleaseMemPartitions();
        uni_log_release();
    }
    std::vector<PartitionInfo> mParts;
};

}  // namespace

TEST_F(MemPool, FirstFitInTableOrderThenTheSystem)
{
    std::vector<void*> blocks;
    // The first 64 small requests fill the 16-byte partition from its start, in address order.
    for (int i = 0; i < 64; ++i) {
        blocks.push_back(Malloc(1 + i % 16));
        ASSERT_EQ(0, PartitionOf(mParts, blocks.back())) << i;
        EXPECT_EQ(mParts[0].begin + 16u * i, reinterpret_cast<uintptr_t>(blocks.back()));
    }
    blocks.push_back(Malloc(16));
    EXPECT_EQ(1, PartitionOf(mParts, blocks.back())) << "the 65th lands in the 32-byte partition";
    for (int i = 65; i < 136; ++i) {
        blocks.push_back(Malloc(16));
        EXPECT_NE(-1, PartitionOf(mParts, blocks.back())) << i;
    }
    void* sys = Malloc(16);
    EXPECT_EQ(-1, PartitionOf(mParts, sys)) << "the 137th comes from the system allocator";
    for (const PartitionInfo& p : Partitions()) {
        EXPECT_EQ(0u, p.nFree);
    }
    Free(sys);
    for (void* b : blocks) {
        Free(b);
    }
    for (const PartitionInfo& p : Partitions()) {
        EXPECT_EQ(p.nBlks, p.nFree);
    }
}

TEST_F(MemPool, SizesPickTheirPartition)
{
    struct Row {
        size_t size;
        int partition;
    };
    const Row rows[] = {{0, 0}, {16, 0}, {17, 1}, {32, 1}, {33, 2}, {64, 2}, {65, 3}, {256, 3}, {257, -1}};
    for (const Row& row : rows) {
        void* p = Malloc(row.size);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(row.partition, PartitionOf(mParts, p)) << row.size << " bytes";
        memset(p, 0xA5, row.size);
        Free(p);
    }
}

TEST_F(MemPool, FreeDecidesByAddress)
{
    Free(nullptr);
    void* sys = Malloc(1000);
    ASSERT_EQ(-1, PartitionOf(mParts, sys));
    Free(sys);  // to the system allocator: AddressSanitizer sees any other path
    EXPECT_EQ(mParts[0].nBlks, Partitions()[0].nFree);

    void* a = Malloc(8);
    void* b = Malloc(8);
    EXPECT_EQ(UNI_MEM_PARTITION_NOT_FOUND, FreeMemBlock(&a));
    Free(a);
    EXPECT_EQ(a, Malloc(8)) << "a freed block is the next one handed out";
    Free(a);
    Free(b);

    // Blocks from the pool still go back to it after the pass-through is turned on.
    void* pooled = Malloc(8);
    MemPoolSetPassThrough(1);
    void* direct = Malloc(8);
    EXPECT_EQ(-1, PartitionOf(mParts, direct));
    Free(pooled);
    Free(direct);
    MemPoolSetPassThrough(0);
    EXPECT_EQ(mParts[0].nBlks, Partitions()[0].nFree);
}

TEST_F(MemPool, PartitionArguments)
{
    MEM_PARTITION_S* part = nullptr;
    struct Row {
        uint32_t nBlks;
        uint32_t blkSize;
        int code;
    };
    // A free block holds a pointer, so blocks below 8 bytes are refused.
    const Row rows[] = {{10, 3, UNI_INVALID_PARM}, {1, 16, UNI_INVALID_PARM}, {10, 4, UNI_INVALID_PARM},
                        {10, 7, UNI_INVALID_PARM}, {0, 16, UNI_INVALID_PARM}, {2, 8, UNI_OK}};
    for (const Row& row : rows) {
        part = nullptr;
        EXPECT_EQ(row.code, CreateMemPartition(row.nBlks, row.blkSize, &part)) << row.nBlks << "x" << row.blkSize;
        if (part != nullptr) {
            DeleteMemPartition(part);
        }
    }
    EXPECT_EQ(4u, Partitions().size()) << "stand-alone partitions joined the pool";
}

TEST_F(MemPool, StandAlonePartitionRoundsAndCounts)
{
    MEM_PARTITION_S* part = nullptr;
    ASSERT_EQ(0, CreateMemPartition(3, 12, &part));
    EXPECT_EQ(16u, part->memBlkSize) << "blocks are aligned to 8";
    int err = 1;
    std::vector<void*> got;
    for (int i = 0; i < 3; ++i) {
        got.push_back(GetMemBlockFromPartition(part, &err));
        EXPECT_EQ(0, err);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(got.back()) % 8);
        memset(got.back(), 0x5A, 12);
    }
    EXPECT_EQ(nullptr, GetMemBlockFromPartition(part, &err));
    EXPECT_EQ(UNI_MEM_PARTITION_EMPTY, err);
    for (void* b : got) {
        EXPECT_EQ(0, PutMemBlockToPartition(part, b));
    }
    EXPECT_EQ(UNI_MEM_PARTITION_FULL, PutMemBlockToPartition(part, got[0]));
    EXPECT_EQ(UNI_MEM_PARTITION_FULL, PutMemBlock(part, got[0]));
    EXPECT_EQ(UNI_INVALID_PARM, PutMemBlockToPartition(nullptr, got[0]));
    EXPECT_EQ(nullptr, GetMemBlockFromPartition(nullptr, &err));
    EXPECT_EQ(UNI_INVALID_PARM, err);
    EXPECT_EQ(0, DeleteMemPartition(part));
    EXPECT_EQ(UNI_INVALID_PARM, DeleteMemPartition(nullptr));
}

TEST_F(MemPool, FailingRowReleasesEveryPartition)
{
    const MEM_POOL_SETUP_S bad[] = {{16, 4}, {2, 4}};
    EXPECT_EQ(UNI_INVALID_PARM, SysMemoryPoolSetup(bad, 2));
    EXPECT_TRUE(Partitions().empty());
    void* p = Malloc(16);
    EXPECT_EQ(-1, PartitionOf(mParts, p));
    Free(p);
}

TEST_F(MemPool, ManyThreadsMallocAndFree)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    std::atomic<int> corrupt{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &corrupt] {
            std::mt19937 rng(static_cast<unsigned>(t));
            std::vector<std::pair<uint8_t*, size_t>> held;
            for (int i = 0; i < kRounds; ++i) {
                if (held.size() < 12 && (rng() % 3 != 0 || held.empty())) {
                    size_t size = 1 + rng() % 300;
                    auto* p = static_cast<uint8_t*>(Malloc(size));
                    // Each owner stamps its block: two owners of one block show as a changed stamp.
                    memset(p, t * 16 + static_cast<int>(size % 16), size);
                    held.emplace_back(p, size);
                } else {
                    size_t k = rng() % held.size();
                    auto [p, size] = held[k];
                    uint8_t stamp = static_cast<uint8_t>(t * 16 + static_cast<int>(size % 16));
                    for (size_t j = 0; j < size; ++j) {
                        if (p[j] != stamp) {
                            corrupt++;
                            break;
                        }
                    }
                    Free(p);
                    held.erase(held.begin() + static_cast<long>(k));
                }
            }
            for (auto& [p, size] : held) {
                Free(p);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(0, corrupt.load());
    for (const PartitionInfo& p : Partitions()) {
        EXPECT_EQ(p.nBlks, p.nFree) << "a block of " << p.blkSize << " bytes was lost";
    }
}

TEST(MemPoolNone, MallocAndFreeWithoutAPool)
{
    void* p = Malloc(16);
    ASSERT_NE(nullptr, p);
    Free(p);
    int err = 0;
    EXPECT_EQ(nullptr, GetMemBlock(16, &err));
    EXPECT_EQ(UNI_INVALID_PARM, err);
    EXPECT_EQ(UNI_INVALID_PARM, FreeMemBlock(p));
    EXPECT_EQ(UNI_INVALID_PARM, CreateMemPartition(4, 16, nullptr));
}
