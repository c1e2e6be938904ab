// The image functions of the camera services: refusals in their order, the bicubic scaler
// against a reference written here from the kernel, small pictures read only inside, and the QR
// preparation (crop, border, binarisation, erosion) up to a real decoder reading a code made by
// qrencode (OpenCV contrib's WeChat QR reader, no model files).
#include "img_proc/noxa_img_proc.h"

#include <gtest/gtest.h>
#include <opencv2/wechat_qrcode.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Freed {
    void operator()(uint8_t* p) const { free(p); }
};
using Out = std::unique_ptr<uint8_t, Freed>;

// Pseudo-random bytes, the same every run.
std::vector<uint8_t> Noise(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return v;
}

// The bicubic luma as the kernel and the tap rule say, in doubles, one output pixel at a time.
std::vector<uint8_t> ReferenceBicubic(const std::vector<uint8_t>& src, int sw, int sh, int dw, int dh)
{
    auto k = [](double t) {
        t = std::fabs(t);
        return t < 1 ? 1 - 2 * t * t + t * t * t : t < 2 ? 4 - 8 * t + 5 * t * t - t * t * t : 0.0;
    };
    auto taps = [&](int x, int s, int d, int idx[4], int w[4]) {
        const double f = x / (static_cast<double>(d) / s);
        const int base = f > s - 3 ? s - 3 : f > 1 ? static_cast<int>(std::floor(f)) : 1;
        const double r = f - std::floor(f);
        for (int i = 0; i < 4; ++i) {
            idx[i] = std::min(std::max(base - 1 + i, 0), s - 1);
            w[i] = static_cast<int>(k(r + 1 - i) * 256);
        }
    };
    std::vector<uint8_t> out(static_cast<size_t>(dw) * dh);
    for (int y = 0; y < dh; ++y) {
        int ry[4], wy[4];
        taps(y, sh, dh, ry, wy);
        for (int x = 0; x < dw; ++x) {
            int cx[4], wx[4];
            taps(x, sw, dw, cx, wx);
            int sum = 0;
            for (int j = 0; j < 4; ++j) {
                for (int i = 0; i < 4; ++i) {
                    sum += wy[j] * wx[i] * src[static_cast<size_t>(ry[j]) * sw + cx[i]];
                }
            }
            out[static_cast<size_t>(y) * dw + x] = static_cast<uint8_t>(std::min(std::max(sum >> 16, 0), 255));
        }
    }
    return out;
}

int MaxDiff(const uint8_t* a, const uint8_t* b, size_t n)
{
    int m = 0;
    for (size_t i = 0; i < n; ++i) {
        m = std::max(m, std::abs(a[i] - b[i]));
    }
    return m;
}

// The modules of a QR code as qrencode draws it in text ("##" a dark module, "  " a light one).
std::vector<std::string> QrModules(const std::string& text)
{
    std::vector<std::string> rows;
    FILE* p = popen(("qrencode -t ASCII -m 0 -o - '" + text + "'").c_str(), "r");
    if (p == nullptr) {
        return rows;
    }
    char line[1024];
    while (fgets(line, sizeof(line), p) != nullptr) {
        std::string row;
        for (size_t i = 0; line[i] != '\0' && line[i] != '\n'; i += 2) {
            row += line[i] == '#' ? '#' : ' ';
        }
        rows.push_back(row);
    }
    pclose(p);
    return rows;
}

}  // namespace

// Rows in the order the checks are made: the first failing check answers.
TEST(ImgScale, RefusalsInTheirOrder)
{
    std::vector<uint8_t> src(100 * 100 * 3 / 2), dst(200 * 200 * 3 / 2);
    struct Row {
        const uint8_t* s;
        int sw, sh, dw, dh;
        uint32_t mode;
        uint8_t* d;
        int rc;
    };
    const Row rows[] = {
        {nullptr, 0, 100, 200, 200, 7, nullptr, NOXA_IMG_ERR_SIZE},
        {src.data(), 100, 100, 200, -1, 1, dst.data(), NOXA_IMG_ERR_SIZE},
        {nullptr, 100, 100, 200, 100, 7, nullptr, NOXA_IMG_ERR_RATIO},
        {nullptr, 100, 100, 200, 200, 2, nullptr, NOXA_IMG_ERR_MODE},  // before any buffer is looked at
        {nullptr, 100, 100, 200, 200, 1, dst.data(), NOXA_IMG_ERR_NULL},
        {src.data(), 100, 100, 200, 200, 0, nullptr, NOXA_IMG_ERR_NULL},
        {src.data(), 100, 100, 200, 200, 1, dst.data(), 0},  // both ratios 0 in integer division
        {src.data(), 100, 100, 50, 50, 1, dst.data(), 0},
        {src.data(), 100, 100, 50, 30, 0, dst.data(), NOXA_IMG_ERR_RATIO},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.rc, noxa_ipc_img_scale(r.s, r.sw, r.sh, r.dw, r.dh, NOXA_IMG_FORMAT_YUV420, r.mode, r.d))
            << r.sw << "x" << r.sh << " -> " << r.dw << "x" << r.dh << " mode " << r.mode;
    }
}

