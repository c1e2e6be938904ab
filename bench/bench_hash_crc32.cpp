// CRC-32 of the settings store: the whole header on every write and each value on every read.
// hash_crc32 (zlib's crc32) beside the byte-table loop it replaced, kept for one comparison; the
// side-by-side case times both on the same bytes in turns and prints the speed-up.
#include "noxa_adapter/utilities/hash_crc32.h"

#include <array>
#include <benchmark/benchmark.h>
#include <chrono>
#include <vector>

namespace {

constexpr std::array<uint32_t, 256> TableOf()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = TableOf();

// The former hash_crc32: one table look-up a byte.
uint32_t TableCrc32(const uint8_t* data, uint32_t len)
{
    if (data == nullptr || len == 0) {
        return 0;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < len; ++i) {
        crc = kTable[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

std::vector<uint8_t> Data(int64_t n)
{
    std::vector<uint8_t> data(static_cast<size_t>(n));
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    return data;
}

template <uint32_t (*Crc)(const uint8_t*, uint32_t)>
void BM_Crc(benchmark::State& state)
{
    std::vector<uint8_t> data = Data(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc(data.data(), static_cast<uint32_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// Both on the same bytes, in turns of 1,000 calls: GB/s of each and the speed-up.
void BM_SideBySide(benchmark::State& state)
{
    std::vector<uint8_t> data = Data(state.range(0));
    auto len = static_cast<uint32_t>(data.size());
    if (hash_crc32(data.data(), len) != TableCrc32(data.data(), len)) {
        state.SkipWithError("the two disagree");
        return;
    }
    constexpr int kTurn = 1000;
    double ns[2] = {0, 0};
    for (auto _ : state) {
        for (int which = 0; which < 2; ++which) {
            auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < kTurn; ++i) {
                benchmark::DoNotOptimize(which == 0 ? hash_crc32(data.data(), len) : TableCrc32(data.data(), len));
            }
            ns[which] += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        }
    }
    double bytes = static_cast<double>(state.iterations()) * kTurn * static_cast<double>(len);
    state.counters["zlib_GBps"] = bytes / ns[0];
    state.counters["table_GBps"] = bytes / ns[1];
    state.counters["speedup"] = ns[1] / ns[0];
}

}  // namespace

// A 64-byte value and the largest header range of the store (24 + 56 x 512 bytes).
BENCHMARK_TEMPLATE(BM_Crc, hash_crc32)->Arg(64)->Arg(28696);
BENCHMARK_TEMPLATE(BM_Crc, TableCrc32)->Arg(64)->Arg(28696);
BENCHMARK(BM_SideBySide)->Arg(64)->Arg(28696);

BENCHMARK_MAIN();
