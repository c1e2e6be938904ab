// BMP loading for the OSD icons: uncompressed 16-, 24- and 32-bit bitmaps into a 16- or 32-bit
// surface. The unit uses pixel format 1 (ARGB4444) only.
#pragma once

#include <cstdint>

// Surface pixel formats: 0 RGB444, 1 ARGB4444, 2 RGB555, 3 RGB565, 4 ARGB1555 (16 bits);
// 6 and 7 32 bits (blue, green, red, alpha).
enum {
    OSD_PIXEL_RGB444 = 0,
    OSD_PIXEL_ARGB4444 = 1,
    OSD_PIXEL_RGB555 = 2,
    OSD_PIXEL_RGB565 = 3,
    OSD_PIXEL_ARGB1555 = 4,
    OSD_PIXEL_ARGB8888 = 6,
    OSD_PIXEL_ABGR8888 = 7,
};

// What the loader fills: width, height and stride (bytes per line) are set by it; the caller
// supplies the buffer and says how many bytes it holds, and a picture that does not fit is
// refused.
struct BITMAP_SURFACE_S {
    uint32_t Width;
    uint32_t Height;
    uint32_t Stride;
    uint8_t* Data;
    uint32_t Size;  // bytes at Data
};

// The 14-byte file header and the 40-byte info header, as read from the file (little endian).
struct BITMAP_FILE_HEADER_S {
    uint16_t Type;  // "BM"
    uint32_t Size;
    uint16_t Reserved1;
    uint16_t Reserved2;
    uint32_t OffBits;  // where the pixel data starts
};

struct BITMAP_INFO_HEADER_S {
    uint32_t Size;
    int32_t Width;
    int32_t Height;  // negative: top-down, not supported
    uint16_t Planes;
    uint16_t BitCount;
    uint32_t Compression;
    uint32_t SizeImage;
    int32_t XPelsPerMeter;
    int32_t YPelsPerMeter;
    uint32_t ClrUsed;
    uint32_t ClrImportant;
};

// The text after the last ".", or nullptr when there is none.
const char* GetExtName(const char* fileName);
// Reads both headers of a unit path. 0, or -1 with the reason printed.
int GetBmpInfo(const char* fileName, BITMAP_FILE_HEADER_S* fileHeader, BITMAP_INFO_HEADER_S* infoHeader);
// Loads a ".bmp" into the surface in the pixel format. 0, or -1 with the reason printed (a
// header that claims more pixel data than the file holds is refused before anything is read).
int LoadImageEx(const char* fileName, BITMAP_SURFACE_S* surface, uint32_t pixelFormat);