TEST(ImgScale, BicubicMatchesTheReferenceAndKeepsFlatPicturesFlat)
{
    // A flat picture doubled stays flat, luma by the kernel and chroma by nearest neighbour.
    std::vector<uint8_t> flat(64 * 48 * 3 / 2, 77);
    std::fill(flat.begin() + 64 * 48, flat.begin() + 64 * 48 * 5 / 4, 200);
    std::vector<uint8_t> out(128 * 96 * 3 / 2);
    ASSERT_EQ(0, noxa_ipc_img_scale(flat.data(), 64, 48, 128, 96, NOXA_IMG_FORMAT_YUV420, NOXA_IMG_SCALE_BICUBIC,
                                    out.data()));
    EXPECT_EQ(std::vector<uint8_t>(128 * 96, 77), std::vector<uint8_t>(out.begin(), out.begin() + 128 * 96));
    EXPECT_EQ(std::vector<uint8_t>(64 * 48, 200), std::vector<uint8_t>(out.begin() + 128 * 96, out.begin() + 128 * 96 * 5 / 4));
    EXPECT_EQ(std::vector<uint8_t>(64 * 48, 77), std::vector<uint8_t>(out.begin() + 128 * 96 * 5 / 4, out.end()));

    // Rows: sizes, down and up; sides below 4 read only inside the picture (exact buffers).
    struct Row {
        int sw, sh, dw, dh;
    };
    const Row rows[] = {{37, 23, 74, 46}, {13, 9, 39, 27}, {64, 48, 32, 24}, {50, 50, 50, 50},
                        {3, 3, 6, 6},    {2, 2, 4, 4},    {1, 1, 3, 3},     {2, 3, 2, 3}};
    for (const Row& r : rows) {
        const std::vector<uint8_t> src = Noise(static_cast<size_t>(r.sw) * r.sh, r.sw * 31 + r.dw);
        std::vector<uint8_t> dst(static_cast<size_t>(r.dw) * r.dh);
        ASSERT_EQ(0, noxa_ipc_img_scale(src.data(), r.sw, r.sh, r.dw, r.dh, 0, NOXA_IMG_SCALE_BICUBIC, dst.data()));
        const std::vector<uint8_t> ref = ReferenceBicubic(src, r.sw, r.sh, r.dw, r.dh);
        EXPECT_LE(MaxDiff(ref.data(), dst.data(), dst.size()), 1) << r.sw << "x" << r.sh << " -> " << r.dw << "x" << r.dh;
    }
    // Nearest neighbour: each output pixel is its source pixel.
    const std::vector<uint8_t> src = Noise(20 * 10 * 3 / 2, 5);
    std::vector<uint8_t> dst(40 * 20 * 3 / 2);
    ASSERT_EQ(0, noxa_ipc_img_scale(src.data(), 20, 10, 40, 20, NOXA_IMG_FORMAT_YUV420, NOXA_IMG_SCALE_NEAREST,
                                    dst.data()));
    EXPECT_EQ(src[3 * 20 + 7], dst[7 * 40 + 15]);
    EXPECT_EQ(src[200 + 2 * 10 + 4], dst[800 + 4 * 20 + 9]) << "U";
    EXPECT_EQ(src[250 + 4 * 10 + 9], dst[1000 + 9 * 20 + 19]) << "V";
}

