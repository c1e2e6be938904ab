// The file format against an independent writer and reader (packed structs, OpenSSL, zlib):
// files it writes open and read back, files the engine writes parse with it, and files of the
// older layouts upgrade with every value intact and none left in the clear.
#include "kv_golden.h"
#include "kv_test_util.h"
#include "noxa_adapter/utilities/uni_time.h"

#include <algorithm>

using namespace kvtest;

namespace {

const uint8_t kStoreKey[16] = {0xC3, 0x01, 0x7E, 0x22, 0x90, 0x45, 0x18, 0xAB,
                               0x66, 0xF0, 0x0D, 0x3C, 0x81, 0x5A, 0x29, 0xE7};

const std::vector<golden::Entry> kEntries = {
    {"gw_bi", "{\"uuid\":\"nq1234\",\"prod_test\":false }"},
    {"deleted", "an old value nobody may read", false},
    {"one", "1"},
    {"sixteen", std::string(16, 's')},
    {"hundred", std::string(100, 'h')},
    {"tight", std::string(48, 't'), true, 0},  // no room to grow: moves when encrypted
    {"ddi-dev1", "{\"id\":\"dev1\"}"},
};

std::vector<uint8_t> KeyFromFile(const std::vector<uint8_t>& file)
{
    std::vector<uint8_t> key(16);
    for (int j = 0; j < 16; ++j) {
        key[((j + 8) % 16) ^ 1] = file[j];
    }
    return key;
}

bool Contains(const std::vector<uint8_t>& hay, const std::string& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

class Golden : public testing::Test {
protected:
    void TearDown() override { simplekv_deinit(); }

    void PutOld(uint32_t version, uint32_t hdSize)
    {
        mOld = golden::BuildFile(version, hdSize, kEntries, kStoreKey);
        mFs.Put(kData, mOld);
        mFs.Put(kKey, golden::KeyFile(kStoreKey));
    }

    // Every live entry reads back, the deleted one does not.
    void ExpectEntries()
    {
        for (const auto& e : kEntries) {
            EXPECT_EQ(e.valid ? e.value : "<-3>", Read(e.key)) << e.key;
        }
    }

    // The data file as the independent reader sees it: today's layout, every live value
    // decrypting to its text under the key of the key file.
    void ExpectParsesAsVersion2()
    {
        std::vector<uint8_t> file = mFs.Get(kData);
        golden::Parsed p = golden::Parse(file);
        EXPECT_TRUE(p.crcOk);
        EXPECT_EQ(2u, p.fx.version);
        EXPECT_EQ(28700u, p.fx.data_hd_size);
        EXPECT_EQ(512u, p.fx.mag_rec_max);
        EXPECT_EQ(golden::kMagic, p.fx.magic);
        std::vector<uint8_t> key = KeyFromFile(mFs.Get(kKey));
        for (const auto& r : p.recs) {
            if (r.valid != 1) {
                continue;
            }
            auto e = std::find_if(kEntries.begin(), kEntries.end(),
                                  [&](const golden::Entry& x) { return x.key == r.key; });
            ASSERT_NE(kEntries.end(), e) << r.key;
            EXPECT_EQ(e->value, golden::Value(file, r, key.data())) << r.key;
            EXPECT_EQ(golden::Crc(file.data() + r.start, r.datalen), r.crc32);
        }
    }

    UniTestClock mClock;
    MemFs mFs;
    std::vector<uint8_t> mOld;
};

}  // namespace

TEST_F(Golden, ReadsAVersion2FileOfTheIndependentWriter)
{
    PutOld(2, golden::kHdSize);
    ASSERT_EQ(0, Open(mFs));
    ExpectEntries();
    // Opening a current file changes nothing in it.
    EXPECT_EQ(mOld, mFs.Get(kData));
}

TEST_F(Golden, FilesTheEngineWritesParseWithTheIndependentReader)
{
    ASSERT_EQ(0, Open(mFs));
    ASSERT_EQ(0, Write("a", "x"));
    ASSERT_EQ(0, Write("b", std::string(30, 'b')));
    ASSERT_EQ(0, Write("a", std::string(90, 'a')));  // grows out of slot 0
    ASSERT_EQ(0, Write("c", "fits slot 0"));
    ASSERT_EQ(0, simplekv_delete("b"));
    simplekv_deinit();

    std::vector<uint8_t> file = mFs.Get(kData);
    golden::Parsed p = golden::Parse(file);
    ASSERT_TRUE(p.crcOk);
    EXPECT_EQ(2u, p.fx.version);
    EXPECT_EQ(28700u, p.fx.data_hd_size);
    EXPECT_EQ(6u, p.fx.wr_count);  // the new header and five changes
    ASSERT_EQ(3u, p.recs.size());
    // Reservations: stored length + 64, rounded down to a word, + 4; each behind the last.
    const uint32_t stored[3] = {16, 32, 96};
    uint32_t at = 28700;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(at, p.recs[i].start) << i;
        EXPECT_EQ(((stored[i] + 64) & ~3u) + 4, p.recs[i].size) << i;
        at += p.recs[i].size;
    }
    EXPECT_EQ(at, file.size());
    EXPECT_STREQ("c", p.recs[0].key);
    EXPECT_EQ(1u, p.recs[0].valid);
    EXPECT_STREQ("b", p.recs[1].key);
    EXPECT_EQ(0u, p.recs[1].valid);
    EXPECT_STREQ("a", p.recs[2].key);
    // New slots are zero behind their value.
    EXPECT_TRUE(std::all_of(file.begin() + p.recs[2].start + 96, file.begin() + p.recs[2].start + p.recs[2].size,
                            [](uint8_t b) { return b == 0; }));
    std::vector<uint8_t> key = KeyFromFile(mFs.Get(kKey));
    EXPECT_EQ("fits slot 0", golden::Value(file, p.recs[0], key.data()));
    EXPECT_EQ(std::string(90, 'a'), golden::Value(file, p.recs[2], key.data()));
}

