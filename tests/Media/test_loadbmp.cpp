// The BMP loader: pixel conversion, line order, and the files it refuses.
#include "Media/loadbmp.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Bmp {
    int32_t width = 2;
    int32_t height = 2;
    uint16_t bits = 24;
    uint32_t compression = 0;
    std::string magic = "BM";
    std::vector<uint8_t> pixels;  // as stored: bottom line first, lines padded to 4 bytes
    size_t cut = 0;               // bytes taken off the end of the file

    std::string File() const
    {
        std::string f = magic;
        auto u16 = [&f](uint32_t v) {
            f += static_cast<char>(v & 0xFF);
            f += static_cast<char>((v >> 8) & 0xFF);
        };
        auto u32 = [&u16](uint32_t v) {
            u16(v & 0xFFFF);
            u16(v >> 16);
        };
        u32(static_cast<uint32_t>(54 + pixels.size()));
        u32(0);
        u32(54);
        u32(40);
        u32(static_cast<uint32_t>(width));
        u32(static_cast<uint32_t>(height));
        u16(1);
        u16(bits);
        u32(compression);
        for (int i = 0; i < 5; ++i) {
            u32(0);
        }
        f.append(pixels.begin(), pixels.end());
        f.resize(f.size() - cut);
        return f;
    }
};

// 2x2, 24 bits: bottom line red, green; top line blue, white (each line padded by 2 bytes).
Bmp Sample()
{
    Bmp b;
    b.pixels = {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0};
    return b;
}

class LoadBmp : public testing::Test {
protected:
    int Load(const Bmp& bmp, uint32_t format, std::string* out = nullptr, const char* name = "/tmp/t.bmp")
    {
        mSandbox.Write(name, bmp.File());
        mSurface = BITMAP_SURFACE_S{0, 0, 0, mBuffer.data(), static_cast<uint32_t>(mBuffer.size())};
        testing::internal::CaptureStdout();
        int rc = LoadImageEx(name, &mSurface, format);
        std::string printed = testing::internal::GetCapturedStdout();
        if (out != nullptr) {
            *out = printed;
        }
        return rc;
    }
    uint16_t Px16(uint32_t x, uint32_t y) const
    {
        const uint8_t* p = mBuffer.data() + y * mSurface.Stride + x * 2;
        return static_cast<uint16_t>(p[0] | p[1] << 8);
    }

    TestSandbox mSandbox;
    std::vector<uint8_t> mBuffer = std::vector<uint8_t>(64, 0xEE);
    BITMAP_SURFACE_S mSurface{};
};

}  // namespace

TEST_F(LoadBmp, TwentyFourBitPixelsInEachFormatTopLineFirst)
{
    const struct {
        uint32_t format;
        uint16_t red, green, blue, white;
    } rows[] = {
        {OSD_PIXEL_RGB444, 0x0F00, 0x00F0, 0x000F, 0x0FFF},
        {OSD_PIXEL_ARGB4444, 0xFF00, 0xF0F0, 0xF00F, 0xFFFF},
        {OSD_PIXEL_RGB555, 0x7C00, 0x03E0, 0x001F, 0x7FFF},
        {OSD_PIXEL_RGB565, 0xF800, 0x07E0, 0x001F, 0xFFFF},
        {OSD_PIXEL_ARGB1555, 0xFC00, 0x83E0, 0x801F, 0xFFFF},
    };
    for (const auto& r : rows) {
        ASSERT_EQ(0, Load(Sample(), r.format)) << r.format;
        EXPECT_EQ(2u, mSurface.Width);
        EXPECT_EQ(2u, mSurface.Height);
        EXPECT_EQ(4u, mSurface.Stride);
        EXPECT_EQ(r.blue, Px16(0, 0)) << r.format << ": the file's last line is the top";
        EXPECT_EQ(r.white, Px16(1, 0)) << r.format;
        EXPECT_EQ(r.red, Px16(0, 1)) << r.format;
        EXPECT_EQ(r.green, Px16(1, 1)) << r.format;
    }
    ASSERT_EQ(0, Load(Sample(), OSD_PIXEL_ARGB8888));
    EXPECT_EQ(8u, mSurface.Stride);
    EXPECT_EQ((std::vector<uint8_t>{255, 0, 0, 255, 255, 255, 255, 255}),
              std::vector<uint8_t>(mBuffer.begin(), mBuffer.begin() + 8));
}

