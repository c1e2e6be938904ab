#include "HumanDetect.h"

#include "Common/AppLog.h"
#include "MotionDetect.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr MI_IVE_HANDLE kHumanIveHandle = 2;
constexpr int kRgbWidth = 480;
constexpr int kRgbHeight = 288;
constexpr uint16_t kRegionThreshold = 960;  // 15 grey levels a pixel on average over a block
constexpr int kBlock = 8;

int ForwardRgb(HD_NETWORK_S* h, const uint8_t* pixels, int height, int width, int channels)
{
    return Forward_Network(h, pixels, height, width, channels);
}

MI_IVE_Image_t gRgb{};
bool gRgbReady = false;
HD_NETWORK_S* gNetwork = nullptr;
HD_NETWORK_CONFIG_S gConfig{kRgbHeight, kRgbWidth, 0.4f, 0.5f, 1, 5, 0};
MI_IVE_SadCtrl_t gSadCtrl{E_MI_IVE_SAD_MODE_MB_8X8, E_MI_IVE_SAD_OUT_CTRL_16BIT_BOTH, kRegionThreshold, 0, 255};

int RoundUp32(int v)
{
    return (v + 31) / 32 * 32;
}

// A work image given back when the pass ends, whatever way it ends.
struct WorkImage {
    MI_IVE_Image_t img{};
    bool made = false;
    bool Create(MI_U32 type, int stride, int width, int height)
    {
        made = IveImageCreate(&img, type, static_cast<MI_U16>(stride), static_cast<MI_U16>(width),
                              static_cast<MI_U16>(height)) == MI_SUCCESS;
        return made;
    }
    ~WorkImage()
    {
        if (made) {
            IveImageFree(&img);
        }
    }
};

// How much of a frame the engine may read: its width, and its height rounded up to 32 lines
// where both planes of the buffer hold those lines (as the scaler lays its frames out), else
// its own height. False when the buffer cannot hold the frame at all.
bool FrameExtent(const MI_SYS_FrameData_t& f, int* width, int* rows)
{
    const int w = f.width;
    const int h = f.height;
    if (w < kBlock || h < kBlock || f.virAddr[0] == nullptr || f.virAddr[1] == nullptr || f.stride[0] < f.width ||
        f.stride[1] < f.width) {
        return false;
    }
    int held = RoundUp32(h);
    const uint8_t* y = static_cast<const uint8_t*>(f.virAddr[0]);
    const uint8_t* uv = static_cast<const uint8_t*>(f.virAddr[1]);
    if (uv > y && f.bufSize > 0) {
        // One buffer: the luma lines end where the chroma plane starts, the chroma at its end.
        const size_t lumaBytes = static_cast<size_t>(uv - y);
        if (lumaBytes >= f.bufSize) {
            return false;
        }
        held = std::min<size_t>(held, lumaBytes / f.stride[0]);
        held = std::min<size_t>(held, (f.bufSize - lumaBytes) / f.stride[1] * 2);
    } else {
        held = h;  // planes of unknown extent: only what the frame says
    }
    if (held < h) {
        return false;
    }
    *width = w;
    *rows = held / kBlock * kBlock;
    return true;
}

// The engine's view of a frame's luma plane (8-bit) or of both planes (YUV 4:2:0 semi-planar),
// `rows` lines from line y0 and `width` pixels from column x0.
MI_IVE_Image_t FrameImage(const MI_SYS_FrameData_t& f, MI_U32 type, int x0, int y0, int width, int rows)
{
    MI_IVE_Image_t img{};
    img.type = type;
    const size_t lumaOff = static_cast<size_t>(y0) * f.stride[0] + x0;
    img.phyAddr[0] = f.phyAddr[0] != 0 ? f.phyAddr[0] + lumaOff : 0;
    img.virAddr[0] = static_cast<MI_U8*>(f.virAddr[0]) + lumaOff;
    img.stride[0] = static_cast<MI_U16>(f.stride[0]);
    if (type == E_MI_IVE_IMAGE_TYPE_YUV420SP) {
        const size_t chromaOff = static_cast<size_t>(y0) * f.stride[1] / 2 + x0;
        img.phyAddr[1] = f.phyAddr[1] != 0 ? f.phyAddr[1] + chromaOff : 0;
        img.virAddr[1] = static_cast<MI_U8*>(f.virAddr[1]) + chromaOff;
        img.stride[1] = static_cast<MI_U16>(f.stride[1]);
    }
    img.width = static_cast<MI_U16>(width);
    img.height = static_cast<MI_U16>(rows);
    return img;
}

