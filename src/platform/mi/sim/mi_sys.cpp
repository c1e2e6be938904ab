// MI_SYS on the simulated board, the capture clock that moves frames through the graph, and the
// simulator's controls (mi_sim.h).
#include "mi_state.h"
#include "platform/board_path.h"
#include "platform/decoder_sim.h"
#include "platform/mi/mi_sim.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sstream>
#include <unistd.h>

using namespace misim;

namespace {

constexpr MI_U64 kPeriodUs = 40000;  // one frame at 25 fps, 320 samples at 8 kHz
constexpr uint64_t kPeriodsPerSecond = 25;
// A pump late by more periods than this drops their pictures, as a sensor's are dropped when
// the pipeline falls behind. Sound is never dropped.
constexpr uint64_t kMostLatePictures = 5;
constexpr MI_PHY kFirstPhy = 0x20000000;

MI_S32 __Err(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_SYS, reason);
}

MI_U64 __Us(std::chrono::steady_clock::time_point t)
{
    return static_cast<MI_U64>(std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

MI_U64 __NowPts(const State& s)
{
    if (s.manual) {
        return s.ptsBase + s.periods * kPeriodUs;
    }
    return s.ptsBase + __Us(std::chrono::steady_clock::now());
}


// Frame-based bindings convert the frame rate by dropping frames; the others pass every frame.
bool __Pass(Bind& b)
{
    if (b.type != E_MI_SYS_BIND_TYPE_FRAME_BASE || b.dstRate >= b.srcRate) {
        return true;
    }
    b.credit += b.dstRate;
    if (b.credit >= b.srcRate) {
        b.credit -= b.srcRate;
        return true;
    }
    return false;
}

void __DivpPush(State& s, const Frame& in)
{
    DivpState& d = s.divp;
    if (!d.created || !d.started || !d.outSet) {
        return;
    }
    MI_SYS_WindowRect_t crop = d.attr.cropRect;
    if (crop.width == 0 || crop.height == 0) {
        crop = MI_SYS_WindowRect_t{0, 0, static_cast<MI_U16>(in.width), static_cast<MI_U16>(in.height)};
    }
    FramePtr f = s.divpPool.Get(static_cast<int>(d.out.width), static_cast<int>(d.out.height), true);
    d.scaler.Run(in, crop, *f);
    f->pts = in.pts;
    if (!d.depth.set || d.depth.user == 0) {
        return;  // no frames are kept for a user
    }
    d.ready.push_back(f);
    while (d.ready.size() > d.depth.user) {
        d.ready.pop_front();
    }
}

bool __ValidSource(const State& s, const MI_SYS_ChnPort_t& p)
{
    switch (p.module) {
    case E_MI_MODULE_ID_VIF:
        return p.device == 0 && p.channel == 0 && p.port == 0;
    case E_MI_MODULE_ID_VPE:
        return p.device == 0 && p.channel == 0 && p.port < kMiVpePortCount && s.vpe.created;
    default:
        return false;
    }
}

bool __ValidDestination(const State& s, const MI_SYS_ChnPort_t& p)
{
    switch (p.module) {
    case E_MI_MODULE_ID_VPE:
        return p.device == 0 && p.channel == 0 && p.port == 0 && s.vpe.created;
    case E_MI_MODULE_ID_DIVP:
        return p.device == 0 && p.channel == 0 && p.port == 0 && s.divp.created;
    case E_MI_MODULE_ID_VENC: {
        if (p.channel >= s.venc.size() || !s.venc[p.channel].created || p.port != 0) {
            return false;
        }
        MI_U32 dev = s.venc[p.channel].attr.veAttr.type == E_MI_VENC_MODTYPE_JPEGE ? 8 : 0;
        return p.device == dev;
    }
    default:
        return false;
    }
}

PortDepth* __Depth(State& s, const MI_SYS_ChnPort_t& p, MI_S32* err)
{
    *err = __Err(E_MI_ERR_ILLEGAL_PARAM);
    if (p.device != 0) {
        return nullptr;
    }
    switch (p.module) {
    case E_MI_MODULE_ID_VIF:
        return p.channel == 0 && p.port == 0 ? &s.vif.depth : nullptr;
    case E_MI_MODULE_ID_VPE:
        if (p.channel != 0 || p.port >= kMiVpePortCount) {
            return nullptr;
        }
        if (!s.vpe.created) {
            *err = __Err(E_MI_ERR_UNEXIST);
            return nullptr;
        }
        return &s.vpe.ports[p.port].depth;
    case E_MI_MODULE_ID_DIVP:
        if (p.channel != 0 || p.port != 0) {
            return nullptr;
        }
        if (!s.divp.created) {
            *err = __Err(E_MI_ERR_UNEXIST);
            return nullptr;
        }
        return &s.divp.depth;
    case E_MI_MODULE_ID_AI: {
        static PortDepth aiDepth;  // accepted; the microphone keeps its own frames
        return p.channel == 0 && p.port == 0 ? &aiDepth : nullptr;
    }
    default:
        return nullptr;
    }
}

// Once a second, when they changed: the simulation's memory for tools outside the process.
void __PublishMemory(State& s)
{
    const uint64_t second = s.periods / kPeriodsPerSecond;
    if (second == s.memorySecond) {
        return;
    }
    s.memorySecond = second;
    // Suites and benchmarks that run the media layer without a sandbox have nowhere to write.
    const char* root = std::getenv("DOORPHONE_ROOT");
    if (root == nullptr || root[0] == '\0') {
        return;
    }
    const MI_SIM_MEMORY_S m = MiSimMemory();
    char text[96];
    std::snprintf(text, sizeof(text), "frames %lld\ncodecs %lld\n", static_cast<long long>(m.frames),
                  static_cast<long long>(m.codecs));
    if (s.memoryPublished == text) {
        return;
    }
    const std::string path = BoardPath("/.board/media_memory");
    const std::string tmp = path + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return;
    }
    const bool written = std::fputs(text, f) >= 0;
    if (std::fclose(f) == 0 && written && std::rename(tmp.c_str(), path.c_str()) == 0) {
        s.memoryPublished = text;
    }
}

// The picture of a period through the graph: capture, scaling, overlays, encoding.
void __VideoPeriod(State& s, uint64_t period)
{
    if (!s.snrEnabled || !s.vif.devEnabled || !s.vif.portEnabled) {
        return;
    }
    const MI_U64 pts = __NowPts(s);
    RenderCamera(s, s.camera, period);
    const MI_VIF_ChnPortAttr_t& a = s.vif.portAttr;
    s.captured.Allocate(a.destSize.width, a.destSize.height, false);
    s.vifScaler.Run(s.camera, a.capRect, s.captured);
    s.captured.pts = pts;

    const MI_SYS_ChnPort_t vifPort{E_MI_MODULE_ID_VIF, 0, 0, 0};
    bool vpeFed = std::any_of(s.binds.begin(), s.binds.end(), [&](const Bind& b) {
        return SamePort(b.src, vifPort) && b.dst.module == E_MI_MODULE_ID_VPE;
    });
    if (!vpeFed || !s.vpe.created || !s.vpe.started) {
        return;
    }
    for (MI_U32 p = 0; p < kMiVpePortCount; ++p) {
        VpePort& port = s.vpe.ports[p];
        const MI_SYS_ChnPort_t id{E_MI_MODULE_ID_VPE, 0, 0, p};
        bool consumed = std::any_of(s.binds.begin(), s.binds.end(), [&](const Bind& b) { return SamePort(b.src, id); });
        const bool forUser = port.depth.set && port.depth.user > 0;
        if (!port.enabled || (!consumed && !forUser)) {
            continue;
        }
        MI_SYS_WindowRect_t crop = port.cropSet ? port.crop
                                                : MI_SYS_WindowRect_t{0, 0, static_cast<MI_U16>(s.captured.width),
                                                                      static_cast<MI_U16>(s.captured.height)};
        port.out.Allocate(port.mode.width, port.mode.height, false);
        port.scaler.Run(s.captured, crop, port.out);
        port.out.pts = pts;
        port.outPeriod = period;
        DrawRegions(s, id, port.out);
        for (Bind& b : s.binds) {
            if (!SamePort(b.src, id) || !__Pass(b)) {
                continue;
            }
            if (b.dst.module == E_MI_MODULE_ID_VENC) {
                VencPush(s, b.dst.channel, port.out);
            } else if (b.dst.module == E_MI_MODULE_ID_DIVP) {
                __DivpPush(s, port.out);
            }
        }
    }
}

// The picture of the oldest period without one (skipping those too late); one a wake, so that
// the lock is let go between pictures for the threads that take them.
void __NextPicture(State& s)
{
    if (s.videoPeriod >= s.periods) {
        return;
    }
    uint64_t next = s.videoPeriod + 1;
    if (next + kMostLatePictures <= s.periods) {
        next = s.periods - kMostLatePictures + 1;
    }
    __VideoPeriod(s, next);
    s.videoPeriod = next;
}

// Wakes at each period's end; a late wake still runs every period the clock has passed.
void __PumpThread()
{
    pthread_setname_np(pthread_self(), "mi_sim_pump");
    State& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    while (s.pumpRun) {
        s.pumpCv.wait_until(lk, PeriodEnd(s, s.videoPeriod + 1), [&] { return !s.pumpRun; });
        if (!s.pumpRun) {
            break;
        }
        {
            std::lock_guard<std::mutex> audio(s.audioMu);
            CatchUpClock(s);
        }
        const auto elapsed = std::chrono::steady_clock::now() - s.clockStart;
        s.periods = std::max(s.periods, s.clockBase + static_cast<uint64_t>(elapsed / std::chrono::microseconds(kPeriodUs)));
        __NextPicture(s);
        __PublishMemory(s);
    }
}

}  // namespace

