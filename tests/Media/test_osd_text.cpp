// The time stamp and the text renderer: glyphs from the font files drawn into the region
// canvases, the time stamp in the encoded main stream, the UTF-8 to GB2312 step, and font files
// that hold fewer glyphs than a text asks for.
#include "osd_test_util.h"

#include <cstring>
#include <vector>

namespace {

const time_t kWhen = 1709622489;  // 05-03-2024 07:08:09 UTC

}  // namespace

TEST_F(OsdTest, TimeStampIsDrawnWithTheFontsIntoBothRegions)
{
    StartOsd();
    ASSERT_EQ(0, OsdTimeStampPass(kWhen));
    const std::string big = mSandbox.Read("/customer/res/font/ascii_16x32");
    const std::string small = mSandbox.Read("/customer/res/font/ascii_8x16");
    ASSERT_EQ(256u * 64, big.size());
    // "05-03-2024 07:08:09": character k of the line at x = k + 1 + k x width, y = 1.
    const char* text = "05-03-2024 07:08:09";
    for (uint32_t k : {0u, 1u, 2u, 9u, 18u}) {
        EXPECT_TRUE(ShowsGlyph(kOsdTimeStampMain, k + 1 + k * 16, 1, "16x32", 16, 32, text[k], big)) << k;
        EXPECT_TRUE(ShowsGlyph(kOsdTimeStampSmall, k + 1 + k * 8, 1, "8x16", 8, 16, text[k], small)) << k;
    }
    EXPECT_EQ(0, Pixel(kOsdTimeStampMain, 0, 0)) << "the start offset is 1";
}

TEST_F(OsdTest, WatermarkOffLeavesTheRegionsBlank)
{
    StartOsd();
    ASSERT_EQ(0, OsdTimeStampPass(kWhen));
    gDeviceState.WatermarkSetting = 0;
    ASSERT_EQ(0, OsdTimeStampPass(kWhen + 1));
    for (MI_RGN_HANDLE h : {kOsdTimeStampMain, kOsdTimeStampSmall}) {
        MI_RGN_CanvasInfo_t c{};
        ASSERT_EQ(MI_SUCCESS, MI_RGN_GetCanvasInfo(h, &c));
        const auto* p = static_cast<const uint8_t*>(c.virtAddr);
        size_t lit = 0;
        for (size_t i = 0; i < static_cast<size_t>(c.stride) * c.size.height; ++i) {
            lit += p[i] != 0;
        }
        EXPECT_EQ(0u, lit) << "region " << h;
    }
}

TEST_F(OsdTest, TimeStampShowsInTheEncodedMainStream)
{
    BuildChain();
    StartOsd();
    MainStream stream;
    gDeviceState.WatermarkSetting = 0;
    ASSERT_EQ(0, OsdTimeStampPass(kWhen));
    DecodedPicture blank = stream.Next();
    gDeviceState.WatermarkSetting = 1;
    ASSERT_EQ(0, OsdTimeStampPass(kWhen));
    DecodedPicture stamped = stream.Next();
    ASSERT_EQ(1280, stamped.width);
    ASSERT_EQ(720, stamped.height);

    // Region 4 sits at (20, 10) of the main stream: the strokes of the glyphs turn bright there,
    // the gaps stay as the scene was.
    const std::string big = mSandbox.Read("/customer/res/font/ascii_16x32");
    double onStamped = 0, onBlank = 0, offDiff = 0;
    int on = 0, off = 0;
    const char* text = "05-03-2024";
    for (uint32_t k = 0; k < std::strlen(text); ++k) {
        for (uint32_t r = 0; r < 32; ++r) {
            for (uint32_t c = 0; c < 16; ++c) {
                bool bit = (static_cast<uint8_t>(big[text[k] * 64 + r * 2 + c / 8]) >> (7 - c % 8)) & 1;
                size_t at = static_cast<size_t>(10 + 1 + r) * stamped.width + 20 + k + 1 + k * 16 + c;
                if (bit) {
                    onStamped += stamped.y[at];
                    onBlank += blank.y[at];
                    ++on;
                } else {
                    offDiff += std::abs(static_cast<int>(stamped.y[at]) - static_cast<int>(blank.y[at]));
                    ++off;
                }
            }
        }
    }
    ASSERT_GT(on, 100);
    EXPECT_GT(onStamped / on, 200.0) << "white strokes";
    EXPECT_GT(onStamped / on - onBlank / on, 40.0);
    EXPECT_LT(offDiff / off, onStamped / on - onBlank / on) << "the gaps change less than the strokes";
}

TEST_F(OsdTest, WaitAfterARefreshKeepsTheSecond)
{
    const struct {
        int64_t elapsedUs;
        int64_t waitUs;
    } rows[] = {{300000, 700000}, {1, 999999}, {999999, 1}, {1000000, 10000}, {2500000, 10000}, {0, 980000},
                {-40, 980000}};
    for (const auto& r : rows) {
        EXPECT_EQ(r.waitUs, OsdNextWaitUs(r.elapsedUs)) << r.elapsedUs;
    }
}

