// The kvs_* facade: code mapping of reads, writes that store what is stored already, prefix
// loops, the lifecycle, and callers on several threads.
#include "kv_test_util.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/kv_storge.h"

#include <atomic>
#include <thread>

using namespace kvtest;

namespace {

class Kvs : public testing::Test {
protected:
    void SetUp() override
    {
        simplekv_set_file_io(&mFs);
        ASSERT_EQ(0, kvs_init(kDir.c_str(), kGivenKey, 16));
    }
    void TearDown() override { kvs_deinit(); }

    int Put(const std::string& k, const std::string& v)
    {
        return kvs_write(k.c_str(), v.data(), static_cast<uint32_t>(v.size()));
    }
    std::string Get(const std::string& k)
    {
        uint8_t* v = nullptr;
        uint32_t n = 0;
        int ret = kvs_read(k.c_str(), &v, &n);
        if (ret != 0) {
            EXPECT_EQ(nullptr, v);
            EXPECT_EQ(0u, n);
            return "<" + std::to_string(ret) + ">";
        }
        std::string out(reinterpret_cast<char*>(v), n);
        EXPECT_EQ(0, kvs_free_data(v));
        return out;
    }

    UniTestClock mClock;
    MemFs mFs;
};

}  // namespace

TEST_F(Kvs, SameBytesAgainWriteNothing)
{
    ASSERT_EQ(0, Put("storage_restriction", "{\"max\":3}"));
    std::vector<uint8_t> data = mFs.Get(kData);
    uint32_t wr = Header(mFs).wr_count;
    uint64_t written = mFs.BytesWritten();
    EXPECT_EQ(0, Put("storage_restriction", "{\"max\":3}"));
    EXPECT_EQ(data, mFs.Get(kData));
    EXPECT_EQ(wr, Header(mFs).wr_count);
    EXPECT_EQ(written, mFs.BytesWritten());

    // Same length, one byte changed: written.
    EXPECT_EQ(0, Put("storage_restriction", "{\"max\":4}"));
    EXPECT_EQ(wr + 1, Header(mFs).wr_count);
    EXPECT_EQ("{\"max\":4}", Get("storage_restriction"));
    // A longer value that begins with the stored one: written too.
    EXPECT_EQ(0, Put("storage_restriction", "{\"max\":4}x"));
    EXPECT_EQ("{\"max\":4}x", Get("storage_restriction"));
}

TEST_F(Kvs, ReadCodesAreMapped)
{
    EXPECT_EQ("<-901>", Get("missing"));
    EXPECT_EQ("<-1>", Get(std::string(33, 'k')));  // the engine's -2
    uint8_t* v = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(-1, kvs_read(nullptr, &v, &n));
    EXPECT_EQ(-2, kvs_free_data(nullptr));
    // Writes pass the engine's codes on.
    EXPECT_EQ(-2, Put(std::string(33, 'k'), "v"));
    EXPECT_EQ(-2, Put("k", ""));
    EXPECT_EQ(-1, kvs_write("k", nullptr, 1));
    EXPECT_EQ(0, kvs_delete("missing"));
    EXPECT_EQ(-1, kvs_delete(nullptr));
}

TEST_F(Kvs, TextStoredWithItsNulReadsBackAsText)
{
    const char text[] = "{\"a\":\"b\"}";
    ASSERT_EQ(0, kvs_write("schema", text, sizeof(text)));
    uint8_t* v = nullptr;
    uint32_t n = 0;
    ASSERT_EQ(0, kvs_read("schema", &v, &n));
    EXPECT_EQ(sizeof(text), n);
    EXPECT_STREQ(text, reinterpret_cast<char*>(v));
    kvs_free_data(v);
}

