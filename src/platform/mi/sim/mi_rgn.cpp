// MI_RGN on the simulated board: regions are drawn into the frames that leave the port they are
// attached to, so the time stamp and icons show in what is encoded from there.
#include "mi_state.h"
#include "platform/mi/mi_rgn.h"

#include <algorithm>
#include <cstring>

using namespace misim;

namespace {

MI_S32 __Err(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_RGN, reason);
}

MI_U32 __Stride(const MI_RGN_Attr_t& a)
{
    return a.pixelFmt == E_MI_RGN_PIXEL_FORMAT_I4 ? (a.size.width + 1u) / 2 : a.size.width * 2u;
}

Found<Region> __Region(State& s, MI_RGN_HANDLE h)
{
    if (!s.rgnInit) {
        return Found<Region>{nullptr, __Err(E_MI_ERR_SYS_NOTREADY)};
    }
    auto it = s.regions.find(h);
    if (it == s.regions.end()) {
        return Found<Region>{nullptr, __Err(E_MI_ERR_UNEXIST)};
    }
    return Found<Region>{&it->second, 0};
}

struct Argb {
    int a, r, g, b;
};

Argb __Pixel(const State& s, const Region& r, MI_U32 x, MI_U32 y)
{
    MI_U32 stride = __Stride(r.attr);
    const uint8_t* line = r.shown.data() + static_cast<size_t>(y) * stride;
    switch (r.attr.pixelFmt) {
    case E_MI_RGN_PIXEL_FORMAT_ARGB4444: {
        uint16_t p = static_cast<uint16_t>(line[2 * x] | (line[2 * x + 1] << 8));
        return Argb{((p >> 12) & 0xF) * 17, ((p >> 8) & 0xF) * 17, ((p >> 4) & 0xF) * 17, (p & 0xF) * 17};
    }
    case E_MI_RGN_PIXEL_FORMAT_ARGB1555: {
        uint16_t p = static_cast<uint16_t>(line[2 * x] | (line[2 * x + 1] << 8));
        return Argb{(p & 0x8000) ? 255 : 0, ((p >> 10) & 0x1F) << 3, ((p >> 5) & 0x1F) << 3, (p & 0x1F) << 3};
    }
    case E_MI_RGN_PIXEL_FORMAT_I4: {
        uint8_t byte = line[x / 2];
        int index = (x & 1) ? (byte >> 4) : (byte & 0x0F);
        const MI_RGN_PaletteElement_t& e = s.palette.element[index];
        return Argb{e.alpha, e.red, e.green, e.blue};
    }
    default:
        return Argb{0, 0, 0, 0};
    }
}

uint8_t __Mix(int over, int under, int alpha)
{
    return static_cast<uint8_t>((over * alpha + under * (255 - alpha) + 127) / 255);
}

void __Draw(const State& s, const Region& r, const MI_RGN_ChnPortParam_t& at, Frame& f)
{
    int w = static_cast<int>(r.shownWidth);
    int h = static_cast<int>(r.shownHeight);
    for (int y = 0; y < h; ++y) {
        int fy = at.y + y;
        if (fy >= f.height) {
            break;
        }
        for (int x = 0; x < w; ++x) {
            int fx = at.x + x;
            if (fx >= f.width) {
                break;
            }
            Argb p = __Pixel(s, r, static_cast<MI_U32>(x), static_cast<MI_U32>(y));
            if (p.a == 0) {
                continue;
            }
            int yv = ((66 * p.r + 129 * p.g + 25 * p.b + 128) >> 8) + 16;
            uint8_t& luma = f.Y()[static_cast<size_t>(fy) * f.width + fx];
            luma = __Mix(yv, luma, p.a);
            if (((fx | fy) & 1) == 0) {
                int u = ((-38 * p.r - 74 * p.g + 112 * p.b + 128) >> 8) + 128;
                int v = ((112 * p.r - 94 * p.g - 18 * p.b + 128) >> 8) + 128;
                size_t c = static_cast<size_t>(fy / 2) * (f.width / 2) + fx / 2;
                f.U()[c] = __Mix(u, f.U()[c], p.a);
                f.V()[c] = __Mix(v, f.V()[c], p.a);
            }
        }
    }
}

}  // namespace

namespace misim {

void DrawRegions(State& s, const MI_SYS_ChnPort_t& port, Frame& frame)
{
    // The attachments are kept in layer order, so the frame pump draws without sorting or
    // allocating.
    for (const Attachment& a : s.attachments) {
        if (!SamePort(a.port, port) || !a.param.show) {
            continue;
        }
        auto it = s.regions.find(a.handle);
        if (it != s.regions.end() && !it->second.shown.empty()) {
            __Draw(s, it->second, a.param, frame);
        }
    }
}

}  // namespace misim

