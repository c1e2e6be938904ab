// MI_IVE on the simulated board: the block SAD and the colour conversion computed on the images'
// memory, addressed through their virtual or (media memory) physical addresses.
#include "mi_state.h"
#include "platform/mi/mi_ive.h"

#include <algorithm>

using namespace misim;

namespace {

MI_S32 __Err(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_IVE, reason);
}

// Bytes the engine touches in a plane: every line but the last at its stride, the last only as
// long as the picture (a region's plane ends there, inside its frame).
size_t __Span(size_t stride, size_t rows, size_t lineBytes)
{
    return rows == 0 ? 0 : (rows - 1) * stride + lineBytes;
}

// The plane's memory, or null; a plane inside media memory must hold `bytes` from its start.
uint8_t* __Plane(const State& s, const MI_IVE_Image_t& img, int plane, size_t bytes)
{
    uint8_t* p = img.virAddr[plane];
    if (p == nullptr && img.phyAddr[plane] != 0) {
        p = HostOf(img.phyAddr[plane]);
    }
    if (p == nullptr) {
        return nullptr;
    }
    for (const auto& [phy, b] : s.memory) {
        if (p >= b.host && p < b.host + b.size) {
            return static_cast<size_t>(b.host + b.size - p) >= bytes ? p : nullptr;
        }
    }
    return p;  // memory of the caller's own
}

bool __Known(const State& s, MI_IVE_HANDLE h)
{
    return s.iveHandles.count(h) != 0;
}

}  // namespace

MI_S32 MI_IVE_Create(MI_IVE_HANDLE handle)
{
    MI_SIM_ENTER();
    if (handle < 0 || handle > 63) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    if (__Known(s, handle)) {
        return __Err(E_MI_ERR_EXIST);
    }
    s.iveHandles[handle] = true;
    return MI_SUCCESS;
}

MI_S32 MI_IVE_Destroy(MI_IVE_HANDLE handle)
{
    MI_SIM_ENTER();
    if (s.iveHandles.erase(handle) == 0) {
        return __Err(E_MI_ERR_UNEXIST);
    }
    return MI_SUCCESS;
}

