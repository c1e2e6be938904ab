// Bitmap font files of the OSD, mapped whole at start-up (inside of the OSD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/stat.h>

struct OSD_FONT_FILE_S {
    char Path[64];
    int Fd;  // -1: closed
    const uint8_t* Addr;
    struct stat Stat;  // st_size is the mapping's length
    uint32_t Width;
    uint32_t Height;
};

constexpr int kOsdFontFileCount = 8;  // single-byte sizes 0 to 3, then double-byte sizes 0 to 3
extern OSD_FONT_FILE_S gOsdFontFile[kOsdFontFileCount];

// Opens and maps the eight files; one that cannot be opened, examined or mapped stays closed.
void _OSD_BitmapFile_Init();

// The glyph of the character at `text` (avail bytes left) in the font of the size index: a byte
// from 161 to 254 and the next one from 161 to 254 are a double-byte character, a byte from 32
// to 127 a single-byte one. `consumed` says how many bytes the character took (1 when it is
// skipped). Null when there is no glyph: a closed font, a code outside the drawn ranges, or a
// glyph that would lie past the end of the mapped file.
struct OSD_GLYPH_S {
    const uint8_t* Bits;  // rows of (Width + 7) / 8 bytes, most significant bit leftmost
    uint32_t Width;
    uint32_t Height;
};
const uint8_t* OsdFindGlyph(uint32_t sizeIndex, const uint8_t* text, size_t avail, OSD_GLYPH_S* glyph,
                            size_t* consumed);
