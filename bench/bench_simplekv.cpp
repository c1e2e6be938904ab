// The key-value store on this machine's disk: one-value updates of 16 bytes and 1 KB with the
// backup held back (the steady state between the once-a-minute copies), an update that also
// takes the backup, and opening. Bytes written and fsyncs are counted through the engine's
// file-I/O interface and reported per update, with the distinct 4 KiB pages of each file written
// between two fsyncs of it (from the store's own offsets) and the kernel's write_bytes of this
// process beside them (it counts whole page-cache folios, so it can say 16 KiB for a 16-byte
// change). A plain append-log of the same records on the same disk is the yardstick, and the
// side-by-side case prints the store's pages per update against it in both of the store's cases:
// a burst of changes (the clock stands, the backup waits for its timer) and a change after a
// quiet minute (the usual one: the backup is due and taken with it).
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/file/kv_file_io.h"
#include "noxa_base/kv_storge/file/simplekv.h"
#include "platform/board_path.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <unistd.h>

namespace {

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr uint64_t kPage = 4096;

// The kernel's count of bytes this process sent to the disk.
uint64_t IoWriteBytes()
{
    std::ifstream in("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (in >> key >> value) {
        if (key == "write_bytes:") {
            return value;
        }
    }
    return 0;
}

// The pages of each file written since its last fsync, from the write offsets.
class PageCounter {
public:
    void Wrote(const void* file, uint64_t pos, uint64_t len)
    {
        for (uint64_t p = pos / kPage; len != 0 && p <= (pos + len - 1) / kPage; ++p) {
            mDirty[file].insert(p);
        }
    }
    void Synced(const void* file)
    {
        auto it = mDirty.find(file);
        if (it != mDirty.end()) {
            pages += it->second.size();
            mDirty.erase(it);
        }
    }
    uint64_t pages = 0;

private:
    std::map<const void*, std::set<uint64_t>> mDirty;
};

// The board's files, counted.
class CountingIo : public KvFileIo {
public:
    KV_FILE_S* Open(const char* path, const char* mode) override
    {
        KV_FILE_S* f = mIo->Open(path, mode);
        mPos[f] = 0;
        return f;
    }
    int Close(KV_FILE_S* f) override
    {
        mPos.erase(f);
        return mIo->Close(f);
    }
    int64_t Read(KV_FILE_S* f, void* buf, uint32_t len) override
    {
        int64_t n = mIo->Read(f, buf, len);
        mPos[f] += n > 0 ? static_cast<uint64_t>(n) : 0;
        return n;
    }
    int64_t Write(KV_FILE_S* f, const void* buf, uint32_t len) override
    {
        bytes += len;
        int64_t n = mIo->Write(f, buf, len);
        if (n > 0) {
            pageCount.Wrote(f, mPos[f], static_cast<uint64_t>(n));
            mPos[f] += static_cast<uint64_t>(n);
        }
        return n;
    }
    int64_t Seek(KV_FILE_S* f, int64_t offset, int whence) override
    {
        int64_t at = mIo->Seek(f, offset, whence);
        if (at >= 0) {
            mPos[f] = static_cast<uint64_t>(at);
        }
        return at;
    }
    int Flush(KV_FILE_S* f) override { return mIo->Flush(f); }
    int Fsync(KV_FILE_S* f) override
    {
        ++fsyncs;
        pageCount.Synced(f);
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
    PageCounter pageCount;

private:
    KvFileIo* mIo = kv_board_file_io();
    std::map<KV_FILE_S*, uint64_t> mPos;
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

    const std::string& Dir() const { return mDir; }

    CountingIo io;

private:
    std::string mDir;
};

// What an update costs, counted from a starting point.
struct Costs {
    uint64_t bytes, fsyncs, pages, ioBytes;
    static Costs Of(const CountingIo& io) { return {io.bytes, io.fsyncs, io.pageCount.pages, IoWriteBytes()}; }
};

void Report(benchmark::State& state, const CountingIo& io, const Costs& from)
{
    auto n = static_cast<double>(state.iterations());
    Costs now = Costs::Of(io);
    state.counters["bytes_per_update"] = static_cast<double>(now.bytes - from.bytes) / n;
    state.counters["fsyncs_per_update"] = static_cast<double>(now.fsyncs - from.fsyncs) / n;
    state.counters["pages_per_update"] = static_cast<double>(now.pages - from.pages) / n;
    state.counters["io_write_bytes_per_update"] = static_cast<double>(now.ioBytes - from.ioBytes) / n;
}

// The yardstick: each update appended to one log as key, length, value and CRC, then fsynced.
class AppendLog {
public:
    explicit AppendLog(const std::string& dir) : mFd(open((dir + "append.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600)) {}
    ~AppendLog() { close(mFd); }
    bool Append(const std::string& key, const std::string& value)
    {
        std::string rec = key + '\0' + std::to_string(value.size()) + '\0' + value + "CRC!";
        if (write(mFd, rec.data(), rec.size()) != static_cast<ssize_t>(rec.size())) {
            return false;
        }
        pageCount.Wrote(this, mSize, rec.size());
        mSize += rec.size();
        ++fsyncs;
        pageCount.Synced(this);
        return fsync(mFd) == 0;
    }
    PageCounter pageCount;
    uint64_t fsyncs = 0;

private:
    int mFd;
    uint64_t mSize = 0;
};

// Rewrites of one key with a new value each time; the clock stands, so after the first change
// the backup waits for its timer.
void BM_Update(benchmark::State& state)
{
    UniTestClock clock;
    Store store;
    std::string value(static_cast<size_t>(state.range(0)), 'v');
    simplekv_write("target", value.data(), static_cast<uint32_t>(value.size()));
    Costs from = Costs::Of(store.io);
    uint32_t i = 0;
    for (auto _ : state) {
        value[0] = static_cast<char>('a' + ++i % 26);
        if (simplekv_write("target", value.data(), static_cast<uint32_t>(value.size())) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    Report(state, store.io, from);
}
BENCHMARK(BM_Update)->Arg(16)->Arg(1024)->Unit(benchmark::kMicrosecond);

// The same with a minute gone before each change: every update copies the whole file first.
void BM_UpdateWithBackup(benchmark::State& state)
{
    UniTestClock clock;
    Store store;
    std::string value(static_cast<size_t>(state.range(0)), 'v');
    Costs from = Costs::Of(store.io);
    uint32_t i = 0;
    for (auto _ : state) {
        clock.Advance(61000);
        value[0] = static_cast<char>('a' + ++i % 26);
        simplekv_write("target", value.data(), static_cast<uint32_t>(value.size()));
    }
    Report(state, store.io, from);
}
BENCHMARK(BM_UpdateWithBackup)->Arg(16)->Unit(benchmark::kMicrosecond);

// The store's 16-byte update beside the append-log's, in turns of 50 on the same disk: pages,
// fsyncs, bytes written and write_bytes per update of each, and the ratios; the store's both in a
// burst (kv_) and each after a quiet minute (kv_quiet_).
void BM_UpdateVsAppendLog(benchmark::State& state)
{
    UniTestClock clock;
    Store store;
    AppendLog log(store.Dir());
    std::string value(16, 'v');
    simplekv_write("target", value.data(), static_cast<uint32_t>(value.size()));
    constexpr int kTurn = 50;
    uint64_t kvPages = 0, kvFsyncs = 0, kvIo = 0, kvBytes = 0, logPages = 0, logFsyncs = 0, logIo = 0, updates = 0;
    uint64_t quietPages = 0, quietFsyncs = 0, quietIo = 0, quietBytes = 0;
    uint32_t i = 0;
    for (auto _ : state) {
        Costs from = Costs::Of(store.io);
        for (int k = 0; k < kTurn; ++k) {
            value[0] = static_cast<char>('a' + ++i % 26);
            if (simplekv_write("target", value.data(), static_cast<uint32_t>(value.size())) != 0) {
                state.SkipWithError("write failed");
                return;
            }
        }
        Costs burst = Costs::Of(store.io);
        kvPages += burst.pages - from.pages;
        kvFsyncs += burst.fsyncs - from.fsyncs;
        kvIo += burst.ioBytes - from.ioBytes;
        kvBytes += burst.bytes - from.bytes;
        for (int k = 0; k < kTurn; ++k) {
            clock.Advance(61000);
            value[0] = static_cast<char>('a' + ++i % 26);
            if (simplekv_write("target", value.data(), static_cast<uint32_t>(value.size())) != 0) {
                state.SkipWithError("write failed");
                return;
            }
        }
        Costs mid = Costs::Of(store.io);
        quietPages += mid.pages - burst.pages;
        quietFsyncs += mid.fsyncs - burst.fsyncs;
        quietIo += mid.ioBytes - burst.ioBytes;
        quietBytes += mid.bytes - burst.bytes;
        uint64_t pages0 = log.pageCount.pages;
        uint64_t fsyncs0 = log.fsyncs;
        for (int k = 0; k < kTurn; ++k) {
            value[0] = static_cast<char>('a' + ++i % 26);
            if (!log.Append("target", value)) {
                state.SkipWithError("append failed");
                return;
            }
        }
        logPages += log.pageCount.pages - pages0;
        logFsyncs += log.fsyncs - fsyncs0;
        logIo += IoWriteBytes() - mid.ioBytes;
        updates += kTurn;
    }
    auto per = [updates](uint64_t v) { return static_cast<double>(v) / static_cast<double>(updates); };
    auto ratio = [](uint64_t a, uint64_t b) { return b != 0 ? static_cast<double>(a) / static_cast<double>(b) : 0; };
    state.counters["kv_pages"] = per(kvPages);
    state.counters["kv_quiet_pages"] = per(quietPages);
    state.counters["log_pages"] = per(logPages);
    state.counters["ratio_pages"] = ratio(kvPages, logPages);
    state.counters["ratio_quiet_pages"] = ratio(quietPages, logPages);
    state.counters["kv_fsyncs"] = per(kvFsyncs);
    state.counters["kv_quiet_fsyncs"] = per(quietFsyncs);
    state.counters["log_fsyncs"] = per(logFsyncs);
    state.counters["kv_bytes"] = per(kvBytes);
    state.counters["kv_quiet_bytes"] = per(quietBytes);
    state.counters["kv_io_write_bytes"] = per(kvIo);
    state.counters["kv_quiet_io_write_bytes"] = per(quietIo);
    state.counters["log_io_write_bytes"] = per(logIo);
    state.counters["ratio_io_write_bytes"] = ratio(kvIo, logIo);
    state.counters["ratio_quiet_io_write_bytes"] = ratio(quietIo, logIo);
}
BENCHMARK(BM_UpdateVsAppendLog)->Iterations(4)->Unit(benchmark::kMillisecond);

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
