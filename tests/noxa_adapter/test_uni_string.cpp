// The string helpers of the cloud side, row by row.
#include "noxa_adapter/utilities/uni_string.h"

#include <gtest/gtest.h>
#include <string>

namespace {

int Sign(int v)
{
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

TEST(UniString, CaseInsensitiveCompare)
{
    const struct {
        const char* a;
        const char* b;
        size_t n;
        int sign;
    } rows[] = {
        {"Dev/In/ABC", "dev/in/abc", 10, 0},
        {"dev/in/abc", "dev/in/abd", 9, 0},   // only n characters count
        {"dev/in/abc", "dev/in/abd", 10, -1},
        {"b", "A", 1, 1},
        {"abc", "abc", 100, 0},               // both end together before n
        {"abc", "abcd", 100, -1},
        {"[", "{", 1, -1},                    // only A..Z fold: '{' is not '['
        {"\xC4", "\xE4", 1, -1},              // nor bytes above ASCII
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.sign, Sign(uni_strncasecmp(r.a, r.b, r.n))) << r.a << " " << r.b << " " << r.n;
    }
    const char* same = "x";
    EXPECT_EQ(0, uni_strncasecmp(same, same, 5));
    EXPECT_EQ(0, uni_strncasecmp(nullptr, nullptr, 5));
    EXPECT_NE(0, uni_strncasecmp(nullptr, "x", 5));
    EXPECT_EQ('b' - 'a', uni_strncasecmp("B", "a", 1));
}

TEST(UniString, PlainCompare)
{
    EXPECT_EQ(0, uni_strcmp("abc", "abc"));
    EXPECT_EQ(-1, uni_strcmp("abc", "abz"));
    EXPECT_EQ(1, uni_strcmp("b", "a"));
    EXPECT_EQ(1, uni_strcmp("\x80", "a"));  // bytes compare unsigned
    EXPECT_EQ(-1, uni_strcmp(nullptr, "a"));
}

TEST(UniString, HexDigitsAndBytes)
{
    const std::string digits = "0123456789abcdefABCDEFgG/:@";
    const int values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < digits.size(); ++i) {
        EXPECT_EQ(values[i], uni_hexchar_to_nibble(digits[i])) << digits[i];
    }
    char out[7] = "zzzzzz";
    const uint8_t bytes[] = {0x0A, 0xFF, 0x00};
    uni_bytes_to_hexstr(out, bytes, 3);
    EXPECT_STREQ("0AFF00", out);
    uni_bytes_to_hexstr(out, bytes, 0);
    EXPECT_STREQ("", out);
}

TEST(UniString, FindCharFromTheEnd)
{
    const struct {
        const char* text;
        uint32_t skip;
        char ch;
        int index;
    } rows[] = {
        {"a/b/c", 0, '/', 3}, {"a/b/c", 2, '/', 1}, {"a/b/c", 1, '/', 3}, {"a/b/c", 4, 'a', 0},
        {"a/b/c", 5, 'a', -1}, {"a/b/c", 0, '#', -2}, {"", 0, 'a', -1}, {"/", 0, '/', 0},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.index, uni_str_find_char_rev(r.text, r.skip, r.ch)) << r.text << " " << r.skip;
    }
    EXPECT_EQ(-1, uni_str_find_char_rev(nullptr, 0, 'a'));
}

TEST(UniString, VersionTexts)
{
    const struct {
        const char* text;
        int ok;
    } rows[] = {
        {"1.2.3", 1}, {"1", 1}, {"12345678.1", 1}, {"1.2.3.4.5.6", 1}, {"10.20.30.40.50.6789", 1},
        {".1", 0}, {"1..2", 0}, {"1.2.", 0}, {"1.2.3.4.5.6.7", 0}, {"123456789.1", 0}, {"1.a", 0},
        {"1.2-3", 0}, {"", 0}, {"12345678.12345678.12", 1}, {"12345678.12345678.123", 0},  // 20, 21 characters
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.ok, uni_check_version_str(r.text)) << r.text;
    }
    EXPECT_EQ(0, uni_check_version_str(nullptr));
}

}  // namespace
