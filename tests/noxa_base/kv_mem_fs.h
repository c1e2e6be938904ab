// A file system in memory for the key-value engine, with a disk model under it: bytes reach the
// disk only when their file is synced, names (creations, renames, removals) only when the folder
// is. A test can make the N-th operation fail once, or cut the power at it; after a cut the
// "disk" is rebuilt in one of three ways (only what was synced; everything, the last write torn
// in half; a random choice of the unsynced writes and a prefix of the unsynced name changes).
// Opens and reads of one file can be made to fail, as a passing EIO or EMFILE would; pauses only
// add up, they take no time.
#pragma once

#include "noxa_base/kv_storge/file/kv_file_io.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

class MemFs : public KvFileIo {
public:
    enum CrashMode { kDropUnsynced, kKeepTorn, kRandomSubset };
    using Image = std::map<std::string, std::vector<uint8_t>>;

    // Every call counts as one operation.
    uint64_t Ops() const { return mOps; }
    void ResetOps() { mOps = 0; }
    // The power goes at operation k (1-based; 0: never); it and every later one fail.
    void CutAt(uint64_t k) { mCutAt = k; }
    // Operation k fails once (a write stores half its bytes), the others go on.
    void FailAt(uint64_t k) { mFailAt = k; }
    bool Dead() const { return mDead; }
    // The looks (Exists), opens and reads of `path` numbered skip+1 .. skip+times (1-based,
    // counted together) fail; the file itself stays as it is.
    void FailFileOps(const std::string& path, uint32_t skip, uint32_t times)
    {
        mFailPath = path;
        mFailFrom = skip;
        mFailTimes = times;
        mFileOps = 0;
    }
    // The sum of the engine's pauses, in ms.
    uint64_t PausedMs() const { return mPausedMs; }
    // Bytes handed to Write, and the calls of each kind, for the benchmarks' figures.
    uint64_t BytesWritten() const { return mBytesWritten; }
    uint64_t Fsyncs() const { return mFsyncs; }
    // Writes to other files while a journal's removal was not yet durable: after a power cut
    // that journal would come back and be replayed over them.
    uint32_t WritesBeforeJournalGone() const { return mWritesBeforeJournalGone; }
    // One byte of a file changed in place, under the engine's open handles (a bit rotting).
    void Flip(const std::string& name, uint64_t at)
    {
        Inode& inode = *mNames.at(name);
        inode.cur.at(at) ^= 0x5A;
        inode.durable = inode.cur;
    }

    // The disk after the power came back; every open file is gone.
    void Reboot(CrashMode mode, uint32_t seed = 0)
    {
        std::mt19937 rng(seed);
        if (mode == kKeepTorn) {
            mDurableNames = mNames;
        } else {
            size_t keep = mode == kRandomSubset ? rng() % (mPendingDir.size() + 1) : 0;
            for (size_t i = 0; i < keep; ++i) {
                __apply_dir(mDurableNames, mPendingDir[i]);
            }
        }
        for (auto& [name, inode] : mDurableNames) {
            (void)name;
            if (mode == kKeepTorn) {
                inode->durable = inode->cur;
            } else if (mode == kRandomSubset) {
                for (const auto& op : inode->pending) {
                    if (rng() % 2 == 0) {
                        __apply_op(inode->durable, op);
                    }
                }
            }
        }
        mPendingDir.clear();
        mNames = mDurableNames;
        for (auto& [name, inode] : mNames) {
            (void)name;
            inode->cur = inode->durable;
            inode->pending.clear();
        }
        mHandles.clear();
        mDead = false;
        mCutAt = 0;
        mFailAt = 0;
        mFailTimes = 0;
    }

