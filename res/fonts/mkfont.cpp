// Makes the OSD's text resources at build time:
//   mkfont fonts MONO.ttf CJK.ttc OUTDIR   the bitmap font files ascii_WxH and hanzi_NxN
//   mkfont table OUT.cpp                   the Unicode to GB2312 table as C++ source
// Font file format: glyphs one after another, each `height` rows of ceil(width / 8) bytes, most
// significant bit leftmost. Single-byte files hold codes 0 to 255; double-byte files follow the
// GB2312 code table from 0xA1A1, 94 glyphs per zone. The GB2312 character set comes from the C
// library's iconv, the glyphs from FreeType.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <string>
#include <vector>

namespace {

constexpr int kZoneFirst = 0xA1;
constexpr int kZoneLast = 0xF7;  // the last zone of GB2312 with characters
constexpr int kPerZone = 94;

// Unicode code point of the GB2312 character (two bytes, EUC-CN), 0 when there is none.
uint32_t __GbToUnicode(iconv_t cd, int b1, int b2)
{
    char in[2] = {static_cast<char>(b1), static_cast<char>(b2)};
    uint32_t out = 0;
    char* ip = in;
    char* op = reinterpret_cast<char*>(&out);
    size_t il = sizeof(in);
    size_t ol = sizeof(out);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || ol != 0) {
        return 0;
    }
    return out;
}

struct Font {
    FT_Library lib = nullptr;
    FT_Face face = nullptr;
    ~Font()
    {
        if (face) {
            FT_Done_Face(face);
        }
        if (lib) {
            FT_Done_FreeType(lib);
        }
    }
};

bool __Open(Font& f, const char* path)
{
    if (FT_Init_FreeType(&f.lib) != 0 || FT_New_Face(f.lib, path, 0, &f.face) != 0) {
        std::fprintf(stderr, "mkfont: cannot open font %s\n", path);
        return false;
    }
    return true;
}

// The largest pixel size whose advance and line height fit the cell.
int __FitSize(FT_Face face, int width, int height, uint32_t probe)
{
    for (int px = height; px > 4; --px) {
        FT_Set_Pixel_Sizes(face, 0, px);
        if (FT_Load_Char(face, probe, FT_LOAD_DEFAULT) != 0) {
            continue;
        }
        int advance = static_cast<int>(face->glyph->advance.x >> 6);
        int lineHeight = static_cast<int>((face->size->metrics.ascender - face->size->metrics.descender) >> 6);
        if (advance <= width && lineHeight <= height) {
            return px;
        }
    }
    return 4;
}

