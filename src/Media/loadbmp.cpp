#include "loadbmp.h"

#include "platform/board_path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>
#include <vector>

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

uint16_t __U16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t __U32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Opens the file and reads both headers; the file is left open for the pixels.
File __OpenBmp(const char* fileName, BITMAP_FILE_HEADER_S* fh, BITMAP_INFO_HEADER_S* ih)
{
    if (fileName == nullptr) {
        std::printf("OSD_LoadBMP: filename=NULL\n");
        return nullptr;
    }
    File f(BoardFopen(fileName, "rb"));
    if (f == nullptr) {
        std::printf("Open file faild:%s!\n", fileName);
        return nullptr;
    }
    uint8_t head[14];
    if (std::fread(head, 1, 2, f.get()) != 2 || __U16(head) != 0x4D42) {
        std::printf("not bitmap file\n");
        return nullptr;
    }
    // The rest of the file header, then the info header (and the first palette entry, when the
    // file has one: only the 40 header bytes must be there).
    uint8_t info[44] = {};
    if (std::fread(head + 2, 1, 12, f.get()) != 12 || std::fread(info, 1, sizeof(info), f.get()) < 40) {
        std::printf("not bitmap file\n");
        return nullptr;
    }
    fh->Type = __U16(head);
    fh->Size = __U32(head + 2);
    fh->Reserved1 = __U16(head + 6);
    fh->Reserved2 = __U16(head + 8);
    fh->OffBits = __U32(head + 10);
    ih->Size = __U32(info);
    ih->Width = static_cast<int32_t>(__U32(info + 4));
    ih->Height = static_cast<int32_t>(__U32(info + 8));
    ih->Planes = __U16(info + 12);
    ih->BitCount = __U16(info + 14);
    ih->Compression = __U32(info + 16);
    ih->SizeImage = __U32(info + 20);
    ih->XPelsPerMeter = static_cast<int32_t>(__U32(info + 24));
    ih->YPelsPerMeter = static_cast<int32_t>(__U32(info + 28));
    ih->ClrUsed = __U32(info + 32);
    ih->ClrImportant = __U32(info + 36);
    return f;
}

// A 24-bit pixel in a 16-bit format: each channel keeps its top bits; alpha bits are all 1.
uint16_t __Pack16(uint8_t b, uint8_t g, uint8_t r, uint32_t format)
{
    static const uint8_t kBits[5][4] = {{0, 4, 4, 4}, {4, 4, 4, 4}, {0, 5, 5, 5}, {0, 5, 6, 5}, {1, 5, 5, 5}};
    const uint8_t* bits = kBits[format];  // alpha, red, green, blue
    uint32_t v = static_cast<uint32_t>(b >> (8 - bits[3]));
    v |= static_cast<uint32_t>(g >> (8 - bits[2])) << bits[3];
    v |= static_cast<uint32_t>(r >> (8 - bits[1])) << (bits[3] + bits[2]);
    v |= ((1u << bits[0]) - 1) << (bits[3] + bits[2] + bits[1]);
    return static_cast<uint16_t>(v);
}

}  // namespace

const char* GetExtName(const char* fileName)
{
    if (fileName == nullptr) {
        return nullptr;
    }
    const char* dot = std::strrchr(fileName, '.');
    return dot == nullptr ? nullptr : dot + 1;
}

int GetBmpInfo(const char* fileName, BITMAP_FILE_HEADER_S* fileHeader, BITMAP_INFO_HEADER_S* infoHeader)
{
    if (fileHeader == nullptr || infoHeader == nullptr) {
        return -1;
    }
    return __OpenBmp(fileName, fileHeader, infoHeader) == nullptr ? -1 : 0;
}