MI_S32 MI_IVE_Sad(MI_IVE_HANDLE handle, const MI_IVE_Image_t* src1, const MI_IVE_Image_t* src2, MI_IVE_Image_t* sad,
                  MI_IVE_Image_t* thr, const MI_IVE_SadCtrl_t* ctrl, MI_BOOL)
{
    MI_SIM_ENTER();
    if (!__Known(s, handle)) {
        return __Err(E_MI_ERR_UNEXIST);
    }
    if (src1 == nullptr || src2 == nullptr || ctrl == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    int block = ctrl->mode == E_MI_IVE_SAD_MODE_MB_4X4 ? 4 : ctrl->mode == E_MI_IVE_SAD_MODE_MB_8X8 ? 8 : 16;
    if (ctrl->mode > E_MI_IVE_SAD_MODE_MB_16X16 || ctrl->outCtrl > E_MI_IVE_SAD_OUT_CTRL_THRESH) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    if (src1->type != E_MI_IVE_IMAGE_TYPE_U8C1 || src2->type != E_MI_IVE_IMAGE_TYPE_U8C1 ||
        src1->width != src2->width || src1->height != src2->height || src1->width < block || src1->height < block ||
        src1->stride[0] < src1->width || src2->stride[0] < src2->width) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    bool wantSad = ctrl->outCtrl != E_MI_IVE_SAD_OUT_CTRL_THRESH;
    bool sad16 = ctrl->outCtrl == E_MI_IVE_SAD_OUT_CTRL_16BIT_BOTH || ctrl->outCtrl == E_MI_IVE_SAD_OUT_CTRL_16BIT_SAD;
    bool wantThr = ctrl->outCtrl <= E_MI_IVE_SAD_OUT_CTRL_8BIT_BOTH || ctrl->outCtrl == E_MI_IVE_SAD_OUT_CTRL_THRESH;
    int ow = src1->width / block;
    int oh = src1->height / block;
    auto fits = [&](const MI_IVE_Image_t* img, MI_U32 type) {
        return img != nullptr && img->type == type && img->width >= ow && img->height >= oh && img->stride[0] >= ow;
    };
    if ((wantSad && !fits(sad, sad16 ? E_MI_IVE_IMAGE_TYPE_U16C1 : E_MI_IVE_IMAGE_TYPE_U8C1)) ||
        (wantThr && !fits(thr, E_MI_IVE_IMAGE_TYPE_U8C1))) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    const uint8_t* a = __Plane(s, *src1, 0, __Span(src1->stride[0], src1->height, src1->width));
    const uint8_t* b = __Plane(s, *src2, 0, __Span(src2->stride[0], src2->height, src2->width));
    const size_t sadPixel = sad16 ? 2 : 1;
    uint8_t* sadOut = wantSad ? __Plane(s, *sad, 0, __Span(sad->stride[0] * sadPixel, oh, ow * sadPixel)) : nullptr;
    uint8_t* thrOut = wantThr ? __Plane(s, *thr, 0, __Span(thr->stride[0], oh, ow)) : nullptr;
    if (a == nullptr || b == nullptr || (wantSad && sadOut == nullptr) || (wantThr && thrOut == nullptr)) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    for (int by = 0; by < oh; ++by) {
        for (int bx = 0; bx < ow; ++bx) {
            uint32_t sum = 0;
            for (int y = 0; y < block; ++y) {
                const uint8_t* ra = a + static_cast<size_t>(by * block + y) * src1->stride[0] + bx * block;
                const uint8_t* rb = b + static_cast<size_t>(by * block + y) * src2->stride[0] + bx * block;
                for (int x = 0; x < block; ++x) {
                    sum += static_cast<uint32_t>(std::abs(ra[x] - rb[x]));
                }
            }
            if (sadOut != nullptr) {
                if (sad16) {
                    uint16_t v = static_cast<uint16_t>(std::min<uint32_t>(sum, 0xFFFF));
                    uint8_t* o = sadOut + (static_cast<size_t>(by) * sad->stride[0] + bx) * 2;
                    o[0] = static_cast<uint8_t>(v);
                    o[1] = static_cast<uint8_t>(v >> 8);
                } else {
                    sadOut[static_cast<size_t>(by) * sad->stride[0] + bx] =
                        static_cast<uint8_t>(std::min<uint32_t>(sum / (block * block), 255));
                }
            }
            if (thrOut != nullptr) {
                thrOut[static_cast<size_t>(by) * thr->stride[0] + bx] = sum >= ctrl->thr ? ctrl->maxVal : ctrl->minVal;
            }
        }
    }
    return MI_SUCCESS;
}

MI_S32 MI_IVE_Csc(MI_IVE_HANDLE handle, const MI_IVE_Image_t* src, MI_IVE_Image_t* dst, const MI_IVE_CscCtrl_t* ctrl,
                  MI_BOOL)
{
    MI_SIM_ENTER();
    if (!__Known(s, handle)) {
        return __Err(E_MI_ERR_UNEXIST);
    }
    if (src == nullptr || dst == nullptr || ctrl == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (ctrl->mode != E_MI_IVE_CSC_MODE_VIDEO_BT601_YUV2RGB || src->type != E_MI_IVE_IMAGE_TYPE_YUV420SP ||
        (dst->type != E_MI_IVE_IMAGE_TYPE_U8C3_PACKAGE && dst->type != E_MI_IVE_IMAGE_TYPE_U8C3_PLANAR) ||
        src->width != dst->width || src->height != dst->height || (src->width & 1) || (src->height & 1) ||
        src->stride[0] < src->width || src->stride[1] < src->width || dst->stride[0] < dst->width) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    int w = src->width;
    int h = src->height;
    const uint8_t* yp = __Plane(s, *src, 0, __Span(src->stride[0], h, w));
    const uint8_t* uv = __Plane(s, *src, 1, __Span(src->stride[1], h / 2, w));
    bool packed = dst->type == E_MI_IVE_IMAGE_TYPE_U8C3_PACKAGE;
    uint8_t* out[3] = {};
    if (packed) {
        out[0] = __Plane(s, *dst, 0, __Span(dst->stride[0] * 3u, h, w * 3u));
    } else {
        for (int p = 0; p < 3; ++p) {
            out[p] = __Plane(s, *dst, p, __Span(dst->stride[p], h, w));
        }
    }
    if (yp == nullptr || uv == nullptr || out[0] == nullptr || (!packed && (out[1] == nullptr || out[2] == nullptr))) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    auto clamp = [](int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int c = yp[static_cast<size_t>(y) * src->stride[0] + x] - 16;
            const uint8_t* pair = uv + static_cast<size_t>(y / 2) * src->stride[1] + (x & ~1);
            int d = pair[0] - 128;
            int e = pair[1] - 128;
            uint8_t rgb[3] = {clamp((298 * c + 409 * e + 128) >> 8), clamp((298 * c - 100 * d - 208 * e + 128) >> 8),
                              clamp((298 * c + 516 * d + 128) >> 8)};
            if (packed) {
                uint8_t* o = out[0] + (static_cast<size_t>(y) * dst->stride[0] + x) * 3;
                o[0] = rgb[0];
                o[1] = rgb[1];
                o[2] = rgb[2];
            } else {
                for (int p = 0; p < 3; ++p) {
                    out[p][static_cast<size_t>(y) * dst->stride[p] + x] = rgb[p];
                }
            }
        }
    }
    return MI_SUCCESS;
}