namespace misim {

State& S()
{
    static State state;
    return state;
}

MI_S32 Enter(const char* function)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.callsMu);
    ++s.calls[function];
    auto it = s.failures.find(function);
    if (it == s.failures.end()) {
        return 0;
    }
    if (it->second.skip > 0) {
        --it->second.skip;
        return 0;
    }
    MI_S32 code = it->second.code;
    if (it->second.times > 0 && --it->second.times == 0) {
        s.failures.erase(it);
    }
    return code;
}

MI_PHY RegisterMemory(uint8_t* host, MI_U32 size)
{
    State& s = S();
    MI_PHY phy = s.nextPhy;
    s.nextPhy += (static_cast<MI_PHY>(size) + 0xFFF) / 0x1000 * 0x1000 + 0x1000;
    s.memory[phy] = State::Block{size, host, nullptr, 0};
    return phy;
}

void UnregisterMemory(MI_PHY phy)
{
    S().memory.erase(phy);
}

uint8_t* HostOf(MI_PHY phy)
{
    State& s = S();
    auto it = s.memory.upper_bound(phy);
    if (it == s.memory.begin()) {
        return nullptr;
    }
    --it;
    if (phy - it->first >= it->second.size) {
        return nullptr;
    }
    return it->second.host + (phy - it->first);
}