// The changed region of the threshold image (w x h blocks) in pixels, one block wider on each
// side; false when nothing or everything changed.
bool ChangedRegion(const MI_U8* thr, int stride, int w, int h, HD_REGION_S* r)
{
    int top = h, bottom = -1, left = w, right = -1;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (thr[y * stride + x] != 0) {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    if (bottom < 0) {
        return false;
    }
    top = std::max(0, top - 1);
    left = std::max(0, left - 1);
    bottom = std::min(h, bottom + 2);  // exclusive from here on
    right = std::min(w, right + 2);
    if (top == 0 && left == 0 && bottom == h && right == w) {
        return false;
    }
    *r = HD_REGION_S{left * kBlock, top * kBlock, right * kBlock - 1, bottom * kBlock - 1};
    return true;
}

// One side of the widening: [lo, hi] grown to a multiple of 32 inside 0..limit - 1.
void WidenSide(int32_t& lo, int32_t& hi, int limit)
{
    const int size = hi - lo + 1;
    const int pad = size % 32 != 0 ? (RoundUp32(size) - size) / 2 : 0;
    if (lo < pad && hi + pad > limit) {
        lo = 0;
        hi = limit - 1;
    } else if (lo < pad) {
        hi += 2 * pad - lo;
        lo = 0;
    } else if (hi + pad < limit) {
        lo -= pad;
        hi += pad;
    } else {
        lo += limit - 1 - hi - 2 * pad;
        hi = limit - 1;
    }
    // A picture whose side is no multiple of 32 may not hold the grown region.
    lo = std::max(lo, 0);
    hi = std::min(hi, limit - 1);
}

}  // namespace

HD_NETWORK_OPS_S gHumanDetectOps{ForwardRgb, GetBBox};

HD_REGION_S HumanRegionWiden(HD_REGION_S r, int width, int height)
{
    WidenSide(r.x0, r.x1, width);
    WidenSide(r.y0, r.y1, height);
    return r;
}

MI_S32 HumanDetectInit()
{
    MI_S32 ret = MI_IVE_Create(kHumanIveHandle);
    if (ret != MI_SUCCESS) {
        APP_ERR("Could not create IVE handle");
        return ret;
    }
    gRgbReady = IveImageCreate(&gRgb, E_MI_IVE_IMAGE_TYPE_U8C3_PACKAGE, kRgbWidth, kRgbWidth, kRgbHeight) == 0;
    if (!gRgbReady) {
        printf("[%s %d] Could not allocate MVE image\n", "HumanDetectInit", 574);
    }
    gConfig = HD_NETWORK_CONFIG_S{kRgbHeight, kRgbWidth, 0.4f, 0.5f, 1, 5, 0};
    if (Init_Network(&gNetwork, &gConfig) != 0) {
        printf("[HD] Could not create Network handle\n");
        return -1;
    }
    gSadCtrl = MI_IVE_SadCtrl_t{E_MI_IVE_SAD_MODE_MB_8X8, E_MI_IVE_SAD_OUT_CTRL_16BIT_BOTH, kRegionThreshold, 0, 255};
    return 0;
}

