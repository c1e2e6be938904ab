// The key-value engine: file layout of a new store, slot reuse and growth, reads, deletes,
// argument checks, the backup policy, and the board's files underneath.
#include "kv_test_util.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/file/kv_file_io.h"
#include "platform/board_path.h"
#include "sandbox.h"

#include <cerrno>
#include <chrono>
#include <sys/stat.h>
#include <thread>

using namespace kvtest;

namespace {

class SimpleKv : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, Open(mFs)); }
    void TearDown() override { simplekv_deinit(); }

    UniTestClock mClock;
    MemFs mFs;
};

}  // namespace

TEST(SimpleKvFormat, KeyFileOrderSwapsPairsThenHalves)
{
    uint8_t key[16];
    for (int i = 0; i < 16; ++i) {
        key[i] = static_cast<uint8_t>(0xA0 + i);
    }
    uint8_t stored[16];
    uint8_t back[16];
    kv_key_file_order(key, stored);
    EXPECT_EQ(key[9], stored[0]);
    EXPECT_EQ(key[8], stored[1]);
    EXPECT_EQ(key[0], stored[9]);
    EXPECT_EQ(key[15], stored[6]);
    kv_key_file_order(stored, back);
    EXPECT_EQ(0, memcmp(key, back, 16));
}

TEST(SimpleKvFormat, ReservationAndCrcRange)
{
    EXPECT_EQ(84u, kv_reserve_size(16));
    EXPECT_EQ(180u, kv_reserve_size(112));
    EXPECT_EQ(24u, kv_hd_crc_len(0));
    EXPECT_EQ(24u + 56u * 512, kv_hd_crc_len(512));
    EXPECT_EQ(28700u, KV_HD_LEN);
}

TEST_F(SimpleKv, NewStoreLaysOutHeaderAndKeyFile)
{
    std::vector<uint8_t> data = mFs.Get(kData);
    ASSERT_EQ(28700u, data.size());
    DATA_HD_S hd = Header(mFs);
    EXPECT_EQ(2u, hd.version);
    EXPECT_EQ(1u, hd.wr_count);
    EXPECT_EQ(0u, hd.mag_rec_cnt);
    EXPECT_EQ(0x55AA55AAu, hd.magic);
    EXPECT_EQ(512u, hd.mag_rec_max);
    EXPECT_EQ(28700u, hd.data_hd_size);
    EXPECT_EQ(kv_hd_calc_crc(data.data(), 0), hd.crc32);
    std::vector<uint8_t> key = mFs.Get(kKey);
    ASSERT_EQ(16u, key.size());
    // A new store gets a key of its own, not the one handed over.
    uint8_t given[16];
    kv_key_file_order(kGivenKey, given);
    EXPECT_NE(0, memcmp(key.data(), given, 16));
    for (uint8_t b : key) {
        EXPECT_LT(b, 255);
    }
    EXPECT_FALSE(mFs.Has(kBak));
    ASSERT_EQ(0, Write("a", "1"));
    EXPECT_TRUE(mFs.Has(kBak));
}

TEST_F(SimpleKv, GrowthMovesToANewSlotAndTheOldOneIsReused)
{
    ASSERT_EQ(0, Write("k", std::string(10, 'a')));
    DATA_HD_S hd = Header(mFs);
    ASSERT_EQ(1u, hd.mag_rec_cnt);
    EXPECT_EQ(16u, hd.records[0].datalen);
    EXPECT_EQ(84u, hd.records[0].size);
    EXPECT_EQ(28700u, hd.records[0].start);

    ASSERT_EQ(0, Write("k", std::string(100, 'b')));
    hd = Header(mFs);
    ASSERT_EQ(2u, hd.mag_rec_cnt);
    EXPECT_EQ(0u, hd.records[0].valid);
    EXPECT_EQ(1u, hd.records[1].valid);
    EXPECT_EQ(28784u, hd.records[1].start);
    EXPECT_EQ(112u, hd.records[1].datalen);
    EXPECT_EQ(std::string(100, 'b'), Read("k"));

    // 84 reserved bytes take a value of up to 84 stored bytes (67 plain bytes: 80 stored).
    ASSERT_EQ(0, Write("other", std::string(67, 'c')));
    hd = Header(mFs);
    EXPECT_EQ(2u, hd.mag_rec_cnt);
    EXPECT_EQ(1u, hd.records[0].valid);
    EXPECT_STREQ("other", hd.records[0].key);
    EXPECT_EQ(std::string(67, 'c'), Read("other"));
}