MI_S32 MI_RGN_Init(const MI_RGN_PaletteTable_t* palette)
{
    MI_SIM_ENTER();
    if (palette == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (s.rgnInit) {
        return __Err(E_MI_ERR_EXIST);
    }
    s.palette = *palette;
    s.rgnInit = true;
    return MI_SUCCESS;
}

MI_S32 MI_RGN_DeInit()
{
    MI_SIM_ENTER();
    if (!s.rgnInit) {
        return __Err(E_MI_ERR_SYS_NOTREADY);
    }
    for (const auto& [h, r] : s.regions) {
        UnregisterMemory(r.phy);
    }
    s.regions.clear();
    s.attachments.clear();
    s.rgnInit = false;
    return MI_SUCCESS;
}

MI_S32 MI_RGN_Create(MI_RGN_HANDLE handle, const MI_RGN_Attr_t* attr)
{
    MI_SIM_ENTER();
    if (!s.rgnInit) {
        return __Err(E_MI_ERR_SYS_NOTREADY);
    }
    if (attr == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (handle >= kMiRgnHandleMax || attr->type != E_MI_RGN_TYPE_OSD || attr->size.width == 0 ||
        attr->size.height == 0) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    if (attr->pixelFmt != E_MI_RGN_PIXEL_FORMAT_ARGB1555 && attr->pixelFmt != E_MI_RGN_PIXEL_FORMAT_ARGB4444 &&
        attr->pixelFmt != E_MI_RGN_PIXEL_FORMAT_I4) {
        return __Err(E_MI_ERR_NOT_SUPPORT);
    }
    if (s.regions.count(handle)) {
        return __Err(E_MI_ERR_EXIST);
    }
    Region& r = s.regions[handle];
    r.attr = *attr;
    r.canvas.assign(static_cast<size_t>(__Stride(*attr)) * attr->size.height, 0);
    r.phy = RegisterMemory(r.canvas.data(), static_cast<MI_U32>(r.canvas.size()));
    return MI_SUCCESS;
}

MI_S32 MI_RGN_Destroy(MI_RGN_HANDLE handle)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(r, __Region(s, handle));
    // Destroying a region takes it off every channel it was on.
    s.attachments.erase(std::remove_if(s.attachments.begin(), s.attachments.end(),
                                       [&](const Attachment& a) { return a.handle == handle; }),
                        s.attachments.end());
    UnregisterMemory(r->phy);
    s.regions.erase(handle);
    return MI_SUCCESS;
}

MI_S32 MI_RGN_AttachToChn(MI_RGN_HANDLE handle, const MI_SYS_ChnPort_t* port, const MI_RGN_ChnPortParam_t* param)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(found, __Region(s, handle));
    (void)found;
    if (port == nullptr || param == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    // Regions go on the scaler's ports; the port need not exist yet, but destroying the channel
    // takes its attachments away.
    if (port->module != E_MI_MODULE_ID_VPE || port->device != 0 || port->channel != 0 ||
        port->port >= kMiVpePortCount) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    for (const Attachment& a : s.attachments) {
        if (a.handle == handle && SamePort(a.port, *port)) {
            return __Err(E_MI_ERR_EXIST);
        }
    }
    // Higher layers go over lower ones; among equals the later attachment is drawn last.
    auto at = std::upper_bound(s.attachments.begin(), s.attachments.end(), param->layer,
                               [](MI_U32 layer, const Attachment& a) { return layer < a.param.layer; });
    s.attachments.insert(at, Attachment{handle, *port, *param});
    return MI_SUCCESS;
}

MI_S32 MI_RGN_DetachFromChn(MI_RGN_HANDLE handle, const MI_SYS_ChnPort_t* port)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(found, __Region(s, handle));
    (void)found;
    if (port == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    for (auto it = s.attachments.begin(); it != s.attachments.end(); ++it) {
        if (it->handle == handle && SamePort(it->port, *port)) {
            s.attachments.erase(it);
            return MI_SUCCESS;
        }
    }
    return __Err(E_MI_ERR_UNEXIST);
}

MI_S32 MI_RGN_GetCanvasInfo(MI_RGN_HANDLE handle, MI_RGN_CanvasInfo_t* info)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(r, __Region(s, handle));
    if (info == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    *info = MI_RGN_CanvasInfo_t{};
    info->phyAddr = r->phy;
    info->virtAddr = r->canvas.data();
    info->size = r->attr.size;
    info->stride = __Stride(r->attr);
    info->pixelFmt = r->attr.pixelFmt;
    return MI_SUCCESS;
}

MI_S32 MI_RGN_UpdateCanvas(MI_RGN_HANDLE handle)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(r, __Region(s, handle));
    r->shown = r->canvas;
    r->shownWidth = r->attr.size.width;
    r->shownHeight = r->attr.size.height;
    return MI_SUCCESS;
}

MI_S32 MI_RGN_SetBitMap(MI_RGN_HANDLE handle, const MI_RGN_Bitmap_t* bitmap)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(r, __Region(s, handle));
    if (bitmap == nullptr || bitmap->data == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (bitmap->pixelFmt != r->attr.pixelFmt || bitmap->size.width == 0 || bitmap->size.height == 0 ||
        bitmap->size.width > r->attr.size.width || bitmap->size.height > r->attr.size.height) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    MI_RGN_Attr_t bm{E_MI_RGN_TYPE_OSD, bitmap->pixelFmt, bitmap->size};
    MI_U32 srcStride = __Stride(bm);
    MI_U32 dstStride = __Stride(r->attr);
    r->shown.assign(static_cast<size_t>(dstStride) * r->attr.size.height, 0);
    const auto* src = static_cast<const uint8_t*>(bitmap->data);
    for (MI_U32 y = 0; y < bitmap->size.height; ++y) {
        std::memcpy(r->shown.data() + static_cast<size_t>(y) * dstStride, src + static_cast<size_t>(y) * srcStride,
                    srcStride);
    }
    r->shownWidth = r->attr.size.width;
    r->shownHeight = r->attr.size.height;
    return MI_SUCCESS;
}