int LoadImageEx(const char* fileName, BITMAP_SURFACE_S* surface, uint32_t pixelFormat)
{
    const char* ext = GetExtName(fileName);
    if (ext == nullptr) {
        std::printf("LoadImageEx error!\n");
        return -1;
    }
    if (strcasecmp(ext, "bmp") != 0) {
        std::printf("not supported image file!\n");
        return -1;
    }
    BITMAP_FILE_HEADER_S fh{};
    BITMAP_INFO_HEADER_S ih{};
    File f = __OpenBmp(fileName, &fh, &ih);
    if (f == nullptr || surface == nullptr) {
        std::printf("OSD_LoadBMP error!\n");
        return -1;
    }
    const uint32_t bpp = ih.BitCount / 8;
    const uint32_t dstBpp = pixelFormat < 6 ? 2 : 4;
    if (bpp < 2 || bpp > 4 || ih.Width <= 0 || ih.Width > 4096 || ih.Height > 4096 || ih.Height == 0 ||
        (bpp != 3 && bpp != dstBpp)) {
        std::printf("bitmap format not supported!\n");
        std::printf("OSD_LoadBMP error!\n");
        return -1;
    }
    if (ih.Compression != 0) {
        std::printf("not support compressed bitmap file!\n");
        std::printf("OSD_LoadBMP error!\n");
        return -1;
    }
    if (ih.Height < 0) {
        std::printf("bmpInfo.bmiHeader.biHeight < 0\n");
        std::printf("OSD_LoadBMP error!\n");
        return -1;
    }
    const uint32_t w = static_cast<uint32_t>(ih.Width);
    const uint32_t h = static_cast<uint32_t>(ih.Height);
    const uint32_t lineLen = (w * bpp + 3) & ~3u;
    const uint32_t stride = w * dstBpp;
    // The pixel area the header claims must be in the file, and the picture in the buffer.
    long fileSize = -1;
    if (std::fseek(f.get(), 0, SEEK_END) == 0) {
        fileSize = std::ftell(f.get());
    }
    if (fileSize < 0 || static_cast<uint64_t>(fh.OffBits) + static_cast<uint64_t>(lineLen) * h >
                            static_cast<uint64_t>(fileSize)) {
        std::printf("fread (%d*%d)error!line:%d\n", static_cast<int>(w), static_cast<int>(h), __LINE__);
        std::printf("OSD_LoadBMP error!\n");
        return -1;
    }
    if (surface->Data == nullptr || static_cast<uint64_t>(stride) * h > surface->Size) {
        std::printf("not enough memory to malloc!\n");
        return -1;
    }
    surface->Width = w;
    surface->Height = h;
    surface->Stride = stride;
    std::vector<uint8_t> line(lineLen);
    bool noFormat = false;
    for (uint32_t y = 0; y < h; ++y) {
        // The file's last line is the top of the picture.
        long at = static_cast<long>(fh.OffBits) + static_cast<long>(h - 1 - y) * static_cast<long>(lineLen);
        if (std::fseek(f.get(), at, SEEK_SET) != 0 || std::fread(line.data(), 1, lineLen, f.get()) != lineLen) {
            std::printf("fread (%d*%d)error!line:%d\n", static_cast<int>(w), static_cast<int>(h), __LINE__);
            std::printf("fread: %s\n", std::strerror(errno));
            return -1;
        }
        uint8_t* out = surface->Data + static_cast<size_t>(y) * stride;
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* src = line.data() + x * bpp;
            if (bpp != 3) {
                std::memcpy(out + x * dstBpp, src, bpp);  // 16 and 32 bits: as they are
            } else if (pixelFormat <= OSD_PIXEL_ARGB1555) {
                uint16_t v = __Pack16(src[0], src[1], src[2], pixelFormat);
                out[x * 2] = static_cast<uint8_t>(v & 0xFF);
                out[x * 2 + 1] = static_cast<uint8_t>(v >> 8);
            } else if (pixelFormat == OSD_PIXEL_ARGB8888 || pixelFormat == OSD_PIXEL_ABGR8888) {
                std::memcpy(out + x * 4, src, 3);
                out[x * 4 + 3] = 255;
            } else if (!noFormat) {
                std::printf("file(%s), line(%d), no such format!\n", __FILE__, __LINE__);
                noFormat = true;
            }
        }
    }
    return 0;
}