TEST_F(SimpleKv, RewriteThatFitsStaysInPlace)
{
    ASSERT_EQ(0, Write("k", "first value"));
    DATA_HD_S before = Header(mFs);
    ASSERT_EQ(0, Write("k", "a longer second value"));
    DATA_HD_S after = Header(mFs);
    EXPECT_EQ(before.records[0].start, after.records[0].start);
    EXPECT_EQ(before.records[0].size, after.records[0].size);
    EXPECT_EQ(32u, after.records[0].datalen);
    EXPECT_NE(before.records[0].crc32, after.records[0].crc32);
    EXPECT_EQ(before.wr_count + 1, after.wr_count);
    EXPECT_EQ(1u, after.mag_rec_cnt);
    EXPECT_EQ("a longer second value", Read("k"));
}

TEST_F(SimpleKv, TableFullAfter512SlotsUnlessADeletedSlotFits)
{
    for (int i = 0; i < 512; ++i) {
        ASSERT_EQ(0, Write("key" + std::to_string(i), "v")) << i;
    }
    ASSERT_EQ(0, simplekv_delete("key7"));
    // A value too big for the freed slot finds no room.
    EXPECT_EQ(-100, Write("new", std::string(100, 'x')));
    EXPECT_EQ("<-3>", Read("new"));
    EXPECT_EQ(0, Write("new", "small"));
    EXPECT_EQ("small", Read("new"));
    EXPECT_EQ(-100, Write("another", "small"));
}

TEST_F(SimpleKv, ArgumentsAreChecked)
{
    std::string k33(33, 'k');
    std::string k32(32, 'k');
    std::string k1000(1000, 'k');
    uint8_t* v = nullptr;
    uint32_t n = 0;
    struct Row {
        const char* what;
        int got;
        int want;
    } rows[] = {
        {"write key of 33", Write(k33, "v"), -2},
        {"read key of 33", simplekv_read(k33.c_str(), &v, &n), -2},
        {"write key of 1000", Write(k1000, "v"), -2},
        {"write empty value", Write("k", ""), -2},
        {"write empty key", Write("", "v"), -2},
        {"write too long a value", Write("k", std::string(65520, 'v')), -2},
        {"write null key", simplekv_write(nullptr, "v", 1), -1},
        {"write null value", simplekv_write("k", nullptr, 1), -1},
        {"read null key", simplekv_read(nullptr, &v, &n), -1},
        {"read null out", simplekv_read("k", nullptr, &n), -1},
        {"delete null", simplekv_delete(nullptr), -1},
        {"delete key of 33", simplekv_delete(k33.c_str()), -1},
        {"free null", simplekv_free_data(nullptr), -1},
        {"write key of 32", Write(k32, "v"), 0},
        {"largest value", Write("big", std::string(65519, 'v')), 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.want, r.got) << r.what;
    }
    EXPECT_EQ("v", Read(k32));
    EXPECT_EQ(std::string(65519, 'v'), Read("big"));
}

TEST_F(SimpleKv, ValueBufferHasPaddingAndANulBehind)
{
    ASSERT_EQ(0, Write("t", std::string("text\0", 5)));
    uint8_t* v = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(0, simplekv_read("t", &v, &n));
    EXPECT_EQ(5u, n);
    EXPECT_STREQ("text", reinterpret_cast<char*>(v));
    EXPECT_EQ(11, v[5]);  // PKCS#7 padding of 11 bytes
    EXPECT_EQ(0, v[16]);
    simplekv_free_data(v);
}