    // The durable content of every file; and a disk made of such an image, all of it synced.
    Image Snapshot() const
    {
        Image out;
        for (const auto& [name, inode] : mDurableNames) {
            out[name] = inode->durable;
        }
        return out;
    }
    void Restore(const Image& image)
    {
        mNames.clear();
        mPendingDir.clear();
        mHandles.clear();
        for (const auto& [name, bytes] : image) {
            auto inode = std::make_shared<Inode>();
            inode->cur = inode->durable = bytes;
            mNames[name] = inode;
        }
        mDurableNames = mNames;
        mDead = false;
        mCutAt = mFailAt = mOps = 0;
        mFailTimes = 0;
        mPausedMs = 0;
    }
    // Direct access to the current content, outside the operation count.
    bool Has(const std::string& name) const { return mNames.count(name) != 0; }
    std::vector<uint8_t> Get(const std::string& name) const
    {
        auto it = mNames.find(name);
        return it == mNames.end() ? std::vector<uint8_t>{} : it->second->cur;
    }
    void Put(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        auto inode = std::make_shared<Inode>();
        inode->cur = inode->durable = bytes;
        mNames[name] = inode;
        mDurableNames[name] = inode;
    }
    void Erase(const std::string& name)
    {
        mNames.erase(name);
        mDurableNames.erase(name);
    }

    KV_FILE_S* Open(const char* path, const char* mode) override
    {
        if (!__tick() || __file_fails(path)) {
            return nullptr;
        }
        bool create = mode[0] == 'w';
        auto it = mNames.find(path);
        std::shared_ptr<Inode> inode;
        if (it != mNames.end()) {
            inode = it->second;
            if (create) {
                __record(*inode, {true, 0, {}});
            }
        } else if (create) {
            inode = std::make_shared<Inode>();
            mNames[path] = inode;
            mPendingDir.push_back({DirOp::kLink, path, "", inode});
        } else {
            return nullptr;
        }
        auto h = std::make_unique<Handle>();
        h->inode = inode;
        h->name = path;
        h->writable = create || strchr(mode, '+') != nullptr;
        auto* key = reinterpret_cast<KV_FILE_S*>(h.get());
        mHandles[key] = std::move(h);
        return key;
    }
    int Close(KV_FILE_S* f) override
    {
        bool ok = __tick();
        mHandles.erase(f);
        return ok ? 0 : -1;
    }
    int64_t Read(KV_FILE_S* f, void* buf, uint32_t len) override
    {
        Handle* h = __handle(f);
        if (!__tick() || h == nullptr || __file_fails(h->name)) {
            return -1;
        }
        const auto& data = h->inode->cur;
        if (h->pos >= data.size()) {
            return 0;
        }
        size_t n = std::min<size_t>(len, data.size() - h->pos);
        memcpy(buf, data.data() + h->pos, n);
        h->pos += n;
        return static_cast<int64_t>(n);
    }
    int64_t Write(KV_FILE_S* f, const void* buf, uint32_t len) override
    {
        Handle* h = __handle(f);
        bool failing = mOps + 1 == mFailAt;
        bool cutting = mOps + 1 == mCutAt;
        if (!__tick()) {
            // Half of the bytes: a short write, or a write torn by the power cut.
            if (h != nullptr && h->writable && (failing || cutting) && len >= 2) {
                __write(h, buf, len / 2);
                return failing ? len / 2 : -1;
            }
            return -1;
        }
        if (h == nullptr || !h->writable) {
            return -1;
        }
        for (const DirOp& op : mPendingDir) {
            if (op.kind == DirOp::kUnlink && op.name != h->name && op.name.size() > 4 &&
                op.name.compare(op.name.size() - 4, 4, "_jnl") == 0) {
                ++mWritesBeforeJournalGone;
                break;
            }
        }
        __write(h, buf, len);
        mBytesWritten += len;
        return len;
    }
    int64_t Seek(KV_FILE_S* f, int64_t offset, int whence) override
    {
        Handle* h = __handle(f);
        if (!__tick() || h == nullptr) {
            return -1;
        }
        int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_END ? static_cast<int64_t>(h->inode->cur.size())
                                                                   : static_cast<int64_t>(h->pos);
        if (base + offset < 0) {
            return -1;
        }
        h->pos = static_cast<uint64_t>(base + offset);
        return static_cast<int64_t>(h->pos);
    }
    int Flush(KV_FILE_S* f) override { return __tick() && __handle(f) != nullptr ? 0 : -1; }
    int Fsync(KV_FILE_S* f) override
    {
        Handle* h = __handle(f);
        if (!__tick() || h == nullptr) {
            return -1;
        }
        h->inode->durable = h->inode->cur;
        h->inode->pending.clear();
        ++mFsyncs;
        return 0;
    }
    int Rename(const char* from, const char* to) override
    {
        if (!__tick()) {
            return -1;
        }
        auto it = mNames.find(from);
        if (it == mNames.end()) {
            return -1;
        }
        DirOp op{DirOp::kRename, from, to, it->second};
        __apply_dir(mNames, op);
        mPendingDir.push_back(op);
        return 0;
    }
    int Remove(const char* path) override
    {
        if (!__tick() || mNames.count(path) == 0) {
            return -1;
        }
        DirOp op{DirOp::kUnlink, path, "", nullptr};
        __apply_dir(mNames, op);
        mPendingDir.push_back(op);
        return 0;
    }
    void Pause(uint32_t ms) override { mPausedMs += ms; }
    int Exists(const char* path) override
    {
        if (!__tick() || __file_fails(path)) {
            return -1;
        }
        return mNames.count(path) != 0 ? 1 : 0;
    }
    int Access(const char* path) override { return __tick() && mNames.count(path) != 0 ? 0 : -1; }
    int SyncDir(const char* dir) override
    {
        (void)dir;
        if (!__tick()) {
            return -1;
        }
        mDurableNames = mNames;
        mPendingDir.clear();
        return 0;
    }

private:
    struct Op {
        bool truncate;
        uint64_t offset;
        std::vector<uint8_t> bytes;
    };
    struct Inode {
        std::vector<uint8_t> cur;
        std::vector<uint8_t> durable;
        std::vector<Op> pending;
    };
    struct DirOp {
        enum Kind { kLink, kRename, kUnlink } kind;
        std::string name;
        std::string to;
        std::shared_ptr<Inode> inode;
    };
    struct Handle {
        std::shared_ptr<Inode> inode;
        std::string name;
        uint64_t pos = 0;
        bool writable = false;
    };
    using Names = std::map<std::string, std::shared_ptr<Inode>>;

