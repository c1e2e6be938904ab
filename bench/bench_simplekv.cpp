// The key-value store on this machine's disk: one-value updates of 16 bytes and 1 KB with the
// backup held back (the steady state between the once-a-minute copies), an update that also
// takes the backup, and opening. Bytes written and fsyncs are counted through the engine's
// file-I/O interface and reported per update.
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/file/kv_file_io.h"
#include "noxa_base/kv_storge/file/simplekv.h"
#include "platform/board_path.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// The board's files, counted.
class CountingIo : public KvFileIo {
public:
    KV_FILE_S* Open(const char* path, const char* mode) override { return mIo->Open(path, mode); }
    int Close(KV_FILE_S* f) override { return mIo->Close(f); }
    int64_t Read(KV_FILE_S* f, void* buf, uint32_t len) override { return mIo->Read(f, buf, len); }
    int64_t Write(KV_FILE_S* f, const void* buf, uint32_t len) override
    {
        bytes += len;
        return mIo->Write(f, buf, len);
    }
    int64_t Seek(KV_FILE_S* f, int64_t offset, int whence) override { return mIo->Seek(f, offset, whence); }
    int Flush(KV_FILE_S* f) override { return mIo->Flush(f); }
    int Fsync(KV_FILE_S* f) override
    {
        ++fsyncs;
        return mIo->Fsync(f);
    }
    int Rename(const char* from, const char* to) override { return mIo->Rename(from, to); }
    int Remove(const char* path) override { return mIo->Remove(path); }
    int Access(const char* path) override { return mIo->Access(path); }
    int SyncDir(const char* dir) override
    {
        ++fsyncs;
        return mIo->SyncDir(dir);
    }

    uint64_t bytes = 0;
    uint64_t fsyncs = 0;

private:
    KvFileIo* mIo = kv_board_file_io();
};

// A store with 20 other settings in a fresh folder on the disk, removed afterwards.
class Store {
public:
    Store()
    {
        // The folder is the board root, so the store's files stay inside it.
        char tmpl[] = "/tmp/doorphone-kvbench-XXXXXX";
        mDir = std::string(mkdtemp(tmpl)) + "/";
        setenv("DOORPHONE_ROOT", mDir.c_str(), 1);
        BoardReloadRoot();
        simplekv_set_file_io(&io);
        simplekv_init("/", kKey, 16);
        for (int i = 0; i < 20; ++i) {
            std::string v(40, static_cast<char>('a' + i));
            simplekv_write(("setting" + std::to_string(i)).c_str(), v.data(), static_cast<uint32_t>(v.size()));
        }
    }
    ~Store()
    {
        simplekv_deinit();
        simplekv_set_file_io(nullptr);
        std::filesystem::remove_all(mDir);
        unsetenv("DOORPHONE_ROOT");
        BoardReloadRoot();
    }

    CountingIo io;

private:
    std::string mDir;
};

void Report(benchmark::State& state, const CountingIo& io, uint64_t bytes0, uint64_t fsyncs0)
{
    auto n = static_cast<double>(state.iterations());
    state.counters["bytes_per_update"] = static_cast<double>(io.bytes - bytes0) / n;
    state.counters["fsyncs_per_update"] = static_cast<double>(io.fsyncs - fsyncs0) / n;
}

// Rewrites of one key with a new value each time; the clock stands, so after the first change
// the backup waits for its timer.
void BM_Update(benchmark::State& state)
{
    UniTestClock clock;
    Store store;
    std::string value(static_cast<size_t>(state.range(0)), 'v');
    simplekv_write("target", value.data(), static_cast<uint32_t>(value.size()));
    uint64_t bytes0 = store.io.bytes;
    uint64_t fsyncs0 = store.io.fsyncs;
    uint32_t i = 0;
    for (auto _ : state) {
        value[0] = static_cast<char>('a' + ++i % 26);
        if (simplekv_write("target", value.data(), static_cast<uint32_t>(value.size())) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    Report(state, store.io, bytes0, fsyncs0);
}
BENCHMARK(BM_Update)->Arg(16)->Arg(1024)->Unit(benchmark::kMicrosecond);

// The same with a minute gone before each change: every update copies the whole file first.
void BM_UpdateWithBackup(benchmark::State& state)
{
    UniTestClock clock;
    Store store;
    std::string value(static_cast<size_t>(state.range(0)), 'v');
    uint64_t bytes0 = store.io.bytes;
    uint64_t fsyncs0 = store.io.fsyncs;
    uint32_t i = 0;
    for (auto _ : state) {
        clock.Advance(61000);
        value[0] = static_cast<char>('a' + ++i % 26);
        simplekv_write("target", value.data(), static_cast<uint32_t>(value.size()));
    }
    Report(state, store.io, bytes0, fsyncs0);
}
BENCHMARK(BM_UpdateWithBackup)->Arg(16)->Unit(benchmark::kMicrosecond);

// Opening a store of 20 values: header, every value's CRC, journal.
void BM_Open(benchmark::State& state)
{
    UniTestClock clock;
    Store store;
    for (auto _ : state) {
        simplekv_deinit();
        if (simplekv_init("/", kKey, 16) != 0) {
            state.SkipWithError("open failed");
            break;
        }
    }
}
BENCHMARK(BM_Open)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