TEST_F(SimpleKv, FuzzyReadVisitsEachMatchOnceInSlotOrder)
{
    ASSERT_EQ(0, Write("ddi-1", "one"));
    ASSERT_EQ(0, Write("gw_bi", "x"));
    ASSERT_EQ(0, Write("DDI-2", "two"));
    ASSERT_EQ(0, Write("ddi-3", "three"));
    ASSERT_EQ(0, simplekv_delete("ddi-3"));
    ASSERT_EQ(0, Write("ddi-4", "four"));
    std::vector<std::string> seen;
    uint32_t index = 0;
    for (;;) {
        uint8_t* v = nullptr;
        uint32_t n = 0;
        uint32_t before = index;
        int ret = simplekv_fuzz_read("ddi", &index, &v, &n);
        if (ret != 0) {
            EXPECT_EQ(-3, ret);
            EXPECT_EQ(before, index);
            break;
        }
        EXPECT_EQ(before + 1, index);
        seen.emplace_back(reinterpret_cast<char*>(v), n);
        simplekv_free_data(v);
    }
    // "four" took the deleted slot of "ddi-3".
    EXPECT_EQ((std::vector<std::string>{"one", "two", "four"}), seen);
}

TEST_F(SimpleKv, DeletesExactAndByPrefix)
{
    ASSERT_EQ(0, Write("ddi-1", "1"));
    ASSERT_EQ(0, Write("Ddi-2", "2"));
    ASSERT_EQ(0, Write("keep", "k"));
    std::vector<uint8_t> before = mFs.Get(kData);
    uint64_t ops = mFs.Ops();
    EXPECT_EQ(0, simplekv_delete("missing"));
    EXPECT_EQ(0, simplekv_fuzz_delete("zz"));
    // Nothing to delete touches no file.
    EXPECT_EQ(before, mFs.Get(kData));
    EXPECT_EQ(ops, mFs.Ops());

    EXPECT_EQ(0, simplekv_delete("ddi"));  // exact: no such key
    EXPECT_EQ("1", Read("ddi-1"));
    EXPECT_EQ(0, simplekv_fuzz_delete("DDI"));
    EXPECT_EQ("<-3>", Read("ddi-1"));
    EXPECT_EQ("<-3>", Read("Ddi-2"));
    EXPECT_EQ("k", Read("keep"));
    EXPECT_EQ(0, simplekv_delete("keep"));
    EXPECT_EQ("<-3>", Read("keep"));
    ASSERT_EQ(0, Open(mFs));
    EXPECT_EQ(Model{}, Content({"ddi-1", "Ddi-2", "keep"}));
}

TEST_F(SimpleKv, FormatEmptiesTheStore)
{
    ASSERT_EQ(0, Write("a", "1"));
    ASSERT_EQ(0, Write("b", "2"));
    ASSERT_EQ(0, simplekv_format());
    DATA_HD_S hd = Header(mFs);
    EXPECT_EQ(0u, hd.mag_rec_cnt);
    EXPECT_EQ(1u, hd.wr_count);
    EXPECT_EQ("<-3>", Read("a"));
    ASSERT_EQ(0, Write("c", "3"));
    EXPECT_EQ(28700u, Header(mFs).records[0].start);
    ASSERT_EQ(0, Open(mFs));
    EXPECT_EQ((Model{{"c", "3"}}), Content({"a", "b", "c"}));
}

TEST_F(SimpleKv, ValuesSurviveReopening)
{
    Model want;
    for (int i = 0; i < 40; ++i) {
        std::string k = "key" + std::to_string(i % 13);
        std::string v(static_cast<size_t>(1 + i * 7), static_cast<char>('a' + i % 26));
        ASSERT_EQ(0, Write(k, v));
        want[k] = v;
    }
    ASSERT_EQ(0, Open(mFs));
    std::set<std::string> keys;
    for (const auto& [k, v] : want) {
        keys.insert(k);
    }
    EXPECT_EQ(want, Content(keys));
}