bool SamePort(const MI_SYS_ChnPort_t& a, const MI_SYS_ChnPort_t& b)
{
    return a.module == b.module && a.device == b.device && a.channel == b.channel && a.port == b.port;
}

std::string PortName(const MI_SYS_ChnPort_t& p)
{
    const char* m = "mod";
    switch (p.module) {
    case E_MI_MODULE_ID_VIF: m = "vif"; break;
    case E_MI_MODULE_ID_VPE: m = "vpe"; break;
    case E_MI_MODULE_ID_VENC: m = "venc"; break;
    case E_MI_MODULE_ID_DIVP: m = "divp"; break;
    case E_MI_MODULE_ID_AI: m = "ai"; break;
    default: break;
    }
    char buf[64];
    std::snprintf(buf, sizeof(buf), "%s.%u.%u.%u", m, p.device, p.channel, p.port);
    return buf;
}

void RunPeriod(State& s)
{
    if (!s.sysInit) {
        return;
    }
    ++s.periods;
    {
        std::lock_guard<std::mutex> audio(s.audioMu);
        s.audioPeriods = s.periods;
        AudioPeriod(s);
    }
    __VideoPeriod(s, s.periods);
    s.videoPeriod = s.periods;
}

std::chrono::steady_clock::time_point PeriodEnd(const State& s, uint64_t period)
{
    const auto periods = static_cast<int64_t>(period) - static_cast<int64_t>(s.clockBase);
    return s.clockStart + std::chrono::microseconds(periods * static_cast<int64_t>(kPeriodUs));
}