// One glyph into its cell (all zero when the font has none).
void __Render(FT_Face face, uint32_t code, int width, int height, uint8_t* cell)
{
    const int bpr = (width + 7) / 8;
    std::memset(cell, 0, static_cast<size_t>(bpr) * height);
    if (code == 0 || FT_Get_Char_Index(face, code) == 0) {
        return;
    }
    if (FT_Load_Char(face, code, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME) != 0) {
        return;
    }
    const FT_GlyphSlot g = face->glyph;
    const FT_Bitmap& bm = g->bitmap;
    int ascender = static_cast<int>(face->size->metrics.ascender >> 6);
    int descender = static_cast<int>(-(face->size->metrics.descender >> 6));
    int baseline = (height - (ascender + descender)) / 2 + ascender;
    int advance = static_cast<int>(g->advance.x >> 6);
    int x0 = (width - advance) / 2 + g->bitmap_left;
    int y0 = baseline - g->bitmap_top;
    for (unsigned r = 0; r < bm.rows; ++r) {
        for (unsigned c = 0; c < bm.width; ++c) {
            bool set = false;
            if (bm.pixel_mode == FT_PIXEL_MODE_MONO) {
                set = (bm.buffer[r * bm.pitch + c / 8] >> (7 - c % 8)) & 1;
            } else if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) {
                set = bm.buffer[r * bm.pitch + c] >= 128;
            }
            int x = x0 + static_cast<int>(c);
            int y = y0 + static_cast<int>(r);
            if (set && x >= 0 && x < width && y >= 0 && y < height) {
                cell[y * bpr + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
        }
    }
}

bool __Write(const std::string& path, const std::vector<uint8_t>& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "mkfont: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

bool __Fonts(const char* mono, const char* cjk, const std::string& dir)
{
    static const int kAscii[4][2] = {{8, 16}, {16, 32}, {24, 48}, {32, 64}};
    static const int kHanzi[4] = {16, 32, 48, 64};
    Font ascii;
    Font hanzi;
    if (!__Open(ascii, mono) || !__Open(hanzi, cjk)) {
        return false;
    }
    for (const auto& size : kAscii) {
        const int w = size[0];
        const int h = size[1];
        const size_t glyph = static_cast<size_t>((w + 7) / 8) * h;
        __FitSize(ascii.face, w, h, 'M');
        std::vector<uint8_t> data(256 * glyph);
        for (uint32_t code = 32; code < 127; ++code) {
            __Render(ascii.face, code, w, h, data.data() + code * glyph);
        }
        if (!__Write(dir + "/ascii_" + std::to_string(w) + "x" + std::to_string(h), data)) {
            return false;
        }
    }
    iconv_t cd = iconv_open("UTF-32LE", "GB2312");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::fprintf(stderr, "mkfont: iconv has no GB2312\n");
        return false;
    }
    bool ok = true;
    for (int n : kHanzi) {
        const size_t glyph = static_cast<size_t>(n) * n / 8;
        const int size = n * 15 / 16;  // one pixel in 16 apart, so neighbours do not touch
        FT_Set_Pixel_Sizes(hanzi.face, 0, size);
        std::vector<uint8_t> data((kZoneLast - kZoneFirst + 1) * kPerZone * glyph);
        for (int b1 = kZoneFirst; b1 <= kZoneLast; ++b1) {
            for (int b2 = kZoneFirst; b2 < kZoneFirst + kPerZone; ++b2) {
                size_t index = static_cast<size_t>(b1 - kZoneFirst) * kPerZone + (b2 - kZoneFirst);
                __Render(hanzi.face, __GbToUnicode(cd, b1, b2), n, n, data.data() + index * glyph);
            }
        }
        if (!__Write(dir + "/hanzi_" + std::to_string(n) + "x" + std::to_string(n), data)) {
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    return ok;
}

bool __Table(const std::string& out)
{
    iconv_t cd = iconv_open("UTF-32LE", "GB2312");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::fprintf(stderr, "mkfont: iconv has no GB2312\n");
        return false;
    }
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    for (uint32_t c = 0; c < 128; ++c) {
        pairs.emplace_back(c, c);
    }
    for (int b1 = kZoneFirst; b1 <= 0xFE; ++b1) {
        for (int b2 = kZoneFirst; b2 <= 0xFE; ++b2) {
            uint32_t u = __GbToUnicode(cd, b1, b2);
            if (u != 0 && u <= 0xFFFF) {
                pairs.emplace_back(u, static_cast<uint32_t>(b1 | b2 << 8));  // first byte in the low half
            }
        }
    }
    iconv_close(cd);
    std::string text =
        "// Made by res/fonts/mkfont from the C library's GB2312 character set: do not edit.\n"
        "#include <cstddef>\n#include <cstdint>\n\n"
        "extern const uint16_t gUnicodeGb2312[][2];\nextern const size_t gUnicodeGb2312Count;\n\n"
        "const uint16_t gUnicodeGb2312[][2] = {\n";
    char line[32];
    for (size_t i = 0; i < pairs.size(); ++i) {
        std::snprintf(line, sizeof(line), "{0x%04x,0x%04x},%s", pairs[i].first, pairs[i].second,
                      (i % 6 == 5) ? "\n" : "");
        text += line;
    }
    text += "\n};\nconst size_t gUnicodeGb2312Count = " + std::to_string(pairs.size()) + ";\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    return __Write(out, bytes);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "fonts") == 0) {
        return __Fonts(argv[2], argv[3], argv[4]) ? 0 : 1;
    }
    if (argc == 3 && std::strcmp(argv[1], "table") == 0) {
        return __Table(argv[2]) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: mkfont fonts MONO.ttf CJK.ttc OUTDIR | mkfont table OUT.cpp\n");
    return 2;
}
