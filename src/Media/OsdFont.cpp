#include "OsdFont.h"

#include "osd.h"
#include "platform/board_path.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// The Unicode to GB2312 table made at build time (res/fonts/mkfont): pairs of (code point,
// GB2312 code with its first byte in the low half), the ASCII identity pairs first.
extern const uint16_t gUnicodeGb2312[][2];
extern const size_t gUnicodeGb2312Count;

OSD_FONT_FILE_S gOsdFontFile[kOsdFontFileCount] = {
    {"/customer/res/font/ascii_8x16", -1, nullptr, {}, 8, 16},
    {"/customer/res/font/ascii_16x32", -1, nullptr, {}, 16, 32},
    {"/customer/res/font/ascii_24x48", -1, nullptr, {}, 24, 48},
    {"/customer/res/font/ascii_32x64", -1, nullptr, {}, 32, 64},
    {"/customer/res/font/hanzi_16x16", -1, nullptr, {}, 16, 16},
    {"/customer/res/font/hanzi_32x32", -1, nullptr, {}, 32, 32},
    {"/customer/res/font/hanzi_48x48", -1, nullptr, {}, 48, 48},
    {"/customer/res/font/hanzi_64x64", -1, nullptr, {}, 64, 64},
};

namespace {

constexpr int kGbFirst = 0xA1;
constexpr int kGbLast = 0xFE;
constexpr int kGbPerZone = 94;

// Text kinds of the conversion.
enum { TEXT_ASCII = 0, TEXT_UTF8_BOM = 1, TEXT_GB2312 = 2, TEXT_NONE = 3 };

int __Kind(const char* text)
{
    if (text == nullptr) {
        return TEXT_NONE;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        return TEXT_UTF8_BOM;
    }
    for (; *p != 0; ++p) {
        if (*p >= 0x80) {
            return TEXT_GB2312;  // a multi-byte lead or a byte that is no UTF-8
        }
    }
    return TEXT_ASCII;
}

// One UTF-8 character of 1 to 3 bytes: its length, or -1 (4 bytes, broken or cut).
int __Decode(const uint8_t* p, uint32_t* code)
{
    if (p[0] < 0x80) {
        *code = p[0];
        return 1;
    }
    int len = 0;
    if ((p[0] & 0xE0) == 0xC0) {
        len = 2;
        *code = p[0] & 0x1F;
    } else if ((p[0] & 0xF0) == 0xE0) {
        len = 3;
        *code = p[0] & 0x0F;
    } else {
        return -1;
    }
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return -1;
        }
        *code = *code << 6 | (p[i] & 0x3F);
    }
    return len;
}

uint16_t __Lookup(uint32_t code)
{
    for (size_t i = 0; i < gUnicodeGb2312Count; ++i) {
        if (gUnicodeGb2312[i][0] == code) {
            return gUnicodeGb2312[i][1];
        }
    }
    return 0xFFFF;
}

}  // namespace

void _OSD_BitmapFile_Init()
{
    for (OSD_FONT_FILE_S& f : gOsdFontFile) {
        if (f.Fd >= 0) {
            continue;
        }
        int fd = BoardOpen(f.Path, O_RDONLY);
        if (fd < 0) {
            std::printf("%s %d, open %s fail\n", "_OSD_BitmapFile_Init", __LINE__, f.Path);
            continue;
        }
        struct stat st = {};
        if (fstat(fd, &st) != 0 || st.st_size <= 0) {
            std::printf("%s %d, fstat %s fail\n", "_OSD_BitmapFile_Init", __LINE__, f.Path);
            close(fd);
            continue;
        }
        void* addr = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            std::printf("%s %d, mmap %s fail\n", "_OSD_BitmapFile_Init", __LINE__, f.Path);
            close(fd);
            continue;
        }
        f.Fd = fd;
        f.Addr = static_cast<const uint8_t*>(addr);
        f.Stat = st;
        std::printf("%s %d, %s pBitMapAddr:%p, end:%p\n", "_OSD_BitmapFile_Init", __LINE__, f.Path, addr,
                    static_cast<const void*>(f.Addr + st.st_size));
    }
}

const uint8_t* OsdFindGlyph(uint32_t sizeIndex, const uint8_t* text, size_t avail, OSD_GLYPH_S* glyph,
                            size_t* consumed)
{
    *consumed = 1;
    if (sizeIndex >= kOsdFontSizes || avail == 0) {
        return nullptr;
    }
    const uint8_t b = text[0];
    const OSD_FONT_FILE_S* font = nullptr;
    size_t offset = 0;
    if (b >= kGbFirst && b <= kGbLast) {
        if (avail < 2 || text[1] < kGbFirst || text[1] > kGbLast) {
            return nullptr;  // a lead byte without its second byte: skipped
        }
        *consumed = 2;
        font = &gOsdFontFile[kOsdFontSizes + sizeIndex];
        size_t index = static_cast<size_t>(b - kGbFirst) * kGbPerZone + (text[1] - kGbFirst);
        offset = index * font->Width * font->Height / 8;
    } else if (b >= 32 && b <= 127) {
        font = &gOsdFontFile[sizeIndex];
        offset = static_cast<size_t>(b) * font->Height * ((font->Width + 7) / 8);
    } else {
        return nullptr;
    }
    const size_t size = static_cast<size_t>(font->Height) * ((font->Width + 7) / 8);
    // A code the file does not hold would read past the mapping.
    if (font->Addr == nullptr || offset + size > static_cast<size_t>(font->Stat.st_size)) {
        return nullptr;
    }
    glyph->Bits = font->Addr + offset;
    glyph->Width = font->Width;
    glyph->Height = font->Height;
    return glyph->Bits;
}

int OsdTextToGb2312(const char* text, uint8_t* out, size_t outSize)
{
    if (out == nullptr || outSize == 0) {
        return -1;
    }
    out[0] = 0;
    const int kind = __Kind(text);
    if (kind == TEXT_NONE) {
        return -1;
    }
    if (kind == TEXT_GB2312) {
        size_t n = std::strlen(text);
        if (n > outSize - 1) {
            n = outSize - 1;
        }
        std::memcpy(out, text, n);
        out[n] = 0;
        return static_cast<int>(n);
    }
    const auto* p = reinterpret_cast<const uint8_t*>(text);
    if (kind == TEXT_UTF8_BOM) {
        p += 3;
    }
    size_t used = 0;
    int count = 0;
    while (*p != 0) {
        uint32_t code = 0;
        int len = __Decode(p, &code);
        if (len < 0) {
            out[used] = 0;
            return -1;
        }
        p += len;
        uint16_t gb = __Lookup(code);
        size_t need = gb <= 0xFF ? 1 : 2;
        if (used + need > outSize - 1) {
            break;  // the buffer is full: the text is cut at a whole character
        }
        out[used++] = static_cast<uint8_t>(gb & 0xFF);
        if (need == 2) {
            out[used++] = static_cast<uint8_t>(gb >> 8);
        }
        ++count;
    }
    out[used] = 0;
    return count;
}