void CatchUpClock(State& s)
{
    if (!s.audioClock) {
        return;
    }
    const auto elapsed = std::chrono::steady_clock::now() - s.clockStart;
    const uint64_t due = s.clockBase + static_cast<uint64_t>(elapsed / std::chrono::microseconds(kPeriodUs));
    while (s.audioPeriods < due) {
        ++s.audioPeriods;
        AudioPeriod(s);
    }
}

void StartPumpLocked(State& s)
{
    if (s.pumpRun) {
        return;
    }
    {
        std::lock_guard<std::mutex> audio(s.audioMu);
        s.clockStart = std::chrono::steady_clock::now();
        s.clockBase = s.periods;
        s.audioPeriods = s.periods;
        s.audioClock = true;
    }
    s.videoPeriod = s.periods;
    s.pumpRun = true;
    s.pump = std::thread(__PumpThread);
}

void StopPumpLocked(std::unique_lock<std::mutex>& lk)
{
    State& s = S();
    if (!s.pump.joinable()) {
        return;
    }
    s.pumpRun = false;
    {
        std::lock_guard<std::mutex> audio(s.audioMu);
        s.audioClock = false;
    }
    s.pumpCv.notify_all();
    std::thread t = std::move(s.pump);
    lk.unlock();
    t.join();
    lk.lock();
}

}  // namespace misim

MI_S32 MI_SYS_Init()
{
    MI_SIM_ENTER();
    s.sysInit = true;
    // The camera picture has the size the decoder is programmed to put out.
    BoardDecoderOnOutput([](uint16_t width, uint16_t height) { MiSimSetSignal(width, height); });
    if (!s.manual) {
        StartPumpLocked(s);
    }
    return MI_SUCCESS;
}

MI_S32 MI_SYS_Exit()
{
    MI_SIM_ENTER();
    StopPumpLocked(lk);
    s.sysInit = false;
    return MI_SUCCESS;
}

