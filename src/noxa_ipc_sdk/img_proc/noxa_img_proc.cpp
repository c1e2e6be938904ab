#include "noxa_img_proc.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// Cubic convolution kernel with a = -1.
double Cubic(double t)
{
    const double a = std::fabs(t);
    if (a < 1) {
        return 1 - 2 * a * a + a * a * a;
    }
    if (a < 2) {
        return 4 - 8 * a + 5 * a * a - a * a * a;
    }
    return 0;
}

// One axis of the bicubic scaler: per output position the four source taps (each kept inside
// the source, which matters only for sides below 4) and their weights x 256.
struct Taps {
    std::vector<int> index;   // 4 per position
    std::vector<int> weight;  // 4 per position
};

bool BuildTaps(int src, int dst, Taps* taps)
{
    try {
        taps->index.resize(static_cast<size_t>(dst) * 4);
        taps->weight.resize(static_cast<size_t>(dst) * 4);
    } catch (const std::bad_alloc&) {
        return false;
    }
    const float scale = static_cast<float>(dst) / static_cast<float>(src);
    for (int x = 0; x < dst; ++x) {
        const float f = static_cast<float>(x) / scale;
        const int base = f > static_cast<float>(src - 3) ? src - 3 : f > 1 ? static_cast<int>(std::floor(f)) : 1;
        const double r = f - std::floor(f);
        const double k[4] = {Cubic(r + 1), Cubic(r), Cubic(r - 1), Cubic(r - 2)};
        for (int i = 0; i < 4; ++i) {
            taps->index[x * 4 + i] = std::clamp(base - 1 + i, 0, src - 1);
            taps->weight[x * 4 + i] = static_cast<int>(k[i] * 256);
        }
    }
    return true;
}

void ScalePlaneBicubic(const uint8_t* src, int sw, const Taps& cols, const Taps& rows, uint8_t* dst, int dw, int dh)
{
    for (int y = 0; y < dh; ++y) {
        const int* ry = &rows.index[y * 4];
        const int* wy = &rows.weight[y * 4];
        for (int x = 0; x < dw; ++x) {
            const int* cx = &cols.index[x * 4];
            const int* wx = &cols.weight[x * 4];
            int32_t sum = 0;
            for (int j = 0; j < 4; ++j) {
                const uint8_t* line = src + static_cast<size_t>(ry[j]) * sw;
                for (int i = 0; i < 4; ++i) {
                    sum += wy[j] * wx[i] * line[cx[i]];
                }
            }
            dst[static_cast<size_t>(y) * dw + x] = static_cast<uint8_t>(std::clamp(sum >> 16, 0, 255));
        }
    }
}

// Nearest neighbour with one factor per axis; the source index kept inside the plane.
void ScalePlaneNearest(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh, float sx, float sy)
{
    for (int y = 0; y < dh; ++y) {
        const int yy = std::clamp(static_cast<int>(std::floor(static_cast<float>(y) / sy)), 0, sh - 1);
        for (int x = 0; x < dw; ++x) {
            const int xx = std::clamp(static_cast<int>(std::floor(static_cast<float>(x) / sx)), 0, sw - 1);
            dst[static_cast<size_t>(y) * dw + x] = src[static_cast<size_t>(yy) * sw + xx];
        }
    }
}