TEST_F(OsdTest, FortyCharactersMakeTwoLinesOf32And8)
{
    StartOsd();
    const std::string small = mSandbox.Read("/customer/res/font/ascii_8x16");
    MI_RGN_CanvasInfo_t c{};
    ASSERT_EQ(0, OsdGetCanvas(kOsdTimeStampMain, &c));
    std::string text(32, 'A');
    text += std::string(8, 'B');
    struct Glyph {
        uint32_t x, y;
        char ch;
    };
    const struct {
        OSD_TEXT_DIRECTION_E direction;
        std::vector<Glyph> glyphs;
        uint32_t blankFrom;  // nothing drawn on row 8 from this x on
    } rows[] = {
        // Line 1 at y = 1 x spacing + 1 + 1 x 16 = 18; nothing past 32 characters on line 0.
        {OSD_TEXT_HORIZONTAL, {{31 + 1 + 31 * 8, 1, 'A'}, {1, 18, 'B'}, {7 + 1 + 7 * 8, 18, 'B'}}, 32 + 1 + 32 * 8},
        // Characters go down the line (y = position + 1 + 16 x position), line 1 at x = 1 + 1 + 8;
        // the canvas's 40 rows cut each line after its third character.
        {OSD_TEXT_VERTICAL, {{1, 1, 'A'}, {1, 18, 'A'}, {10, 1, 'B'}, {10, 18, 'B'}}, 10 + 8},
    };
    for (const auto& r : rows) {
        std::memset(c.virtAddr, 0, static_cast<size_t>(c.stride) * c.size.height);
        // The OSD's own entry lays its texts out across.
        ASSERT_EQ(0, r.direction == OSD_TEXT_HORIZONTAL
                         ? OsdCanvasDrawText(kOsdTimeStampMain, 0, 0, text.c_str(), kOsdColourWhite, 0)
                         : OsdCanvasDrawTextAs(kOsdTimeStampMain, 0, 0, text.c_str(), kOsdColourWhite, 0, r.direction));
        for (const Glyph& g : r.glyphs) {
            EXPECT_TRUE(ShowsGlyph(kOsdTimeStampMain, g.x, g.y, "8x16", 8, 16, g.ch, small))
                << r.direction << " " << g.ch << " at " << g.x << "," << g.y;
        }
        for (uint32_t x = r.blankFrom; x < 600; ++x) {
            ASSERT_EQ(0, Pixel(kOsdTimeStampMain, x, 8)) << r.direction << " " << x;
        }
    }
    // Bad handles.
    EXPECT_EQ(1, OsdCanvasDrawText(kOsdHandleMax, 0, 0, "x", kOsdColourWhite, 0));
    EXPECT_EQ(1, OsdCanvasDrawText(7, 0, 0, "x", kOsdColourWhite, 0));
    EXPECT_EQ(1, OsdPutPixel(kOsdTimeStampMain, 600, 0, kOsdColourWhite));
    EXPECT_EQ(1, OsdPutPixel(kOsdTimeStampMain, 0, 40, kOsdColourWhite));
}

TEST_F(OsdTest, TextToGb2312)
{
    const struct {
        const char* text;
        int count;
        std::string out;
    } rows[] = {
        {"12:00", 5, "12:00"},
        {"\xEF\xBB\xBF" "A\xE4\xB8\xAD", 2, "A\xD6\xD0"},          // BOM, "A", U+4E2D
        {"\xEF\xBB\xBF" "\xE2\x98\xBA", 1, "\xFF\xFF"},            // U+263A is not in GB2312
        {"\xEF\xBB\xBF" "\xC3\xA9", 1, "\xA8\xA6"},                // U+00E9 in the pinyin zone
        {"\xEF\xBB\xBF" "a\xF0\x9F\x98\x80", -1, ""},              // 4 bytes fail
        {"\xEF\xBB\xBF" "a\xE4\xB8", -1, ""},                      // cut sequence
        {"\xD6\xD0\xCE\xC4", 4, "\xD6\xD0\xCE\xC4"},               // GB2312 already: unchanged
        {"\xE4\xB8\xAD", 3, "\xE4\xB8\xAD"},                       // UTF-8 without a BOM is taken as it is
        {nullptr, -1, ""},
    };
    for (const auto& r : rows) {
        uint8_t out[64];
        EXPECT_EQ(r.count, OsdTextToGb2312(r.text, out, sizeof(out))) << (r.text ? r.text : "null");
        if (r.count >= 0) {
            EXPECT_EQ(r.out, std::string(reinterpret_cast<char*>(out))) << r.text;
        }
    }
    // A small buffer keeps whole characters only.
    uint8_t out[4];
    EXPECT_EQ(2, OsdTextToGb2312("\xEF\xBB\xBF" "ab\xE4\xB8\xAD", out, sizeof(out)));
    EXPECT_STREQ("ab", reinterpret_cast<char*>(out));
    EXPECT_EQ(2, OsdTextToGb2312("abcdef", out, 3));
}