TEST_F(SimpleKv, WrongKeyIsAReadErrorNotAGarbageLength)
{
    // Fixed keys, so the outcome is the same on every run.
    auto putKey = [&](uint8_t fill) {
        uint8_t key[16];
        uint8_t stored[16];
        memset(key, fill, sizeof(key));
        kv_key_file_order(key, stored);
        mFs.Put(kKey, std::vector<uint8_t>(stored, stored + 16));
    };
    simplekv_deinit();
    putKey(0x24);
    ASSERT_EQ(0, Open(mFs));
    ASSERT_EQ(0, Write("secret", "value"));
    simplekv_deinit();
    putKey(0x42);
    ASSERT_EQ(0, Open(mFs));
    EXPECT_EQ("<-5>", Read("secret"));
}

TEST_F(SimpleKv, ValueRottedOnDiskIsAReadError)
{
    ASSERT_EQ(0, Write("a", "first value"));
    ASSERT_EQ(0, Write("b", "second value"));
    mFs.Flip(kData, Header(mFs).records[1].start + 3);
    EXPECT_EQ("<-6>", Read("b"));
    EXPECT_EQ("first value", Read("a"));
}

TEST_F(SimpleKv, RestoreFromTheBackupDropsTheJournalForGood)
{
    ASSERT_EQ(0, Write("a", "1"));  // the backup: the empty store
    ASSERT_EQ(0, Write("b", "2"));  // its journal stays
    simplekv_deinit();
    ASSERT_TRUE(mFs.Has(kJnl));
    mFs.Flip(kData, 4 + 24 + 1);  // slot 0's key, which that journal does not cover
    ASSERT_EQ(0, Open(mFs));
    EXPECT_EQ((Model{}), Content({"a", "b"}));
    // Gone from the folder before the restored file is written: a power cut in between must not
    // bring it back to be replayed over the backup.
    EXPECT_EQ(0u, mFs.WritesBeforeJournalGone());
}

TEST_F(SimpleKv, WritersOnManyThreadsLoseNothing)
{
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 40; ++i) {
                std::string k = "t" + std::to_string(t) + "k" + std::to_string(i);
                EXPECT_EQ(0, Write(k, k + std::string(static_cast<size_t>(i), 'v')));
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    ASSERT_EQ(0, Open(mFs));
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 40; ++i) {
            std::string k = "t" + std::to_string(t) + "k" + std::to_string(i);
            EXPECT_EQ(k + std::string(static_cast<size_t>(i), 'v'), Read(k));
        }
    }
}

TEST_F(SimpleKv, SecondInitChangesNothing)
{
    ASSERT_EQ(0, Write("a", "1"));
    uint64_t ops = mFs.Ops();
    EXPECT_EQ(0, simplekv_init("/elsewhere/", kGivenKey, 16));
    EXPECT_EQ(ops, mFs.Ops());
    EXPECT_EQ("1", Read("a"));
}

TEST(SimpleKvClosed, EveryOperationRefusesUntilOpened)
{
    simplekv_deinit();
    uint8_t* v = nullptr;
    uint32_t n = 0;
    uint32_t index = 0;
    EXPECT_EQ(-2, simplekv_read("k", &v, &n));
    EXPECT_EQ(-2, simplekv_fuzz_read("k", &index, &v, &n));
    EXPECT_EQ(-3, simplekv_write("k", "v", 1));
    EXPECT_EQ(-2, simplekv_delete("k"));
    EXPECT_EQ(-2, simplekv_fuzz_delete("k"));
    EXPECT_EQ(-1, simplekv_format());
    EXPECT_EQ(-1, simplekv_show_status());
    EXPECT_EQ(-1, simplekv_factory());
    EXPECT_EQ(0, simplekv_deinit());
    EXPECT_EQ(-8, simplekv_init("/d/", nullptr, 16));
    EXPECT_EQ(-8, simplekv_init("/d/", kGivenKey, 15));
    EXPECT_EQ(-1, simplekv_init(std::string(112, 'd').c_str(), kGivenKey, 16));
    EXPECT_EQ(-1, simplekv_init(nullptr, kGivenKey, 16));
}