struct FreeDeleter {
    void operator()(uint8_t* p) const { free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

}  // namespace

int noxa_ipc_img_scale(const uint8_t* src, int src_w, int src_h, int dst_w, int dst_h, int format, uint32_t mode,
                       uint8_t* dst)
{
    if (src_w < 1 || src_h < 1 || dst_w < 1 || dst_h < 1) {
        return NOXA_IMG_ERR_SIZE;
    }
    if (src_h / dst_h != src_w / dst_w) {
        return NOXA_IMG_ERR_RATIO;
    }
    if (mode > NOXA_IMG_SCALE_BICUBIC) {
        return NOXA_IMG_ERR_MODE;
    }
    if (src == nullptr || dst == nullptr) {
        return NOXA_IMG_ERR_NULL;
    }
    const bool chroma = format == NOXA_IMG_FORMAT_YUV420;
    const float s = static_cast<float>(dst_w) / static_cast<float>(src_w);
    const float t = static_cast<float>(dst_h) / static_cast<float>(src_h);
    const size_t srcLuma = static_cast<size_t>(src_w) * src_h;
    const size_t dstLuma = static_cast<size_t>(dst_w) * dst_h;
    const int scw = src_w / 2, sch = src_h / 2, dcw = dst_w / 2, dch = dst_h / 2;
    if (mode == NOXA_IMG_SCALE_NEAREST) {
        ScalePlaneNearest(src, src_w, src_h, dst, dst_w, dst_h, s, s);
        if (chroma && scw > 0 && sch > 0) {
            ScalePlaneNearest(src + srcLuma, scw, sch, dst + dstLuma, dcw, dch, s, s);
            ScalePlaneNearest(src + srcLuma * 5 / 4, scw, sch, dst + dstLuma * 5 / 4, dcw, dch, s, s);
        }
        return 0;
    }
    Taps cols;
    Taps rows;
    if (!BuildTaps(src_w, dst_w, &cols) || !BuildTaps(src_h, dst_h, &rows)) {
        return NOXA_IMG_ERR_NULL;
    }
    ScalePlaneBicubic(src, src_w, cols, rows, dst, dst_w, dst_h);
    if (chroma && scw > 0 && sch > 0) {
        ScalePlaneNearest(src + srcLuma, scw, sch, dst + dstLuma, dcw, dch, s, t);
        ScalePlaneNearest(src + srcLuma * 5 / 4, scw, sch, dst + dstLuma * 5 / 4, dcw, dch, s, t);
    }
    return 0;
}

int noxa_ipc_qrcode_img_preprocess(const uint8_t* image, int width, int height, uint8_t** out, uint32_t* out_w,
                                   uint32_t* out_h, int threshold, uint32_t scale)
{
    if (image == nullptr || out == nullptr || out_w == nullptr || out_h == nullptr) {
        return NOXA_IMG_ERR_NULL;
    }
    // The centre square is as high as the image: it must fit across the width.
    if (width <= 0 || height <= 0 || height > width) {
        return NOXA_IMG_ERR_SIZE;
    }
    if (threshold < 100 || threshold > 150 || scale > 1) {
        return NOXA_IMG_ERR_MODE;
    }
    const int n = height;
    const int m = scale == 1 ? 2 * n : n;
    Buffer crop(static_cast<uint8_t*>(malloc(static_cast<size_t>(n) * n)));
    Buffer img(static_cast<uint8_t*>(malloc(static_cast<size_t>(m) * m)));
    if (!crop || !img) {
        return NOXA_IMG_ERR_NULL;
    }
    const int left = (width - n) / 2;
    for (int y = 0; y < n; ++y) {
        memcpy(crop.get() + static_cast<size_t>(y) * n, image + static_cast<size_t>(y) * width + left, n);
    }
    if (scale == 1) {
        const int rc = noxa_ipc_img_scale(crop.get(), n, n, m, m, 0, NOXA_IMG_SCALE_BICUBIC, img.get());
        if (rc != 0) {
            return rc;
        }
    } else {
        memcpy(img.get(), crop.get(), static_cast<size_t>(n) * n);
    }
    uint8_t* p = img.get();
    // The outermost lines and columns keep their grey values.
    for (int y = 1; y + 1 < m; ++y) {
        for (int x = 1; x + 1 < m; ++x) {
            uint8_t& v = p[static_cast<size_t>(y) * m + x];
            v = v < threshold ? 0 : 255;
        }
    }
    // Each pixel takes the AND of the block of 3 x 3 below and right of it (its centre left out).
    // Raster order never lets a block reach a pixel already eroded; the grey border is no part of
    // the binarised picture and is left out of the blocks that reach it.
    for (int y = 1; y + 3 <= m; ++y) {
        for (int x = 1; x + 3 <= m; ++x) {
            uint8_t v = 0xFF;
            for (int j = 0; j < 3; ++j) {
                for (int i = 0; i < 3; ++i) {
                    const int yy = y + j;
                    const int xx = x + i;
                    if ((j == 1 && i == 1) || yy == m - 1 || xx == m - 1) {
                        continue;
                    }
                    v &= p[static_cast<size_t>(yy) * m + xx];
                }
            }
            p[static_cast<size_t>(y) * m + x] = v;
        }
    }
    *out = img.release();
    *out_w = static_cast<uint32_t>(m);
    *out_h = static_cast<uint32_t>(m);
    return 0;
}

int noxa_ipc_yuv_to_rgb(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int height, uint8_t* out1,
                        uint8_t* out2, uint8_t* out3)
{
    if (y == nullptr || u == nullptr || v == nullptr || out1 == nullptr || out2 == nullptr || out3 == nullptr) {
        return NOXA_IMG_ERR_NULL;
    }
    // Below 2 x 2 the chroma planes would be empty.
    if (width < 2 || height < 2) {
        return NOXA_IMG_ERR_SIZE;
    }
    auto level = [](double x) { return static_cast<uint8_t>(std::clamp(static_cast<int>(x + 0.5), 0, 255)); };
    const int cw = width / 2;
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            const size_t i = static_cast<size_t>(r) * width + c;
            const size_t ci = static_cast<size_t>(std::min(r / 2, height / 2 - 1)) * cw + std::min(c / 2, cw - 1);
            const double yy = y[i];
            const double uu = u[ci] - 128.0;
            const double vv = v[ci] - 128.0;
            out1[i] = level(yy + 1.772 * uu);
            out2[i] = level(yy - 0.34414 * uu - 0.71414 * vv);
            out3[i] = level(yy + 1.402 * vv);
        }
    }
    return 0;
}
