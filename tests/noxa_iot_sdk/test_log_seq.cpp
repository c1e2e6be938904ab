// Log sequences: the ring, the freeze and the rendered text.
#include "noxa_adapter/utilities/mem_pool.h"
#include "noxa_iot_sdk/online_log/log_seq.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

int gErrCalls = 0;
LOG_SEQ_HANDLE gErrSeq = nullptr;

void CountErr(LOG_SEQ_HANDLE seq)
{
    ++gErrCalls;
    gErrSeq = seq;
}

// The frozen sequence as text (the rendered block is freed here).
std::string Render(LOG_SEQ_HANDLE seq)
{
    char* text = nullptr;
    EXPECT_EQ(0, make_log_seq_string(seq, &text));
    if (text == nullptr) {
        return "";
    }
    std::string s = text;
    Free(text);
    return s;
}

class LogSeq : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, create_log_seq("notify", CountErr, &mSeq)); }
    void TearDown() override { EXPECT_EQ(0, release_log_seq(mSeq)); }
    void Insert(const LOG_SEQ_ENTRY_S& e) { ASSERT_EQ(0, insert_log_seq(mSeq, &e)); }
    void Freeze(const LOG_SEQ_ENTRY_S& e) { ASSERT_EQ(0, insert_error_log_seq(mSeq, &e)); }

    LOG_SEQ_HANDLE mSeq = nullptr;
};

}  // namespace

TEST(LogSeqCreate, NamesUpTo15Characters)
{
    const struct {
        const char* name;
        int ret;
    } rows[] = {
        {"stream_stg", 0},
        {"123456789012345", 0},
        {"1234567890123456", -2},
        {"", -2},
        {nullptr, -2},
    };
    for (const auto& row : rows) {
        LOG_SEQ_HANDLE seq = nullptr;
        EXPECT_EQ(row.ret, create_log_seq(row.name, nullptr, &seq)) << (row.name ? row.name : "NULL");
        if (row.ret == 0) {
            EXPECT_EQ(0, release_log_seq(seq));
        }
    }
    EXPECT_EQ(-2, create_log_seq("http", nullptr, nullptr));
    EXPECT_EQ(-2, release_log_seq(nullptr));
}

TEST_F(LogSeq, EleventhEntryOverwritesTheOldest)
{
    for (uint8_t i = 1; i <= 11; ++i) {
        Insert(log_seq_uint(i, 100u + i));
    }
    Freeze(log_seq_str(12, "upload_err"));
    // 12 entries in a ring of 10: 1 and 2 are gone.
    EXPECT_EQ("notify 3:103 4:104 5:105 6:106 7:107 8:108 9:109 10:110 11:111 12:upload_err", Render(mSeq));
}

TEST_F(LogSeq, RepeatedTagAndTypeOverwriteTheNewest)
{
    Insert(log_seq_int(1, -5));
    Insert(log_seq_int(2, 1));
    Insert(log_seq_int(2, 2));  // same step again: replaces
    Insert(log_seq_uint(2, 3)); // same tag, other type: a new entry
    Insert(log_seq_int(1, 4));  // tag of an older entry: a new entry
    Freeze(log_seq_int(1, 4));  // same as the newest: replaces it
    EXPECT_EQ("notify 1:-5 2:2 2:3 1:4", Render(mSeq));
}

TEST_F(LogSeq, ErrorEntryFreezesAndCallsBackOnce)
{
    char* text = nullptr;
    EXPECT_EQ(LOG_SEQ_NOT_FROZEN, make_log_seq_string(mSeq, &text));
    EXPECT_EQ(nullptr, text);
    Insert(log_seq_str(1, "start"));
    Freeze(log_seq_str(2, "snap_err"));
    EXPECT_EQ(1, gErrCalls);
    EXPECT_EQ(mSeq, gErrSeq);

    LOG_SEQ_ENTRY_S later = log_seq_str(3, "later");
    EXPECT_EQ(LOG_SEQ_FROZEN, insert_log_seq(mSeq, &later));
    EXPECT_EQ(LOG_SEQ_FROZEN, insert_error_log_seq(mSeq, &later));
    EXPECT_EQ(1, gErrCalls) << "a second error must not report the same sequence again";
    EXPECT_EQ("notify 1:start 2:snap_err", Render(mSeq));

    // Flushed: a fresh sequence that reports its next failure.
    EXPECT_EQ(0, clear_log_seq(mSeq));
    EXPECT_EQ(LOG_SEQ_NOT_FROZEN, make_log_seq_string(mSeq, &text));
    Insert(log_seq_str(4, "again"));
    Freeze(log_seq_int(5, -1102));
    EXPECT_EQ(2, gErrCalls);
    EXPECT_EQ("notify 4:again 5:-1102", Render(mSeq));
}

TEST_F(LogSeq, TextOfAFullRingFits242Bytes)
{
    LOG_SEQ_HANDLE seq = nullptr;
    ASSERT_EQ(0, create_log_seq("123456789012345", nullptr, &seq));
    // The widest entries: tag 255 and 16-character texts, or the longest number.
    for (int i = 0; i < 9; ++i) {
        LOG_SEQ_ENTRY_S e = log_seq_str(static_cast<uint8_t>(250 + (i % 2)), "0123456789abcdefTAIL");
        ASSERT_EQ(0, insert_log_seq(seq, &e));
    }
    LOG_SEQ_ENTRY_S last = log_seq_int(255, INT32_MIN);
    ASSERT_EQ(0, insert_error_log_seq(seq, &last));
    std::string text = Render(seq);
    EXPECT_LE(text.size() + 1, static_cast<size_t>(LOG_SEQ_STR_MAX));
    EXPECT_NE(std::string::npos, text.find(" 250:0123456789abcdef 251:")) << "texts are cut to 16 characters";
    EXPECT_NE(std::string::npos, text.find(" 255:-2147483648"));
    EXPECT_EQ(0, release_log_seq(seq));
}

TEST_F(LogSeq, UnprintableTextBytesAreMasked)
{
    Freeze(log_seq_str(1, "a\nb\x01"));
    EXPECT_EQ("notify 1:a.b.", Render(mSeq));
}
