// The OSD's BMP loader over arbitrary files, into a surface of exactly the room the input
// gives: a picture it takes must match an independent reading of the file's pixel lines (bottom
// line first, 24-bit pixels packed to the surface format), one it refuses must leave the surface
// as it was.
#include "Media/loadbmp.h"
#include "fuzz_util.h"

#include <cstring>
#include <memory>
#include <vector>

namespace {

using fuzz::Check;

const char kFile[] = "/customer/res/Fuzz.bmp";
const uint32_t kFormats[] = {OSD_PIXEL_RGB444,  OSD_PIXEL_ARGB4444,  OSD_PIXEL_RGB555, OSD_PIXEL_RGB565,
                             OSD_PIXEL_ARGB1555, OSD_PIXEL_ARGB8888, OSD_PIXEL_ABGR8888, 5};

uint32_t U32(const uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A 24-bit pixel (blue, green, red) in a 16-bit format: the top bits of each, alpha all ones.
uint16_t Pack(const uint8_t* bgr, uint32_t format)
{
    struct Bits {
        int a, r, g, b;
    };
    static const Bits kBits[] = {{0, 4, 4, 4}, {4, 4, 4, 4}, {0, 5, 5, 5}, {0, 5, 6, 5}, {1, 5, 5, 5}};
    const Bits& k = kBits[format];
    uint32_t v = bgr[0] >> (8 - k.b);
    v |= static_cast<uint32_t>(bgr[1] >> (8 - k.g)) << k.b;
    v |= static_cast<uint32_t>(bgr[2] >> (8 - k.r)) << (k.b + k.g);
    v |= ((1u << k.a) - 1) << (k.b + k.g + k.r);
    return static_cast<uint16_t>(v);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietStdout();
    fuzz::Sandbox({"/customer/res"});
    return 0;
}

// Input: the surface format (by index), the surface's room in bytes (16 bits), then the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    uint32_t format = kFormats[data[0] % 8];
    uint32_t room = static_cast<uint32_t>(data[1] | data[2] << 8);
    const uint8_t* file = data + 3;
    size_t fileLen = size - 3;
    fuzz::PutFile(kFile, file, fileLen);

    BITMAP_FILE_HEADER_S fh{};
    BITMAP_INFO_HEADER_S ih{};
    if (GetBmpInfo(kFile, &fh, &ih) == 0) {
        Check(fileLen >= 54 && fh.Type == 0x4D42 && fh.OffBits == U32(file + 10) &&
              static_cast<uint32_t>(ih.Width) == U32(file + 18) && static_cast<uint32_t>(ih.Height) == U32(file + 22) &&
              ih.BitCount == (file[28] | file[29] << 8) && ih.Compression == U32(file + 30));
    }

    std::unique_ptr<uint8_t[]> pixels(new uint8_t[room]);
    memset(pixels.get(), 0xA5, room);
    BITMAP_SURFACE_S surface{0, 0, 0, pixels.get(), room};
    if (LoadImageEx(kFile, &surface, format) != 0) {
        for (uint32_t i = 0; i < room; ++i) {
            Check(pixels[i] == 0xA5);
        }
        return 0;
    }
    // Taken: the headers read, and every pixel from its place in the file.
    Check(fileLen >= 54);
    const uint32_t w = U32(file + 18);
    const uint32_t h = U32(file + 22);
    const uint32_t bpp = (file[28] | file[29] << 8) / 8u;
    const uint32_t dstBpp = format < 6 ? 2 : 4;
    Check(surface.Width == w && surface.Height == h && surface.Stride == w * dstBpp);
    Check(static_cast<uint64_t>(surface.Stride) * h <= room);
    const uint32_t lineLen = (w * bpp + 3) & ~3u;
    const uint32_t off = U32(file + 10);
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* line = file + off + static_cast<size_t>(h - 1 - y) * lineLen;
        Check(line + lineLen <= file + fileLen);
        const uint8_t* out = pixels.get() + static_cast<size_t>(y) * surface.Stride;
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* src = line + x * bpp;
            const uint8_t* dst = out + x * dstBpp;
            if (bpp != 3) {
                Check(memcmp(dst, src, bpp) == 0);
            } else if (dstBpp == 2 && format <= OSD_PIXEL_ARGB1555) {
                uint16_t v = Pack(src, format);
                Check(dst[0] == (v & 0xFF) && dst[1] == (v >> 8));
            } else if (dstBpp == 4 && format != 5) {
                Check(memcmp(dst, src, 3) == 0 && dst[3] == 255);
            }
        }
    }
    return 0;
}