TEST_F(LoadBmp, SixteenBitPixelsAreCopied)
{
    Bmp b;
    b.bits = 16;
    b.pixels = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    ASSERT_EQ(0, Load(b, OSD_PIXEL_ARGB4444));
    EXPECT_EQ(0x0807, Px16(1, 0));
    EXPECT_EQ(0x0201, Px16(0, 1));
    b.bits = 32;  // four bytes a pixel do not go into a 16-bit surface
    b.pixels.resize(16);
    std::string out;
    EXPECT_EQ(-1, Load(b, OSD_PIXEL_ARGB4444, &out));
    EXPECT_NE(std::string::npos, out.find("bitmap format not supported!"));
}

TEST_F(LoadBmp, BadFilesAreRefused)
{
    struct Row {
        const char* what;
        Bmp bmp;
        const char* name;
        const char* message;
    };
    Bmp cut = Sample();
    cut.cut = 3;
    Bmp negative = Sample();
    negative.height = -2;
    Bmp packed = Sample();
    packed.compression = 1;
    Bmp eight = Sample();
    eight.bits = 8;
    Bmp notBmp = Sample();
    notBmp.magic = "PK";
    Bmp huge = Sample();
    huge.width = 60000;
    Bmp tall = Sample();
    tall.height = 3;  // claims a third line that is not in the file
    const Row rows[] = {
        {"truncated pixel area", cut, "/tmp/a.bmp", "fread (2*2)error!"},
        {"third line missing", tall, "/tmp/a.bmp", "fread (2*3)error!"},
        {"negative height", negative, "/tmp/a.bmp", "bmpInfo.bmiHeader.biHeight < 0"},
        {"compressed", packed, "/tmp/a.bmp", "not support compressed bitmap file!"},
        {"8 bits", eight, "/tmp/a.bmp", "bitmap format not supported!"},
        {"absurd width", huge, "/tmp/a.bmp", "bitmap format not supported!"},
        {"no BM", notBmp, "/tmp/a.bmp", "not bitmap file"},
        {"extension", Sample(), "/tmp/a.png", "not supported image file!"},
        {"no extension", Sample(), "/tmp/a", "LoadImageEx error!"},
    };
    for (const Row& r : rows) {
        std::string out;
        EXPECT_EQ(-1, Load(r.bmp, OSD_PIXEL_ARGB4444, &out, r.name)) << r.what;
        EXPECT_NE(std::string::npos, out.find(r.message)) << r.what << ": " << out;
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, LoadImageEx("/tmp/missing.bmp", &mSurface, OSD_PIXEL_ARGB4444));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("Open file faild:/tmp/missing.bmp!"));
    // A buffer smaller than the picture.
    mBuffer.resize(7);
    std::string out;
    EXPECT_EQ(-1, Load(Sample(), OSD_PIXEL_ARGB4444, &out));
    EXPECT_EQ(0xEE, mBuffer[0]) << "nothing written";
}

TEST_F(LoadBmp, HeadersAndExtension)
{
    mSandbox.Write("/tmp/h.bmp", Sample().File());
    BITMAP_FILE_HEADER_S fh{};
    BITMAP_INFO_HEADER_S ih{};
    ASSERT_EQ(0, GetBmpInfo("/tmp/h.bmp", &fh, &ih));
    EXPECT_EQ(0x4D42, fh.Type);
    EXPECT_EQ(70u, fh.Size);
    EXPECT_EQ(54u, fh.OffBits);
    EXPECT_EQ(2, ih.Width);
    EXPECT_EQ(24, ih.BitCount);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, GetBmpInfo(nullptr, &fh, &ih));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("OSD_LoadBMP: filename=NULL"));
    EXPECT_STREQ("bmp", GetExtName("/customer/res/a.b.bmp"));
    EXPECT_EQ(nullptr, GetExtName("/customer/res/LOCK"));
}