MI_S32 MI_SYS_GetVersion(MI_SYS_Version_t* version)
{
    MI_SIM_ENTER();
    if (version == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    std::snprintf(version->version, sizeof(version->version), "simulated board MI 1.0");
    return MI_SUCCESS;
}

MI_S32 MI_SYS_GetCurPts(MI_U64* pts)
{
    MI_SIM_ENTER();
    if (pts == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    *pts = __NowPts(s);
    return MI_SUCCESS;
}

MI_S32 MI_SYS_InitPtsBase(MI_U64 ptsBase)
{
    MI_SIM_ENTER();
    s.ptsBase = ptsBase;
    return MI_SUCCESS;
}

MI_S32 MI_SYS_SyncPts(MI_U64 pts)
{
    MI_SIM_ENTER();
    MI_U64 now = __NowPts(s) - s.ptsBase;
    s.ptsBase = pts - now;
    return MI_SUCCESS;
}

MI_S32 MI_SYS_BindChnPort2(const MI_SYS_ChnPort_t* src, const MI_SYS_ChnPort_t* dst, MI_U32 srcFrameRate,
                           MI_U32 dstFrameRate, MI_U32 bindType, MI_U32 bindParam)
{
    MI_SIM_ENTER();
    if (src == nullptr || dst == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (srcFrameRate == 0 || dstFrameRate == 0 ||
        (bindType != E_MI_SYS_BIND_TYPE_FRAME_BASE && bindType != E_MI_SYS_BIND_TYPE_REALTIME &&
         bindType != E_MI_SYS_BIND_TYPE_HW_RING)) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    if (!__ValidSource(s, *src) || !__ValidDestination(s, *dst)) {
        return __Err(E_MI_ERR_UNEXIST);
    }
    for (const Bind& b : s.binds) {
        if (SamePort(b.dst, *dst)) {
            return __Err(E_MI_ERR_EXIST);  // a destination has one source
        }
    }
    s.binds.push_back(Bind{*src, *dst, srcFrameRate, dstFrameRate, bindType, bindParam});
    return MI_SUCCESS;
}

MI_S32 MI_SYS_UnBindChnPort(const MI_SYS_ChnPort_t* src, const MI_SYS_ChnPort_t* dst)
{
    MI_SIM_ENTER();
    if (src == nullptr || dst == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    for (auto it = s.binds.begin(); it != s.binds.end(); ++it) {
        if (SamePort(it->src, *src) && SamePort(it->dst, *dst)) {
            s.binds.erase(it);
            return MI_SUCCESS;
        }
    }
    return __Err(E_MI_ERR_UNEXIST);
}

MI_S32 MI_SYS_SetChnOutputPortDepth(const MI_SYS_ChnPort_t* port, MI_U32 userDepth, MI_U32 bufDepth)
{
    MI_SIM_ENTER();
    if (port == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (userDepth > bufDepth) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);  // a user cannot hold more than the port keeps
    }
    MI_S32 err = 0;
    PortDepth* d = __Depth(s, *port, &err);
    if (d == nullptr) {
        return err;
    }
    *d = PortDepth{true, userDepth, bufDepth};
    if (port->module == E_MI_MODULE_ID_VPE) {
        // Pictures made before the user asked for them are not kept for it.
        VpePort& p = s.vpe.ports[port->port];
        p.takenPeriod = p.outPeriod;
    }
    return MI_SUCCESS;
}

MI_S32 MI_SYS_ChnOutputPortGetBuf(const MI_SYS_ChnPort_t* port, MI_SYS_BufInfo_t* info, MI_SYS_BUF_HANDLE* handle)
{
    MI_SIM_ENTER();
    if (port == nullptr || info == nullptr || handle == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    FramePtr f;
    if (port->module == E_MI_MODULE_ID_VPE && port->device == 0 && port->channel == 0 && port->port < kMiVpePortCount) {
        // A scaler port with a user depth: its newest picture, as NV12.
        if (!s.vpe.created) {
            return __Err(E_MI_ERR_UNEXIST);
        }
        VpePort& p = s.vpe.ports[port->port];
        if (!p.depth.set || p.depth.user == 0) {
            return __Err(E_MI_ERR_NOT_PERM);
        }
        if (p.outPeriod == 0 || p.outPeriod == p.takenPeriod) {
            return __Err(E_MI_ERR_BUF_EMPTY);
        }
        f = s.vpeUserPool.Get(p.out.width, p.out.height, true);
        p.userScaler.Run(p.out, MI_SYS_WindowRect_t{0, 0, static_cast<MI_U16>(p.out.width), static_cast<MI_U16>(p.out.height)},
                         *f);
        f->pts = p.out.pts;
        p.takenPeriod = p.outPeriod;
    } else if (port->module == E_MI_MODULE_ID_DIVP && port->device == 0 && port->channel == 0 && port->port == 0) {
        if (!s.divp.created) {
            return __Err(E_MI_ERR_UNEXIST);
        }
        if (s.divp.ready.empty()) {
            return __Err(E_MI_ERR_BUF_EMPTY);
        }
        f = s.divp.ready.front();
        s.divp.ready.pop_front();
    } else {
        // Users take frames from the scaler and the detection copy only.
        return __Err(E_MI_ERR_NOT_SUPPORT);
    }
    *info = MI_SYS_BufInfo_t{};
    info->pts = f->pts;
    MI_SYS_FrameData_t& fd = info->frame;
    fd.width = static_cast<MI_U16>(f->width);
    fd.height = static_cast<MI_U16>(f->height);
    fd.pixelFormat = E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420;
    size_t ySize = static_cast<size_t>(f->width) * f->AlignedHeight();
    fd.phyAddr[0] = f->phy;
    fd.phyAddr[1] = f->phy + ySize;
    fd.virAddr[0] = f->Y();
    fd.virAddr[1] = f->U();
    fd.stride[0] = static_cast<MI_U32>(f->width);
    fd.stride[1] = static_cast<MI_U32>(f->width);
    fd.bufSize = static_cast<MI_U32>(f->data.size());
    MI_SYS_BUF_HANDLE h = s.nextBufHandle++;
    s.userBufs[h] = std::move(f);
    *handle = h;
    return MI_SUCCESS;
}

MI_S32 MI_SYS_ChnOutputPortPutBuf(MI_SYS_BUF_HANDLE handle)
{
    MI_SIM_ENTER();
    if (s.userBufs.erase(handle) == 0) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    return MI_SUCCESS;
}

MI_S32 MI_SYS_MMA_Alloc(const char*, MI_U32 size, MI_PHY* phyAddr)
{
    MI_SIM_ENTER();
    if (phyAddr == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (size == 0) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    std::unique_ptr<uint8_t[]> mem(new (std::nothrow) uint8_t[size]());
    if (!mem) {
        return __Err(E_MI_ERR_NOMEM);
    }
    MI_PHY phy = RegisterMemory(mem.get(), size);
    s.memory[phy].owned = std::move(mem);
    *phyAddr = phy;
    return MI_SUCCESS;
}

MI_S32 MI_SYS_MMA_Free(MI_PHY phyAddr)
{
    MI_SIM_ENTER();
    auto it = s.memory.find(phyAddr);
    if (it == s.memory.end() || !it->second.owned) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    s.memory.erase(it);
    return MI_SUCCESS;
}

MI_S32 MI_SYS_Mmap(MI_PHY phyAddr, MI_U32 size, void** virAddr, MI_BOOL)
{
    MI_SIM_ENTER();
    if (virAddr == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    auto it = s.memory.upper_bound(phyAddr);
    if (it == s.memory.begin()) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    --it;
    MI_PHY off = phyAddr - it->first;
    if (size == 0 || off + size > it->second.size) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    ++it->second.maps;
    *virAddr = it->second.host + off;
    return MI_SUCCESS;
}

MI_S32 MI_SYS_Munmap(void* virAddr, MI_U32 size)
{
    MI_SIM_ENTER();
    auto* p = static_cast<uint8_t*>(virAddr);
    for (auto& [phy, b] : s.memory) {
        if (p >= b.host && p + size <= b.host + b.size && b.maps > 0) {
            --b.maps;
            return MI_SUCCESS;
        }
    }
    return __Err(E_MI_ERR_ILLEGAL_PARAM);
}

// --- controls of the simulation ---

void MiSimReset()
{
    State& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    StopPumpLocked(lk);
    s.sysInit = false;
    s.ptsBase = 0;
    s.manual = false;
    s.periods = 0;
    s.videoPeriod = 0;
    s.memorySecond = 0;
    s.memoryPublished.clear();
    s.signalWidth = 1920;
    s.signalHeight = 1080;
    s.visitor = false;
    s.visitorSince = 0;
    s.snrEnabled = false;
    s.snrRes = 0;
    s.snrMirror = s.snrFlip = 0;
    s.vif = VifState{};
    s.vpe = VpeState{};
    s.divp = DivpState{};
    VencResetAll(s);
    for (size_t c = 0; c < s.vencFd.size(); ++c) {
        if (s.vencFd[c] >= 0) {
            close(s.vencFd[c]);
        }
        s.vencFd[c] = -1;
        s.vencFdReadable[c] = false;
    }
    s.binds.clear();
    s.rgnInit = false;
    s.palette = MI_RGN_PaletteTable_t{};
    s.regions.clear();
    s.attachments.clear();
    s.iveHandles.clear();
    s.userBufs.clear();
    s.divpPool.Clear();
    s.vpeUserPool.Clear();
    s.memory.clear();
    s.nextPhy = kFirstPhy;
    s.camera = Frame{};
    s.captured = Frame{};
    {
        std::lock_guard<std::mutex> audio(s.audioMu);
        AudioReset(s);
        s.audioPeriods = 0;
        s.audioCv.notify_all();
    }
    {
        std::lock_guard<std::mutex> calls(s.callsMu);
        s.failures.clear();
        s.calls.clear();
    }
    s.cv.notify_all();
}

void MiSimSetManualClock(bool manual)
{
    State& s = S();
    std::unique_lock<std::mutex> lk(s.mu);
    s.manual = manual;
    if (manual) {
        StopPumpLocked(lk);
    } else if (s.sysInit) {
        StartPumpLocked(s);
    }
}

void MiSimPump(int periods)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    for (int i = 0; i < periods; ++i) {
        RunPeriod(s);
        __PublishMemory(s);
    }
}

uint64_t MiSimPeriods()
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    return s.periods;
}

void MiSimSetSignal(MI_U16 width, MI_U16 height)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    s.signalWidth = static_cast<MI_U16>(width & ~1);
    s.signalHeight = static_cast<MI_U16>(height & ~1);
}

void MiSimSetVisitor(bool present)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    std::lock_guard<std::mutex> audio(s.audioMu);
    CatchUpClock(s);
    if (present && !s.visitor) {
        s.visitorSince = s.periods;
    }
    s.visitor = present;
}

void MiSimFailCall(const std::string& function, MI_S32 code, int times, int after)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.callsMu);
    s.failures[function] = Failure{code, times, after};
}