    bool __tick()
    {
        ++mOps;
        if (mOps == mCutAt) {
            mDead = true;
        }
        return !mDead && mOps != mFailAt;
    }
    bool __file_fails(const std::string& path)
    {
        if (mFailTimes == 0 || path != mFailPath) {
            return false;
        }
        ++mFileOps;
        return mFileOps > mFailFrom && mFileOps <= mFailFrom + mFailTimes;
    }
    Handle* __handle(KV_FILE_S* f)
    {
        auto it = mHandles.find(f);
        return it == mHandles.end() ? nullptr : it->second.get();
    }
    void __write(Handle* h, const void* buf, uint32_t len)
    {
        const auto* p = static_cast<const uint8_t*>(buf);
        Op op{false, h->pos, std::vector<uint8_t>(p, p + len)};
        __apply_op(h->inode->cur, op);
        h->inode->pending.push_back(std::move(op));
        h->pos += len;
    }
    void __record(Inode& inode, Op op)
    {
        __apply_op(inode.cur, op);
        inode.pending.push_back(std::move(op));
    }
    static void __apply_op(std::vector<uint8_t>& data, const Op& op)
    {
        if (op.truncate) {
            data.resize(op.offset);
            return;
        }
        if (data.size() < op.offset + op.bytes.size()) {
            data.resize(op.offset + op.bytes.size(), 0);
        }
        std::copy(op.bytes.begin(), op.bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(op.offset));
    }
    static void __apply_dir(Names& names, const DirOp& op)
    {
        switch (op.kind) {
        case DirOp::kLink:
            names[op.name] = op.inode;
            break;
        case DirOp::kRename:
            names.erase(op.name);
            names[op.to] = op.inode;
            break;
        case DirOp::kUnlink:
            names.erase(op.name);
            break;
        }
    }

    Names mNames;
    Names mDurableNames;
    std::vector<DirOp> mPendingDir;
    std::map<KV_FILE_S*, std::unique_ptr<Handle>> mHandles;
    uint64_t mOps = 0;
    uint64_t mCutAt = 0;
    uint64_t mFailAt = 0;
    bool mDead = false;
    uint64_t mBytesWritten = 0;
    uint64_t mFsyncs = 0;
    std::string mFailPath;
    uint32_t mFailFrom = 0;
    uint32_t mFailTimes = 0;
    uint32_t mFileOps = 0;
    uint64_t mPausedMs = 0;
    uint32_t mWritesBeforeJournalGone = 0;
};
