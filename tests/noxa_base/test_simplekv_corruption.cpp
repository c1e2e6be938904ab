// Damaged stores: every opening succeeds, never reads past a buffer (run under AddressSanitizer)
// and keeps what can be trusted: the backup when it checks whole, else every value whose CRC
// still matches, else a new store. After opening the store takes writes and keeps them.
#include "kv_golden.h"
#include "kv_test_util.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <functional>

using namespace kvtest;

namespace {

using Bytes = std::vector<uint8_t>;
using Damage = std::function<void(Bytes&)>;

// A store key known to the test, so a wrong key's effect is the same on every run.
const uint8_t kStoreKey[16] = {0x5A, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                               0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F};
const Model kAll = {{"k1", "value one"}, {"k2", "value two"}, {"k3", std::string(40, '3')}};
const std::set<std::string> kKeys = {"k1", "k2", "k3", "after"};

void Put32(Bytes& d, size_t at, uint32_t v)
{
    if (d.size() >= at + 4) {
        memcpy(d.data() + at, &v, 4);
    }
}

uint32_t Get32(const Bytes& d, size_t at)
{
    uint32_t v = 0;
    memcpy(&v, d.data() + at, 4);
    return v;
}

// A fresh header CRC, so only the damage itself can be caught.
void ReCrc(Bytes& d)
{
    if (d.size() < 28) {
        return;
    }
    uint32_t cnt = std::min<uint32_t>(Get32(d, 24), 512);
    uint32_t range = (56 * cnt + 24) & 0xFFF8;
    if (4 + range <= d.size()) {
        Put32(d, 0, golden::Crc(d.data() + 4, range));
    }
}

Damage Field(size_t at, uint32_t v)
{
    return [=](Bytes& d) {
        Put32(d, at, v);
        ReCrc(d);
    };
}

// A field of slot i (offsets inside the 56-byte slot).
Damage SlotField(uint32_t i, size_t at, uint32_t v)
{
    return Field(28 + 56 * i + at, v);
}

Damage Truncate(size_t n)
{
    return [=](Bytes& d) { d.resize(std::min(n, d.size())); };
}

Damage Flip(size_t at)
{
    return [=](Bytes& d) { d[at] ^= 0x01; };
}

// The store of the suite: three values under the known key (slots 0, 1, 2 at 28,700, 28,784
// and 28,868), its backup a copy of it, no journal.
void MakeStore(MemFs& fs)
{
    ASSERT_EQ(0, Open(fs));
    simplekv_deinit();
    fs.Put(kKey, golden::KeyFile(kStoreKey));
    ASSERT_EQ(0, Open(fs));
    for (const auto& [k, v] : kAll) {
        ASSERT_EQ(0, Write(k, v));
    }
    simplekv_deinit();
    fs.Put(kBak, fs.Get(kData));
    fs.Erase(kJnl);
}

Model Only(std::initializer_list<const char*> keys)
{
    Model m;
    for (const char* k : keys) {
        m[k] = kAll.at(k);
    }
    return m;
}

struct Row {
    const char* what;
    Damage damage;
    Model kept;  // without a backup: what salvage keeps
};

const Row kRows[] = {
    {"header CRC", Flip(0), kAll},
    {"magic", Field(16, 0x55AA55AB), kAll},
    {"version 3", Field(4, 3), kAll},
    {"header size 0", Field(12, 0), kAll},
    {"header size 27", Field(12, 27), kAll},
    {"header size 0xFFFFFFFF", Field(12, 0xFFFFFFFF), kAll},
    {"header size 28,701", Field(12, 28701), kAll},
    {"record maximum 511", Field(20, 511), kAll},
    {"count 513", Field(24, 513), kAll},
    {"count 0xFFFFFFFF", Field(24, 0xFFFFFFFF), kAll},
    {"slot key without NUL",
     [](Bytes& d) {
         memset(d.data() + 28 + 4, 'K', 36);
         ReCrc(d);
     },
     Only({"k2", "k3"})},
    {"start beyond the file", SlotField(1, 44, 0x7FFFFFF0), Only({"k1", "k3"})},
    {"start inside the header", SlotField(1, 44, 100), Only({"k1", "k3"})},
    {"start on another value", SlotField(1, 44, 28700), Only({"k1", "k3"})},
    {"size below the stored length", SlotField(1, 40, 8), Only({"k1", "k3"})},
    {"size reaching past the end", SlotField(2, 40, 0x7FFFFFFF), Only({"k1", "k2"})},
    {"valid word 2", SlotField(1, 0, 2), Only({"k1", "k3"})},
    {"stored length not whole blocks", SlotField(0, 48, 17), Only({"k2", "k3"})},
    {"flipped value byte", Flip(28700 + 5), Only({"k2", "k3"})},
    {"truncated to 0", Truncate(0), {}},
    {"truncated to 27", Truncate(27), {}},
    {"truncated to 28", Truncate(28), {}},
    {"truncated to 1,000", Truncate(1000), {}},
    {"truncated to 28,699", Truncate(28699), {}},
    {"truncated to 28,700", Truncate(28700), {}},
    {"truncated inside the second value", Truncate(28784 + 10), Only({"k1"})},
};

class Corruption : public testing::Test {
protected:
    void SetUp() override { MakeStore(mFs); }
    void TearDown() override { simplekv_deinit(); }