void MiSimClearFailures()
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.callsMu);
    s.failures.clear();
}

MI_SIM_MEMORY_S MiSimMemory()
{
    return MI_SIM_MEMORY_S{misim::SimMemory().Frames.load(), misim::SimMemory().Codecs.load()};
}

int MiSimMmaBlocks()
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    int n = 0;
    for (const auto& [phy, b] : s.memory) {
        n += b.owned ? 1 : 0;
    }
    return n;
}

int MiSimCallCount(const std::string& function)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.callsMu);
    auto it = s.calls.find(function);
    return it == s.calls.end() ? 0 : it->second;
}

namespace {

const char* __RcName(MI_U32 mode)
{
    switch (mode) {
    case E_MI_VENC_RC_MODE_H264CBR: return "cbr";
    case E_MI_VENC_RC_MODE_H264VBR: return "vbr";
    case E_MI_VENC_RC_MODE_H264FIXQP: return "fixqp";
    case E_MI_VENC_RC_MODE_MJPEGFIXQP: return "mjpegfixqp";
    case E_MI_VENC_RC_MODE_H265CBR: return "h265cbr";
    default: return "none";
    }
}

void __DumpVenc(std::ostringstream& o, MI_U32 c, const VencState& v)
{
    const MI_VENC_Attr_t& ve = v.attr.veAttr;
    const MI_VENC_RcAttr_t& rc = v.attr.rcAttr;
    bool jpeg = ve.type == E_MI_VENC_MODTYPE_JPEGE;
    o << "venc chn " << c << " dev " << (jpeg ? 8 : 0) << (jpeg ? " jpeg " : " h264 ");
    if (jpeg) {
        o << ve.jpeg.picWidth << "x" << ve.jpeg.picHeight << " max " << ve.jpeg.maxPicWidth << "x"
          << ve.jpeg.maxPicHeight << " byframe " << int(ve.jpeg.byFrame);
    } else {
        o << ve.h264.picWidth << "x" << ve.h264.picHeight << " max " << ve.h264.maxPicWidth << "x"
          << ve.h264.maxPicHeight << " byframe " << int(ve.h264.byFrame) << " bframes " << ve.h264.bFrameNum;
    }
    o << " rc " << __RcName(rc.rcMode);
    switch (rc.rcMode) {
    case E_MI_VENC_RC_MODE_H264FIXQP:
        o << " gop " << rc.h264FixQp.gop << " rate " << rc.h264FixQp.srcFrmRateNum << "/" << rc.h264FixQp.srcFrmRateDen
          << " iqp " << rc.h264FixQp.iQp << " pqp " << rc.h264FixQp.pQp;
        break;
    case E_MI_VENC_RC_MODE_H264VBR:
        o << " gop " << rc.h264Vbr.gop << " stat " << rc.h264Vbr.statTime << " rate " << rc.h264Vbr.srcFrmRateNum
          << "/" << rc.h264Vbr.srcFrmRateDen << " maxbitrate " << rc.h264Vbr.maxBitRate << " qp " << rc.h264Vbr.minQp
          << ".." << rc.h264Vbr.maxQp;
        break;
    case E_MI_VENC_RC_MODE_H264CBR:
        o << " gop " << rc.h264Cbr.gop << " rate " << rc.h264Cbr.srcFrmRateNum << "/" << rc.h264Cbr.srcFrmRateDen
          << " bitrate " << rc.h264Cbr.bitRate;
        break;
    case E_MI_VENC_RC_MODE_MJPEGFIXQP:
        o << " rate " << rc.mjpegFixQp.srcFrmRateNum << "/" << rc.mjpegFixQp.srcFrmRateDen << " qfactor "
          << rc.mjpegFixQp.qfactor << " quality " << v.jpegQuality;
        break;
    default:
        break;
    }
    o << " ring " << v.ringInput << (v.receiving ? " recv" : "") << "\n";
}

std::string __Depth(const PortDepth& d)
{
    return d.set ? " depth " + std::to_string(d.user) + "/" + std::to_string(d.buf) : "";
}

std::string __Rect(const MI_SYS_WindowRect_t& r)
{
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
}

}  // namespace