TEST_F(Golden, KeyFileHoldsTheKeyInItsOrder)
{
    // A store found without a key file keeps the key it was given and writes it down.
    mFs.Put(kData, golden::BuildFile(2, golden::kHdSize, kEntries, kGivenKey));
    ASSERT_EQ(0, Open(mFs));
    ExpectEntries();
    std::vector<uint8_t> file = mFs.Get(kKey);
    ASSERT_EQ(16u, file.size());
    EXPECT_EQ(kGivenKey[9], file[0]);
    EXPECT_EQ(kGivenKey[0], file[9]);
    EXPECT_EQ(golden::KeyFile(kGivenKey), file);
}

TEST_F(Golden, UpgradesFromVersion1)
{
    PutOld(1, golden::kHdSize);
    ASSERT_EQ(0, Open(mFs));
    ExpectEntries();
    ExpectParsesAsVersion2();
    std::vector<uint8_t> file = mFs.Get(kData);
    // Nothing of the old values is left in the clear, deleted or moved.
    EXPECT_FALSE(Contains(file, "an old value"));
    EXPECT_FALSE(Contains(file, std::string(48, 't')));
    EXPECT_FALSE(Contains(file, "nq1234"));
    // The old file was kept as the backup before anything changed.
    EXPECT_EQ(mOld, mFs.Get(kBak));
    // The slot too small for its encrypted value gave it up for the first free one large
    // enough: the deleted value's.
    golden::Parsed p = golden::Parse(file);
    ASSERT_EQ(7u, p.recs.size());
    EXPECT_EQ(0u, p.recs[5].valid);
    EXPECT_EQ(1u, p.recs[1].valid);
    EXPECT_STREQ("tight", p.recs[1].key);
    // And it stays so over another opening.
    ASSERT_EQ(0, Open(mFs));
    ExpectEntries();
}

TEST_F(Golden, UpgradesFromVersion0WithTheOldHeader)
{
    PutOld(0, 2048);
    ASSERT_EQ(0, Open(mFs));
    ExpectEntries();
    ExpectParsesAsVersion2();
    golden::Parsed p = golden::Parse(mFs.Get(kData));
    // Values moved with the header growth: starts shifted by 28,700 - 2,048.
    EXPECT_EQ(2048u + 26652u, p.recs[0].start);
    EXPECT_FALSE(Contains(mFs.Get(kData), "an old value"));
}

TEST_F(Golden, OldHeaderSizeKeepsTheVersionAndShiftsTheStarts)
{
    for (uint32_t version : {1u, 2u}) {
        SCOPED_TRACE(version);
        mFs.Restore({});
        PutOld(version, 2048);
        ASSERT_EQ(0, Open(mFs));
        ExpectEntries();
        ExpectParsesAsVersion2();
        golden::Parsed p = golden::Parse(mFs.Get(kData));
        EXPECT_EQ(28700u, p.recs[0].start);
        simplekv_deinit();
    }
}

TEST_F(Golden, DeletedKeyNamedByTwoSlotsStaysDeleted)
{
    // An old-layout header carries no check, so a damaged one can name a key twice; a file of
    // today's layout with a good CRC may too. Neither slot may bring the key back.
    const std::vector<golden::Entry> twice = {{"tight", "first"}, {"one", "1"}, {"tight", "second"}};
    for (uint32_t version : {0u, 2u}) {
        SCOPED_TRACE(version);
        mFs.Restore({});
        mFs.Put(kData, golden::BuildFile(version, version == 0 ? 2048 : golden::kHdSize, twice, kStoreKey));
        mFs.Put(kKey, golden::KeyFile(kStoreKey));
        ASSERT_EQ(0, Open(mFs));
        ASSERT_EQ("first", Read("tight"));
        EXPECT_EQ(0, simplekv_delete("tight"));
        EXPECT_EQ("<-3>", Read("tight"));
        EXPECT_EQ("1", Read("one"));
        simplekv_deinit();
        ASSERT_EQ(0, Open(mFs));
        EXPECT_EQ("<-3>", Read("tight"));
        EXPECT_EQ("1", Read("one"));
        simplekv_deinit();
    }
}