    // Opens, compares, writes one more key and opens again.
    void ExpectStore(const Model& want)
    {
        ASSERT_EQ(0, Open(mFs));
        EXPECT_EQ(want, Content(kKeys)) << Dump(want);
        ASSERT_EQ(0, Write("after", "a"));
        ASSERT_EQ(0, Open(mFs));
        Model more = Content(kKeys);
        EXPECT_EQ("a", more["after"]);
        more.erase("after");
        EXPECT_EQ(want, more);
    }

    // Every row's damage on one file, another file removed ("" none), then the store checked.
    template <typename Want>
    void RunRows(const std::string& damaged, const std::string& removed, Want want)
    {
        const MemFs::Image start = mFs.Snapshot();
        for (const Row& row : kRows) {
            SCOPED_TRACE(row.what);
            mFs.Restore(start);
            Bytes d = mFs.Get(damaged);
            row.damage(d);
            mFs.Put(damaged, d);
            if (!removed.empty()) {
                mFs.Erase(removed);
            }
            ExpectStore(want(row));
        }
        EXPECT_EQ(0u, mFs.WritesBeforeJournalGone());
    }

    UniTestClock mClock;
    MemFs mFs;
};

}  // namespace

TEST_F(Corruption, DamagedDataFileFallsBackToTheBackup)
{
    RunRows(kData, "", [](const Row&) { return kAll; });
}

TEST_F(Corruption, WithoutABackupEveryValueThatChecksIsKept)
{
    RunRows(kData, kBak, [](const Row& row) { return row.kept; });
}

TEST_F(Corruption, DamagedBackupIsNeverCopiedOverTheDataFile)
{
    RunRows(kBak, kData, [](const Row& row) { return row.kept; });
}

