// Pictures inside the simulated graph: buffers, the frame pool and the scaler.
#include "mi_state.h"

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <unistd.h>

namespace misim {

void Frame::Allocate(int w, int h, bool semiPlanar)
{
    int ah = (h + 31) / 32 * 32;
    size_t need = static_cast<size_t>(w) * ah * 3 / 2;
    width = w;
    height = h;
    nv12 = semiPlanar;
    if (data.size() != need) {
        data.assign(need, 0);
    }
}

FramePtr FramePool::Get(int w, int h, bool nv12)
{
    FramePtr reuse;
    for (FramePtr& f : mFrames) {
        if (f.use_count() == 1) {
            if (f->width == w && f->height == h && f->nv12 == nv12) {
                return f;
            }
            reuse = f;
        }
    }
    if (!reuse) {
        reuse = std::make_shared<Frame>();
        mFrames.push_back(reuse);
    }
    // A frame of another size: its media memory is registered anew with its new size.
    if (reuse->phy != 0) {
        UnregisterMemory(reuse->phy);
    }
    reuse->Allocate(w, h, nv12);
    reuse->phy = RegisterMemory(reuse->data.data(), static_cast<MI_U32>(reuse->data.size()));
    return reuse;
}

SIM_MEMORY_S& SimMemory()
{
    static SIM_MEMORY_S memory;
    return memory;
}

int64_t ResidentPrivate()
{
    // Resident pages less those backed by files: what the process has touched of its own.
    long long size = 0, resident = 0, shared = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) {
        return 0;
    }
    const int n = std::fscanf(f, "%lld %lld %lld", &size, &resident, &shared);
    std::fclose(f);
    return n == 3 ? (resident - shared) * sysconf(_SC_PAGESIZE) : 0;
}

void HeldMemory::Take(int64_t since)
{
    const int64_t grown = std::max<int64_t>(0, ResidentPrivate() - since);
    mBytes += grown;
    SimMemory().Codecs += grown;
}

void HeldMemory::Clear()
{
    SimMemory().Codecs -= mBytes;
    mBytes = 0;
}

Scaler::~Scaler()
{
    sws_freeContext(mCtx);
}

void Scaler::Run(const Frame& src, const MI_SYS_WindowRect_t& crop, Frame& dst)
{
    // Crop offsets on chroma sample boundaries.
    int cx = crop.x & ~1;
    int cy = crop.y & ~1;
    int cw = std::min<int>(crop.width, src.width - cx) & ~1;
    int ch = std::min<int>(crop.height, src.height - cy) & ~1;
    if (cw <= 0 || ch <= 0) {
        std::memset(dst.data.data(), 16, static_cast<size_t>(dst.width) * dst.AlignedHeight());
        std::memset(dst.data.data() + static_cast<size_t>(dst.width) * dst.AlignedHeight(), 128,
                    dst.data.size() - static_cast<size_t>(dst.width) * dst.AlignedHeight());
        return;
    }
    AVPixelFormat dstFmt = dst.nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    // What a new context touches, its first picture included, is counted as the simulation's.
    SwsContext* const old = mCtx;
    const int64_t before = ResidentPrivate();
    mCtx = sws_getCachedContext(mCtx, cw, ch, AV_PIX_FMT_YUV420P, dst.width, dst.height, dstFmt, SWS_BILINEAR,
                                nullptr, nullptr, nullptr);
    const bool fresh = mCtx != old;
    if (fresh) {
        mHeld.Clear();
    }
    if (mCtx == nullptr) {
        return;
    }
    const uint8_t* in[3] = {
        src.Y() + static_cast<size_t>(cy) * src.width + cx,
        src.U() + static_cast<size_t>(cy / 2) * (src.width / 2) + cx / 2,
        src.V() + static_cast<size_t>(cy / 2) * (src.width / 2) + cx / 2,
    };
    int inStride[3] = {src.width, src.width / 2, src.width / 2};
    uint8_t* out[3] = {dst.Y(), dst.U(), dst.nv12 ? nullptr : dst.V()};
    int outStride[3] = {dst.width, dst.nv12 ? dst.width : dst.width / 2, dst.nv12 ? 0 : dst.width / 2};
    sws_scale(mCtx, in, inStride, 0, ch, out, outStride);
    if (fresh) {
        mHeld.Take(before);
    }
}

}  // namespace misim
