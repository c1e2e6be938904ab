// CRC-32 of the settings store: the whole header on every write and each value on every read.
#include "noxa_adapter/utilities/hash_crc32.h"

#include <benchmark/benchmark.h>
#include <vector>

static void BM_HashCrc32(benchmark::State& state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(hash_crc32(data.data(), static_cast<uint32_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
// A 64-byte value and the largest header range of the store (24 + 56 x 512 bytes).
BENCHMARK(BM_HashCrc32)->Arg(64)->Arg(28696);

BENCHMARK_MAIN();