TEST_F(Corruption, OldHeaderPathsAreBounded)
{
    const MemFs::Image start = mFs.Snapshot();
    // A current file claiming the 2,048-byte header is moved whole and stays readable; older
    // headers that do not fit, or whose count does not fit them, are refused.
    struct {
        const char* what;
        Damage damage;
    } rows[] = {
        {"2,048-byte header", Field(12, 2048)},
        {"version 0 over today's header, CRC broken", [](Bytes& d) { Put32(d, 4, 0); }},
        {"version 0, header 40,000",
         [](Bytes& d) {
             Put32(d, 4, 0);
             Put32(d, 12, 40000);
         }},
        {"version 0, header 20", [](Bytes& d) {
             Put32(d, 4, 0);
             Put32(d, 12, 20);
         }},
        {"version 0, count beyond its header", [](Bytes& d) {
             Put32(d, 4, 0);
             Put32(d, 12, 200);
             Put32(d, 24, 5);
         }},
        {"version 1, 2,048 bytes, count 37", [](Bytes& d) {
             Put32(d, 4, 1);
             Put32(d, 12, 2048);
             Put32(d, 24, 37);
             ReCrc(d);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        mFs.Restore(start);
        mFs.Erase(kBak);
        Bytes d = mFs.Get(kData);
        row.damage(d);
        mFs.Put(kData, d);
        ASSERT_EQ(0, Open(mFs));
        Model got = Content(kKeys);
        // Either moved intact, or refused and salvaged: never a wrong value.
        for (const auto& [k, v] : got) {
            EXPECT_EQ(kAll.at(k), v) << k;
        }
        EXPECT_EQ(KV_VERSION, Header(mFs).version);
    }
}

// A key file that cannot be read just now, or a store file that cannot be looked up, is tried
// again for about a second; a store that still cannot tell does not open, and leaves every file
// as it was for the next start.
TEST_F(Corruption, PassingReadErrorsAreNeverTakenForALostStore)
{
    mFs.Put(kJnl, {'j'});
    const MemFs::Image start = mFs.Snapshot();
    // Looks, opens and reads of one file are counted together. The key file: look 1, open 2,
    // read 3 (16 bytes), read 4 (end of file); a retry starts again with a look.
    struct {
        const char* what;
        const std::string& path;
        uint32_t skip, times;
        int ret;
    } rows[] = {
        {"key file looked up", kKey, 0, 1, 0},
        {"key file opened", kKey, 1, 1, 0},
        {"key file read", kKey, 2, 1, 0},
        {"end of the key file read", kKey, 3, 1, 0},
        {"key file three times in a row", kKey, 0, 3, 0},
        {"key file never looked up", kKey, 0, 1000, -3},
        {"key file never opened", kKey, 1, 1000, -3},
        {"key file never read", kKey, 2, 1000, -3},
        {"data file looked up", kData, 0, 1, 0},
        {"data file never looked up", kData, 0, 1000, -3},
        {"backup never looked up", kBak, 0, 1000, -3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        mFs.Restore(start);
        mFs.FailFileOps(row.path, row.skip, row.times);
        ASSERT_EQ(row.ret, Open(mFs));
        if (row.ret == 0) {
            EXPECT_EQ(kAll, Content(kKeys));
            EXPECT_GT(mFs.PausedMs(), 0u);
            continue;
        }
        EXPECT_GE(mFs.PausedMs(), 800u);
        EXPECT_LE(mFs.PausedMs(), 1500u);
        // Not a byte changed, not a name added or removed, durable or not.
        for (const auto& [name, bytes] : start) {
            EXPECT_EQ(bytes, mFs.Get(name)) << name;
        }
        EXPECT_EQ(start, mFs.Snapshot());
        EXPECT_FALSE(mFs.Has(kDir + "noxa_user.db_tmp"));
        mFs.FailFileOps(row.path, 0, 0);
        ExpectStore(kAll);
    }
}

// Reads of the data file that fail for a moment are not damage: with no backup to fall back on,
// taking them for it would start a new store.
TEST_F(Corruption, PassingDataFileReadErrorsKeepEveryValue)
{
    mFs.Erase(kBak);
    const MemFs::Image start = mFs.Snapshot();
    // The data file: look 1, open 2, its fixed fields 3, its header 4, the three values 5 to 7.
    struct {
        const char* what;
        uint32_t skip, times;
    } rows[] = {
        {"fixed fields", 2, 1},
        {"header, twice", 3, 2},
        {"a value, three times", 4, 3},
        {"the last value, then each of the next three tries", 6, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        mFs.Restore(start);
        mFs.FailFileOps(kData, row.skip, row.times);
        ASSERT_EQ(0, Open(mFs));
        EXPECT_EQ(kAll, Content(kKeys));
        EXPECT_LE(mFs.PausedMs(), 1500u);
        mFs.FailFileOps(kData, 0, 0);
        ExpectStore(kAll);
    }
}

// A key file of the wrong length can decrypt nothing: the store starts anew, and the old files
// are kept aside under ".lost" names, a later loss beside an earlier one.
TEST_F(Corruption, KeyFilesOfTheWrongSizeSetTheStoreAside)
{
    mFs.Put(kJnl, {'j'});
    const MemFs::Image start = mFs.Snapshot();
    for (size_t size : {0u, 15u, 17u}) {
        SCOPED_TRACE(size);
        mFs.Restore(start);
        Bytes key = golden::KeyFile(kStoreKey);
        key.resize(size, 0x77);
        mFs.Put(kKey, key);
        ExpectStore({});
        EXPECT_EQ(16u, mFs.Get(kKey).size());
        EXPECT_NE(golden::KeyFile(kStoreKey), mFs.Get(kKey));
        const std::pair<std::string, Bytes> aside[] = {
            {kData + ".lost", start.at(kData)}, {kBak + ".lost", start.at(kBak)},
            {kJnl + ".lost", start.at(kJnl)}, {kKey + ".lost", key}};
        for (const auto& [name, bytes] : aside) {
            EXPECT_EQ(bytes, mFs.Snapshot()[name]) << name;
        }
        // The new store lost its key as well: the first one set aside stays.
        const MemFs::Image first = mFs.Snapshot();
        mFs.Put(kKey, key);
        ExpectStore({});
        MemFs::Image now = mFs.Snapshot();
        for (const auto& [name, bytes] : aside) {
            EXPECT_EQ(bytes, now[name]) << name;
        }
        EXPECT_EQ(first.at(kData), now[kData + ".lost.1"]);
        EXPECT_EQ(key, now[kKey + ".lost.1"]);
    }
}

TEST_F(Corruption, EveryCombinationOfDataBackupAndKeyFile)
{
    enum State { kOk, kMissing, kDamaged };
    const char* names[] = {"ok", "missing", "damaged"};
    const MemFs::Image start = mFs.Snapshot();
    const Bytes goodKey = golden::KeyFile(kStoreKey);
    for (State data : {kOk, kMissing, kDamaged}) {
        for (State bak : {kOk, kMissing, kDamaged}) {
            for (State key : {kOk, kMissing, kDamaged}) {
                SCOPED_TRACE(std::string("data ") + names[data] + ", backup " + names[bak] + ", key " + names[key]);
                mFs.Restore(start);
                auto apply = [&](const std::string& name, State st) {
                    if (st == kMissing) {
                        mFs.Erase(name);
                    } else if (st == kDamaged) {
                        Bytes b = mFs.Get(name);
                        if (name == kKey) {
                            b.resize(15);
                        } else {
                            Flip(28700 + 5)(b);  // the value of k1
                        }
                        mFs.Put(name, b);
                    }
                };
                apply(kData, data);
                apply(kBak, bak);
                apply(kKey, key);

                Model want;
                if (key != kDamaged && (data == kOk || bak == kOk)) {
                    want = kAll;
                } else if (key != kDamaged && (data != kMissing || bak != kMissing)) {
                    want = Only({"k2", "k3"});
                }
                if (key == kMissing) {
                    // Values on disk with no key file were written under the given key; these
                    // were not, so they read as errors, never as garbage.
                    for (auto& [k, v] : want) {
                        v = "<-5>";
                    }
                }
                ExpectStore(want);
            }
        }
    }
}

TEST_F(Corruption, JournalsThatCannotBeTrustedAreNotReplayed)
{
    ASSERT_EQ(0, Open(mFs));
    ASSERT_EQ(0, Write("k1", "value one again"));
    simplekv_deinit();
    const Bytes jnl = mFs.Get(kJnl);
    const MemFs::Image start = mFs.Snapshot();
    Model changed = kAll;
    changed["k1"] = "value one again";
    struct {
        const char* what;
        std::function<void(Bytes&)> damage;
        Model want;
    } rows[] = {
        {"whole", [](Bytes&) {}, changed},
        {"torn", [](Bytes& j) { j.resize(j.size() / 2); }, changed},
        {"bad CRC", [](Bytes& j) { j.back() ^= 1; }, changed},
        {"empty", [](Bytes& j) { j.clear(); }, changed},
        {"huge count",
         [](Bytes& j) {
             Put32(j, 4, 0x7FFFFFFF);
             Put32(j, j.size() - 4, golden::Crc(j.data(), j.size() - 4));
         },
         changed},
        {"range far beyond the file",
         [](Bytes& j) {
             Put32(j, 8, 0x40000000);
             Put32(j, j.size() - 4, golden::Crc(j.data(), j.size() - 4));
         },
         changed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        mFs.Restore(start);
        Bytes j = jnl;
        row.damage(j);
        mFs.Put(kJnl, j);
        ExpectStore(row.want);
        EXPECT_LT(mFs.Get(kData).size(), 1u << 20);
    }
}