TEST_F(Kvs, PrefixLoopVisitsEveryMatchOnce)
{
    const std::vector<std::string> ids = {"ddi-a", "ddi-b", "DDI-c", "ddi-d"};
    for (const auto& id : ids) {
        ASSERT_EQ(0, Put(id, "rec " + id));
        ASSERT_EQ(0, Put("other-" + id, "x"));
    }
    ASSERT_EQ(0, kvs_delete("ddi-b"));
    std::vector<std::string> seen;
    uint32_t index = 0;
    for (;;) {
        uint8_t* v = nullptr;
        uint32_t n = 0;
        int ret = kvs_fuzzy_read("ddi", &index, &v, &n);
        if (ret != 0) {
            EXPECT_EQ(-901, ret);
            EXPECT_EQ(nullptr, v);
            break;
        }
        seen.emplace_back(reinterpret_cast<char*>(v), n);
        kvs_free_data(v);
    }
    EXPECT_EQ((std::vector<std::string>{"rec ddi-a", "rec DDI-c", "rec ddi-d"}), seen);
    EXPECT_EQ(3u, index);
    EXPECT_EQ(0, kvs_fuzzy_delete("ddi"));
    index = 0;
    uint8_t* v = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(-901, kvs_fuzzy_read("ddi", &index, &v, &n));
    EXPECT_EQ("x", Get("other-ddi-a"));
}

TEST_F(Kvs, FormatEmptiesAndSecondInitCreatesNothing)
{
    ASSERT_EQ(0, Put("a", "1"));
    uint64_t ops = mFs.Ops();
    EXPECT_EQ(0, kvs_init(kDir.c_str(), kGivenKey, 16));
    EXPECT_EQ(ops, mFs.Ops());
    EXPECT_EQ("1", Get("a"));
    EXPECT_EQ(0, kvs_format());
    EXPECT_EQ("<-901>", Get("a"));
}

// A factory reset closes the store before its files go: a later write fails and makes no file
// again (not even the backup a change would take at once); opened again, the store is empty.
TEST_F(Kvs, FactoryClosesTheStoreBeforeItsFilesGo)
{
    ASSERT_EQ(0, Put("gw_ai", "the old activation"));
    ASSERT_TRUE(mFs.Has(kBak));
    mClock.Advance(61000);  // the next change would back the store up at once
    ASSERT_EQ(0, kvs_factory());
    EXPECT_NE(0, Put("gw_ai", "late"));
    EXPECT_NE(0, kvs_delete("gw_ai"));
    EXPECT_EQ("<-1>", Get("gw_ai"));
    for (const std::string& f : {kData, kBak, kJnl}) {
        EXPECT_FALSE(mFs.Has(f)) << f;
    }
    EXPECT_EQ(-1, kvs_factory()) << "closed already";
    ASSERT_EQ(0, kvs_init(kDir.c_str(), kGivenKey, 16));
    EXPECT_EQ("<-901>", Get("gw_ai"));
}

TEST(KvsClosed, CallsBeforeInitFailInTheEngine)
{
    kvs_deinit();
    uint8_t* v = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(-1, kvs_read("a", &v, &n));
    EXPECT_EQ(-3, kvs_write("a", "1", 1));
    EXPECT_EQ(-2, kvs_delete("a"));
    EXPECT_EQ(-1, kvs_format());
    EXPECT_EQ(-8, kvs_init("/d/", kGivenKey, 3));
    // A failed init leaves nothing behind: the next one starts over.
    MemFs fs;
    simplekv_set_file_io(&fs);
    EXPECT_EQ(0, kvs_init(kDir.c_str(), kGivenKey, 16));
    EXPECT_EQ(0, kvs_write("a", "1", 1));
    EXPECT_EQ(0, kvs_deinit());
}

TEST_F(Kvs, ThreadsWritingAndReadingEachKeepTheirOwn)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::vector<std::thread> threads;
    std::atomic<int> errors{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string key = "thread" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                std::string value = key + ":" + std::to_string(i) + std::string(static_cast<size_t>(i), 'x');
                if (Put(key, value) != 0 || Get(key) != value) {
                    ++errors;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(0, errors.load());
    kvs_deinit();
    simplekv_set_file_io(&mFs);
    ASSERT_EQ(0, kvs_init(kDir.c_str(), kGivenKey, 16));
    for (int t = 0; t < kThreads; ++t) {
        std::string key = "thread" + std::to_string(t);
        EXPECT_EQ(key + ":" + std::to_string(kRounds - 1) + std::string(kRounds - 1, 'x'), Get(key));
    }
}