TEST_F(OsdTest, DoubleByteTextUsesTheHanziFonts)
{
    StartOsd();
    const std::string hanzi = mSandbox.Read("/customer/res/font/hanzi_16x16");
    ASSERT_EQ(0, OsdGetCanvas(kOsdTimeStampMain, nullptr));
    // GB2312 "\xD6\xD0" then "A": the second character starts after the 16-pixel glyph.
    ASSERT_EQ(0, OsdCanvasDrawText(kOsdTimeStampMain, 0, 0, "\xD6\xD0" "A", kOsdColourWhite, 0));
    size_t index = (0xD6 - 0xA1) * 94 + (0xD0 - 0xA1);
    EXPECT_TRUE(ShowsGlyph(kOsdTimeStampMain, 1, 1, "hanzi 16", 16, 16, index, hanzi));
    const std::string small = mSandbox.Read("/customer/res/font/ascii_8x16");
    EXPECT_TRUE(ShowsGlyph(kOsdTimeStampMain, 1 + 1 + 16, 1, "8x16", 8, 16, 'A', small));
}

// Font files shorter than their codes: a glyph past the end of the file is left out, never read.
TEST_F(OsdTest, GlyphsPastTheEndOfAFontFileAreLeftOut)
{
    // 600 bytes of set bits: codes 32 to 36 are whole, code 37 ('%') would end at 608.
    mSandbox.Write("/customer/res/font/ascii_8x16", std::string(600, '\xFF'));
    // A double-byte font holding the first glyph only.
    mSandbox.Write("/customer/res/font/hanzi_16x16", std::string(32, '\xFF'));
    StartOsd();
    ASSERT_EQ(0, OsdGetCanvas(kOsdTimeStampMain, nullptr));
    ASSERT_EQ(0, OsdCanvasDrawText(kOsdTimeStampMain, 0, 0, " %\xA1\xA1\xA1\xA2", kOsdColourWhite, 0));
    EXPECT_EQ(kOsdColourWhite, Pixel(kOsdTimeStampMain, 1, 1)) << "' ' is in the file";
    EXPECT_EQ(kOsdColourWhite, Pixel(kOsdTimeStampMain, 8, 16));
    // '%' at position 1 (x = 1 + 1 + 8) is skipped; the first hanzi at position 2 follows the
    // one glyph drawn (x = 2 + 1 + 8), the second is past the file.
    EXPECT_EQ(0, Pixel(kOsdTimeStampMain, 10, 1));
    EXPECT_EQ(kOsdColourWhite, Pixel(kOsdTimeStampMain, 11, 1));
    EXPECT_EQ(kOsdColourWhite, Pixel(kOsdTimeStampMain, 26, 16));
    for (uint32_t x = 28; x < 80; ++x) {
        ASSERT_EQ(0, Pixel(kOsdTimeStampMain, x, 5)) << x;
    }
    // A lead byte without a second byte of its range takes one position and draws nothing.
    ASSERT_EQ(0, OsdGetCanvas(kOsdTimeStampSmall, nullptr));
    ASSERT_EQ(0, OsdCanvasDrawText(kOsdTimeStampSmall, 0, 0, "\xA1" "!", kOsdColourWhite, 0));
    EXPECT_EQ(0, Pixel(kOsdTimeStampSmall, 1, 1));
    EXPECT_EQ(kOsdColourWhite, Pixel(kOsdTimeStampSmall, 2, 1)) << "'!' at position 1, after no glyph";
}

TEST_F(OsdTest, MissingFontFilesLeaveTheirCharactersOut)
{
    std::remove(mSandbox.Path("/customer/res/font/ascii_16x32").c_str());
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, OsdSystemInit());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("_OSD_BitmapFile_Init"));
    EXPECT_NE(std::string::npos, out.find("open /customer/res/font/ascii_16x32 fail\n"));
    EXPECT_NE(std::string::npos, out.find("/customer/res/font/ascii_8x16 pBitMapAddr:"));
    ASSERT_EQ(0, OsdRegionsCreate());
    ASSERT_EQ(0, OsdTimeStampPass(kWhen));
    MI_RGN_CanvasInfo_t c{};
    ASSERT_EQ(0, OsdGetCanvas(kOsdTimeStampMain, &c));
    const auto* p = static_cast<const uint8_t*>(c.virtAddr);
    for (size_t i = 0; i < static_cast<size_t>(c.stride) * c.size.height; ++i) {
        ASSERT_EQ(0, p[i]);
    }
    int lit = 0;
    for (uint32_t x = 0; x < 200; ++x) {
        for (uint32_t y = 0; y < 40; ++y) {
            lit += Pixel(kOsdTimeStampSmall, x, y) == kOsdColourWhite;
        }
    }
    EXPECT_GT(lit, 100) << "the small stamp has its font";
}