TEST(QrPreprocess, RefusalsCropBorderAndErosion)
{
    std::vector<uint8_t> img(640 * 360, 128);
    uint8_t* raw = nullptr;
    uint32_t w = 0, h = 0;
    struct Row {
        const uint8_t* image;
        int width, height, threshold;
        uint32_t scale;
        int rc;
    };
    const Row rows[] = {
        {nullptr, 640, 360, 120, 1, NOXA_IMG_ERR_NULL}, {img.data(), 0, 360, 120, 1, NOXA_IMG_ERR_SIZE},
        {img.data(), 640, -1, 120, 1, NOXA_IMG_ERR_SIZE},
        {img.data(), 360, 640, 120, 1, NOXA_IMG_ERR_SIZE},  // higher than wide: no centre square
        {img.data(), 640, 360, 99, 1, NOXA_IMG_ERR_MODE},   {img.data(), 640, 360, 151, 1, NOXA_IMG_ERR_MODE},
        {img.data(), 640, 360, 120, 2, NOXA_IMG_ERR_MODE},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.rc, noxa_ipc_qrcode_img_preprocess(r.image, r.width, r.height, &raw, &w, &h, r.threshold, r.scale))
            << r.width << "x" << r.height << " threshold " << r.threshold << " scale " << r.scale;
    }

    // 640x360 doubled: 720x720, the border grey, the inside binarised (and eroded: still flat).
    for (int threshold : {100, 150}) {
        ASSERT_EQ(0, noxa_ipc_qrcode_img_preprocess(img.data(), 640, 360, &raw, &w, &h, threshold, 1));
        Out out(raw);
        ASSERT_EQ(720u, w);
        ASSERT_EQ(720u, h);
        const uint8_t inside = threshold <= 128 ? 255 : 0;
        for (int i = 0; i < 720; ++i) {
            EXPECT_EQ(128, out.get()[i]);
            EXPECT_EQ(128, out.get()[719 * 720 + i]);
            EXPECT_EQ(128, out.get()[i * 720]);
            EXPECT_EQ(128, out.get()[i * 720 + 719]);
        }
        EXPECT_EQ(inside, out.get()[1 * 720 + 1]);
        EXPECT_EQ(inside, out.get()[360 * 720 + 360]);
        EXPECT_EQ(inside, out.get()[718 * 720 + 718]);
    }

    // Undoubled, the centre square starts at column 140. One dark pixel on white darkens the
    // eight pixels whose block holds it off centre; a dark grey border reaches no pixel inside.
    std::vector<uint8_t> white(640 * 360, 255);
    white[100 * 640 + 140 + 100] = 0;
    for (int i = 0; i < 360; ++i) {
        white[359 * 640 + 140 + i] = 20;  // the last line of the square
        white[i * 640 + 140 + 359] = 20;  // its last column
    }
    white[5 * 640 + 140] = 17;  // on the border: kept as it is
    ASSERT_EQ(0, noxa_ipc_qrcode_img_preprocess(white.data(), 640, 360, &raw, &w, &h, 120, 0));
    Out out(raw);
    ASSERT_EQ(360u, w);
    EXPECT_EQ(17, out.get()[5 * 360]);
    int dark = 0;
    for (int y = 1; y < 359; ++y) {
        for (int x = 1; x < 359; ++x) {
            const uint8_t v = out.get()[y * 360 + x];
            ASSERT_TRUE(v == 0 || v == 255) << y << "," << x << " = " << int(v);
            const bool near = y >= 98 && y <= 100 && x >= 98 && x <= 100 && !(y == 99 && x == 99);
            EXPECT_EQ(near ? 0 : 255, v) << y << "," << x;
            dark += v == 0;
        }
    }
    EXPECT_EQ(8, dark);
    EXPECT_EQ(20, out.get()[359 * 360 + 7]);
}

// A code from qrencode, 5 pixels a module, with noise on a 640x360 picture: the prepared image
// decodes to its text.
TEST(QrPreprocess, PreparedCodeDecodes)
{
    const std::string text = "noxa-pair:EU7Q2K9XWZ4M8R1T";
    const std::vector<std::string> modules = QrModules(text);
    ASSERT_GE(modules.size(), 21u) << "qrencode (scripts/deps.sh)";
    const int px = 5;
    const int side = static_cast<int>(modules.size()) * px;
    ASSERT_GE(side, 120);
    std::vector<uint8_t> img(640 * 360);
    const std::vector<uint8_t> noise = Noise(img.size(), 42);
    const int x0 = (640 - side) / 2 + 7;
    const int y0 = (360 - side) / 2 - 5;
    for (int y = 0; y < 360; ++y) {
        for (int x = 0; x < 640; ++x) {
            bool dark = false;
            if (x >= x0 && y >= y0 && x < x0 + side && y < y0 + side) {
                dark = modules[(y - y0) / px][(x - x0) / px] == '#';
            }
            img[y * 640 + x] = static_cast<uint8_t>((dark ? 45 : 190) + noise[y * 640 + x] % 41 - 20);
        }
    }
    uint8_t* raw = nullptr;
    uint32_t w = 0, h = 0;
    ASSERT_EQ(0, noxa_ipc_qrcode_img_preprocess(img.data(), 640, 360, &raw, &w, &h, 120, 1));
    Out out(raw);
    cv::wechat_qrcode::WeChatQRCode reader;
    const std::vector<std::string> got = reader.detectAndDecode(cv::Mat(static_cast<int>(h), static_cast<int>(w), CV_8UC1, out.get()));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(text, got[0]);
}