TEST_F(SimpleKv, FactoryRemovesDataAndBackupAndCloses)
{
    ASSERT_EQ(0, Write("a", "1"));
    ASSERT_TRUE(mFs.Has(kBak));
    EXPECT_EQ(0, simplekv_factory());
    EXPECT_FALSE(mFs.Has(kData));
    EXPECT_FALSE(mFs.Has(kBak));
    EXPECT_EQ(-3, Write("a", "1"));
    ASSERT_EQ(0, Open(mFs));
    EXPECT_EQ("<-3>", Read("a"));
}

TEST_F(SimpleKv, BackupIsTakenAtMostOncePerMinuteAndCatchesUpByTimer)
{
    ASSERT_EQ(0, Write("a", "1"));  // backed up before the change: the empty store
    std::vector<uint8_t> firstBackup = mFs.Get(kBak);
    ASSERT_EQ(0, Write("b", "2"));
    ASSERT_EQ(0, Write("c", "3"));
    EXPECT_EQ(firstBackup, mFs.Get(kBak));
    EXPECT_NE(mFs.Get(kData), mFs.Get(kBak));
    // The one-shot timer (120 s from the last deferred change) copies the current file.
    mClock.Advance(120000 + 50);
    bool caughtUp = false;
    for (int i = 0; i < 500 && !caughtUp; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // waits for the timer thread
        ASSERT_EQ(0, simplekv_show_status());                         // takes the store mutex
        caughtUp = mFs.Get(kBak) == mFs.Get(kData);
    }
    EXPECT_TRUE(caughtUp);
    // A minute after the last copy, a change is backed up directly again.
    mClock.Advance(61000);
    std::vector<uint8_t> beforeD = mFs.Get(kData);
    ASSERT_EQ(0, Write("d", "4"));
    EXPECT_EQ(beforeD, mFs.Get(kBak));
}

TEST(SimpleKvBoard, FilesLandUnderTheBoardRoot)
{
    UniTestClock clock;
    TestSandbox box;
    BoardReloadRoot();
    int made = BoardMkdir("/DeviceInfo/noxa", 0755);
    ASSERT_TRUE(made == 0 || errno == EEXIST);
    simplekv_deinit();
    simplekv_set_file_io(nullptr);
    ASSERT_EQ(0, simplekv_init("/DeviceInfo/noxa/", kGivenKey, 16));
    ASSERT_EQ(0, Write("gw_bi", "identity"));
    ASSERT_EQ(0, Write("gw_bi", "identity 2"));
    EXPECT_EQ("identity 2", Read("gw_bi"));
    simplekv_deinit();
    EXPECT_EQ(16u, box.Read("/DeviceInfo/noxa/noxa_enckey.db").size());
    EXPECT_TRUE(box.Exists("/DeviceInfo/noxa/noxa_user.db_bak"));
    EXPECT_TRUE(box.Exists("/DeviceInfo/noxa/noxa_user.db_jnl"));
    EXPECT_FALSE(box.Exists("/DeviceInfo/noxa/noxa_user.db_tmp"));
    std::string data = box.Read("/DeviceInfo/noxa/noxa_user.db");
    EXPECT_EQ(28700u + 84u, data.size());
    // The keys and tokens are the owner's only: every file of the store, also one left readable
    // to all by an older build (it is put right at the next opening).
    for (const char* name : {"noxa_enckey.db", "noxa_user.db", "noxa_user.db_bak", "noxa_user.db_jnl"}) {
        struct stat st {};
        ASSERT_EQ(0, stat(box.Path(std::string("/DeviceInfo/noxa/") + name).c_str(), &st)) << name;
        EXPECT_EQ(0600u, st.st_mode & 0777) << name;
    }
    ASSERT_EQ(0, chmod(box.Path("/DeviceInfo/noxa/noxa_user.db").c_str(), 0644));
    ASSERT_EQ(0, simplekv_init("/DeviceInfo/noxa/", kGivenKey, 16));
    EXPECT_EQ("identity 2", Read("gw_bi"));
    simplekv_deinit();
    struct stat st {};
    ASSERT_EQ(0, stat(box.Path("/DeviceInfo/noxa/noxa_user.db").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
}
