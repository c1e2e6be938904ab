// Malloc/Free of the pools against the system allocator, for each pool block size.
#include "noxa_adapter/utilities/mem_pool.h"

#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

void SetUpPool()
{
    static bool done = [] {
        MemPoolSetPassThrough(0);
        return MemPoolInit() == 0;
    }();
    (void)done;
}

// One block taken and given back.
void BM_PoolMallocFree(benchmark::State& state)
{
    SetUpPool();
    const auto size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* p = Malloc(size);
        benchmark::DoNotOptimize(p);
        Free(p);
    }
}

void BM_SystemMallocFree(benchmark::State& state)
{
    const auto size = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        void* p = malloc(size);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

// A burst of 8 held at once: the 256-byte partition (8 blocks) just suffices.
void BM_PoolBurst8(benchmark::State& state)
{
    SetUpPool();
    const auto size = static_cast<size_t>(state.range(0));
    void* held[8];
    for (auto _ : state) {
        for (void*& p : held) {
            p = Malloc(size);
        }
        benchmark::DoNotOptimize(held);
        for (void* p : held) {
            Free(p);
        }
    }
}

void BM_SystemBurst8(benchmark::State& state)
{
    const auto size = static_cast<size_t>(state.range(0));
    void* held[8];
    for (auto _ : state) {
        for (void*& p : held) {
            p = malloc(size);
        }
        benchmark::DoNotOptimize(held);
        for (void* p : held) {
            free(p);
        }
    }
}

BENCHMARK(BM_PoolMallocFree)->Arg(16)->Arg(32)->Arg(64)->Arg(256);
BENCHMARK(BM_SystemMallocFree)->Arg(16)->Arg(32)->Arg(64)->Arg(256);
BENCHMARK(BM_PoolBurst8)->Arg(16)->Arg(32)->Arg(64)->Arg(256);
BENCHMARK(BM_SystemBurst8)->Arg(16)->Arg(32)->Arg(64)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