std::string MiSimDumpGraph()
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    std::ostringstream o;
    if (s.snrEnabled) {
        o << "sensor pad 0 res " << s.snrRes << " mirror " << int(s.snrMirror) << " flip " << int(s.snrFlip) << "\n";
    }
    if (s.vif.devEnabled) {
        const MI_VIF_DevAttr_t& d = s.vif.devAttr;
        o << "vif dev 0 intf " << d.intfMode << " work " << d.workMode << " hdr " << d.hdrType << " clkedge " << d.clkEdge
          << " dataseq " << d.dataSeq << "\n";
    }
    if (s.vif.portEnabled) {
        const MI_VIF_ChnPortAttr_t& a = s.vif.portAttr;
        o << "vif chn 0 port 0 cap " << __Rect(a.capRect) << " dest " << a.destSize.width << "x" << a.destSize.height
          << " sel " << a.capSel << __Depth(s.vif.depth) << "\n";
    }
    if (s.vpe.created) {
        const MI_VPE_ChannelAttr_t& a = s.vpe.attr;
        o << "vpe chn 0 max " << a.maxWidth << "x" << a.maxHeight << " pixfmt " << a.pixFormat << " rotation "
          << s.vpe.rotation << (s.vpe.started ? " started" : "") << "\n";
        for (MI_U32 p = 0; p < kMiVpePortCount; ++p) {
            const VpePort& port = s.vpe.ports[p];
            if (!port.enabled) {
                continue;
            }
            o << "vpe chn 0 port " << p << " " << port.mode.width << "x" << port.mode.height << " pixfmt "
              << port.mode.pixFormat << (port.cropSet ? " crop " + __Rect(port.crop) : "") << __Depth(port.depth)
              << "\n";
        }
    }
    for (MI_U32 c = 0; c < s.venc.size(); ++c) {
        if (s.venc[c].created) {
            __DumpVenc(o, c, s.venc[c]);
        }
    }
    if (s.divp.created) {
        const MI_DIVP_ChnAttr_t& a = s.divp.attr;
        o << "divp chn 0 max " << a.maxWidth << "x" << a.maxHeight << " crop " << __Rect(a.cropRect);
        if (s.divp.outSet) {
            o << " out " << s.divp.out.width << "x" << s.divp.out.height << " pixfmt " << s.divp.out.pixFormat;
        }
        o << __Depth(s.divp.depth) << (s.divp.started ? " started" : "") << "\n";
    }
    std::vector<std::string> binds;
    for (const Bind& b : s.binds) {
        binds.push_back("bind " + PortName(b.src) + " -> " + PortName(b.dst) + " rate " + std::to_string(b.srcRate) +
                        "/" + std::to_string(b.dstRate) + " type " + std::to_string(b.type) + " param " +
                        std::to_string(b.param) + "\n");
    }
    std::sort(binds.begin(), binds.end());
    for (const std::string& b : binds) {
        o << b;
    }
    for (const auto& [h, r] : s.regions) {
        for (const Attachment& a : s.attachments) {
            if (a.handle != h) {
                continue;
            }
            o << "region " << h << " fmt " << r.attr.pixelFmt << " " << r.attr.size.width << "x" << r.attr.size.height
              << " on " << PortName(a.port) << " at " << a.param.x << "," << a.param.y << " layer " << a.param.layer
              << (a.param.show ? " shown" : " hidden") << "\n";
        }
    }
    return o.str();
}