int HumanDetectProc(const MI_SYS_BufInfo_t* a, const MI_SYS_BufInfo_t* b)
{
    // Without its RGB image the conversion would write nowhere: no detection at all.
    if (!gRgbReady || gNetwork == nullptr || a == nullptr || b == nullptr) {
        return 0;
    }
    int width = 0;
    int rows = 0;
    int widthB = 0;
    int rowsB = 0;
    // The two frames of a pass come from one port: a size changed between them (a new alarm
    // zone) leaves nothing to compare.
    if (!FrameExtent(a->frame, &width, &rows) || !FrameExtent(b->frame, &widthB, &rowsB) ||
        a->frame.width != b->frame.width || a->frame.height != b->frame.height) {
        return 0;
    }
    rows = std::min(rows, rowsB);
    const int bw = width / kBlock;
    const int bh = rows / kBlock;
    WorkImage sad;
    if (!sad.Create(E_MI_IVE_IMAGE_TYPE_U16C1, bw, bw, bh)) {
        printf("Can't allocate output buffer 0\n");
        return 0;
    }
    WorkImage thr;
    if (!thr.Create(E_MI_IVE_IMAGE_TYPE_U8C1, bw, bw, bh)) {
        printf("Can't allocate output buffer 1\n");
        return 0;
    }
    const MI_IVE_Image_t srcA = FrameImage(a->frame, E_MI_IVE_IMAGE_TYPE_U8C1, 0, 0, width, rows);
    const MI_IVE_Image_t srcB = FrameImage(b->frame, E_MI_IVE_IMAGE_TYPE_U8C1, 0, 0, width, rows);
    MI_S32 ret = MI_IVE_Sad(kHumanIveHandle, &srcA, &srcB, &sad.img, &thr.img, &gSadCtrl, 0);
    HD_REGION_S r{};
    if (ret != MI_SUCCESS) {
        printf("MI_IVE_Sad() return ERROR 0x%X\n", static_cast<unsigned>(ret));
        printf("MD_frame_difference is failed!\n");
        return 0;
    }
    if (!ChangedRegion(thr.img.virAddr[0], thr.img.stride[0], bw, bh, &r)) {
        return 0;
    }
    // The frame's own size bounds the region: with an alarm zone below 100 % the picture is
    // smaller than the RGB image.
    r = HumanRegionWiden(r, width, rows);
    const int w = r.x1 - r.x0 + 1;
    const int h = r.y1 - r.y0 + 1;
    if (w * h > kRgbWidth * kRgbHeight) {
        return 0;  // a picture larger than the RGB image
    }
    const MI_IVE_Image_t src = FrameImage(b->frame, E_MI_IVE_IMAGE_TYPE_YUV420SP, r.x0, r.y0, w, h);
    MI_IVE_Image_t dst = gRgb;
    dst.width = static_cast<MI_U16>(w);
    dst.height = static_cast<MI_U16>(h);
    dst.stride[0] = static_cast<MI_U16>(w);
    const MI_IVE_CscCtrl_t csc{E_MI_IVE_CSC_MODE_VIDEO_BT601_YUV2RGB};
    ret = MI_IVE_Csc(kHumanIveHandle, &src, &dst, &csc, 1);
    if (ret != MI_SUCCESS) {
        // The RGB image still holds an earlier picture: no inference on it.
        printf("[MVE] MI_IVE_CSC error!!! ret[0x%x]\n", static_cast<unsigned>(ret));
        return 0;
    }
    gConfig.InputHeight = RoundUp32(h);
    gConfig.InputWidth = RoundUp32(w);
    if (gHumanDetectOps.Forward(gNetwork, gRgb.virAddr[0], h, w, 3) != 0) {
        printf("[HD] Forward error!!!\n");
        return 0;
    }
    return gHumanDetectOps.GetBBox(gNetwork, h, w);
}

int HumanDetectDeInit()
{
    if (gRgbReady) {
        IveImageFree(&gRgb);
        gRgbReady = false;
    }
    Release_Network(&gNetwork);
    MI_IVE_Destroy(kHumanIveHandle);
    return 0;
}

HD_NETWORK_S* HumanDetectNetwork()
{
    return gNetwork;
}

HD_NETWORK_CONFIG_S& HumanDetectConfig()
{
    return gConfig;
}
