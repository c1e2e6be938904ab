// Internal state of the simulated media layer: one record under one lock. Every MI call takes
// the lock for its whole run; the pump (capture, scaling, overlays, encoding) runs under it too,
// so the graph never changes in the middle of a frame.
#pragma once

#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"
#include "platform/mi/mi_divp.h"
#include "platform/mi/mi_rgn.h"
#include "platform/mi/mi_sys.h"
#include "platform/mi/mi_venc.h"
#include "platform/mi/mi_vif.h"
#include "platform/mi/mi_vpe.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct SwsContext;

namespace misim {

// What the simulation holds beside the unit: on the SoC, pictures live in media memory outside
// the process and the encoders are hardware. Counted here so that the unit's own share of the
// process's memory can be told apart (MiSimMemory).
struct SIM_MEMORY_S {
    std::atomic<int64_t> Frames{0};  // picture buffers, as allocated
    std::atomic<int64_t> Codecs{0};  // memory encoders and scalers touched when they were set up
};
SIM_MEMORY_S& SimMemory();

// An allocator that counts what it holds in SimMemory().Frames.
template <typename T>
struct FrameAllocator {
    using value_type = T;
    FrameAllocator() = default;
    template <typename U>
    FrameAllocator(const FrameAllocator<U>&) noexcept
    {
    }
    T* allocate(size_t n)
    {
        T* p = std::allocator<T>().allocate(n);
        SimMemory().Frames += static_cast<int64_t>(n * sizeof(T));
        return p;
    }
    void deallocate(T* p, size_t n) noexcept
    {
        SimMemory().Frames -= static_cast<int64_t>(n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U>
    bool operator==(const FrameAllocator<U>&) const noexcept
    {
        return true;
    }
};

// Bytes of the process resident and not backed by files (/proc/self/statm).
int64_t ResidentPrivate();

// Memory a codec or scaler of the simulation touched while it was set up, counted in
// SimMemory().Codecs until it goes: the growth of the process's private resident memory across
// the set-up (the rest of the process runs on meanwhile, so the count is close rather than exact).
class HeldMemory {
public:
    HeldMemory() = default;
    ~HeldMemory() { Clear(); }
    HeldMemory(const HeldMemory&) = delete;
    HeldMemory& operator=(const HeldMemory&) = delete;
    // Counts what the process gained since `since` (a ResidentPrivate() reading).
    void Take(int64_t since);
    void Clear();
    void Swap(HeldMemory& o) { std::swap(mBytes, o.mBytes); }

private:
    int64_t mBytes = 0;
};

// A YUV 4:2:0 picture: planar (I420) inside the graph, NV12 where a user takes it (DIVP).
// Planes are allocated for the height rounded up to 32 lines, as the hardware does, so a user
// that reads whole 32-line blocks stays inside the buffer.
struct Frame {
    int width = 0;
    int height = 0;
    bool nv12 = false;
    uint64_t pts = 0;
    MI_PHY phy = 0;  // registered in the media memory map while the frame lives
    std::vector<uint8_t, FrameAllocator<uint8_t>> data;

    void Allocate(int w, int h, bool semiPlanar);
    int AlignedHeight() const { return (height + 31) / 32 * 32; }
    uint8_t* Y() { return data.data(); }
    uint8_t* U() { return data.data() + static_cast<size_t>(width) * AlignedHeight(); }  // NV12: UV
    uint8_t* V() { return U() + static_cast<size_t>(width / 2) * (AlignedHeight() / 2); }
    const uint8_t* Y() const { return data.data(); }
    const uint8_t* U() const { return data.data() + static_cast<size_t>(width) * AlignedHeight(); }
    const uint8_t* V() const { return U() + static_cast<size_t>(width / 2) * (AlignedHeight() / 2); }
};
using FramePtr = std::shared_ptr<Frame>;

// Frames handed out to users are taken from a pool and come back when the last holder lets go.
class FramePool {
public:
    FramePtr Get(int w, int h, bool nv12);
    void Clear() { mFrames.clear(); }

private:
    std::vector<FramePtr> mFrames;
};

// Scaler between two picture sizes (libswscale), rebuilt when a size changes.
class Scaler {
public:
    Scaler() = default;
    ~Scaler();
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;
    // A moved-from scaler takes the other's context along, so each context is freed once.
    Scaler(Scaler&& o) noexcept { *this = std::move(o); }
    Scaler& operator=(Scaler&& o) noexcept
    {
        std::swap(mCtx, o.mCtx);
        mHeld.Swap(o.mHeld);
        return *this;
    }

    // Scales the crop window of src into dst (both I420, or dst NV12).
    void Run(const Frame& src, const MI_SYS_WindowRect_t& crop, Frame& dst);

private:
    SwsContext* mCtx = nullptr;
    HeldMemory mHeld;  // what the context touched, counted in SimMemory().Codecs
};

struct Bind {
    MI_SYS_ChnPort_t src;
    MI_SYS_ChnPort_t dst;
    MI_U32 srcRate;
    MI_U32 dstRate;
    MI_U32 type;
    MI_U32 param;
    MI_U32 credit = 0;  // frame-rate conversion of frame-based bindings
};

struct PortDepth {
    bool set = false;
    MI_U32 user = 0;
    MI_U32 buf = 0;
};

struct VifState {
    bool devAttrSet = false;
    MI_VIF_DevAttr_t devAttr{};
    bool devEnabled = false;
    bool portAttrSet = false;
    MI_VIF_ChnPortAttr_t portAttr{};
    bool portEnabled = false;
    PortDepth depth;
};

struct VpePort {
    bool modeSet = false;
    MI_VPE_PortMode_t mode{};
    bool cropSet = false;
    MI_SYS_WindowRect_t crop{};
    bool enabled = false;
    PortDepth depth;
    Scaler scaler;
    Frame out;
    // A user (user depth above 0) takes the newest picture, converted to NV12 when taken; each
    // picture is handed out once.
    uint64_t outPeriod = 0;    // the period `out` was made in (0: none yet)
    uint64_t takenPeriod = 0;  // the period of the picture last taken
    Scaler userScaler;
};

struct VpeState {
    bool created = false;
    bool started = false;
    MI_VPE_ChannelAttr_t attr{};
    bool paraSet = false;
    MI_VPE_ChannelPara_t para{};
    MI_U32 rotation = 0;
    std::array<VpePort, kMiVpePortCount> ports;
};

struct DivpState {
    bool created = false;
    bool started = false;
    MI_DIVP_ChnAttr_t attr{};
    bool outSet = false;
    MI_DIVP_OutputPortAttr_t out{};
    PortDepth depth;
    Scaler scaler;
    std::deque<FramePtr> ready;  // frames waiting for the user
};

class Encoder;

struct EncodedFrame {
    std::vector<uint8_t> data;
    MI_U32 dataType = 0;
    MI_U64 pts = 0;
};

struct VencState {
    bool created = false;
    MI_VENC_ChnAttr_t attr{};
    MI_U32 jpegQuality = 0;
    MI_U32 ringInput = 0;
    bool receiving = false;
    bool idrRequested = false;
    std::shared_ptr<Encoder> encoder;  // shared: its type is complete only in the encoder file
    std::deque<EncodedFrame> queue;  // the front one may be out with the user
    bool out = false;
    std::vector<std::vector<uint8_t>> spare;  // pack buffers to reuse
    uint64_t frames = 0;
    uint64_t keyFrames = 0;
    uint64_t dropped = 0;
    MI_U32 seq = 0;
};

struct Region {
    MI_RGN_Attr_t attr{};
    std::vector<uint8_t> canvas;  // what the user draws into
    std::vector<uint8_t> shown;   // what is drawn into the frames
    MI_U32 shownWidth = 0;
    MI_U32 shownHeight = 0;
    MI_PHY phy = 0;
};

struct Attachment {
    MI_RGN_HANDLE handle;
    MI_SYS_ChnPort_t port;
    MI_RGN_ChnPortParam_t param;
};

// What the microphone and the speaker have alike: public attributes, device and channel 0.
struct AudioDev {
    bool attrSet = false;
    MI_AUDIO_Attr_t attr{};
    bool enabled = false;
    bool chnEnabled = false;
};

// Linear-interpolation rate converter for a continuous stream fed in blocks: it keeps the last
// sample and the position of the next output between blocks. Equal rates pass samples through
// unchanged.
class Resampler {
public:
    void Run(const int16_t* in, size_t n, uint32_t inRate, uint32_t outRate, std::vector<int16_t>& out);
    void Reset() { *this = Resampler{}; }

private:
    double mPos = 0;     // next output, in input samples from the first sample of the next block
    int16_t mLast = 0;   // last sample of the previous block (position -1)
};

// How the speaker's sound reaches the microphone: a delay, a gain and a short impulse response
// (taps in microphone samples after the delay).
struct EchoPath {
    uint32_t delay = 128;  // 16 ms at 8 kHz
    double gain = 0.5;
    std::vector<double> impulse = {1.0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.35};
};

struct AudioIn : AudioDev {
    bool vqeEnabled = false;
    MI_S32 vqeVolume = 0;
    std::deque<int16_t> fifo;        // captured samples not yet taken
    std::deque<int16_t> echoFifo;    // what the speaker played meanwhile
    std::deque<int16_t> visitorFifo; // the parts of the captured samples, for tests
    std::deque<int16_t> heardFifo;   // the speaker's echo in the captured samples
    // The period each stretch of the fifo was captured in and its samples still there, oldest
    // first: a frame's time stamp is when its first sample was captured, however late it is taken.
    struct Stretch {
        uint64_t period;
        uint32_t samples;
        uint32_t left;
    };
    std::deque<Stretch> fifoPeriods;
    std::vector<int16_t> taken;      // the frame out with the user
    std::vector<int16_t> takenEcho;
    std::vector<int16_t> takenVisitor;  // parts of the frame last taken
    std::vector<int16_t> takenHeard;
    bool out = false;
    MI_U32 seq = 0;
    std::vector<int16_t> file;  // "<root>/.board/mic.wav" at the microphone's rate, when present
    size_t filePos = 0;
    bool fileChecked = false;
    uint32_t noise = 1;
    double voiceTime = 0;   // the generated voice: seconds spoken so far
    double voicePhase = 0;  // and the phase of its pitch
    std::deque<int16_t> speakerLine;  // what the speaker played, at the microphone's rate (echo path)
};

struct AudioOut : AudioDev {
    bool adecSet = false;
    MI_AO_AdecAttr_t adec{};
    MI_S32 volume = 0;
    MI_S32 srcGain = 0;
    std::deque<int16_t> queue;  // queued, not yet played
    std::vector<int16_t> played;  // the last period at the output's rate (silence after what was queued)
    bool sounded = false;         // the last period played something
    Resampler toFile;    // to the speaker file's rate
    Resampler toMic;     // to the microphone's rate
    std::deque<int16_t> toMicPending;
    uint32_t wavBytes = 0;
};

struct Failure {
    MI_S32 code;
    int times;
    int skip = 0;  // calls that still pass before the failures start
};

struct State {
    std::mutex mu;
    std::condition_variable cv;  // encoder packs arrived
    // Sound has a lock of its own, as the codec is hardware of its own: an audio call never
    // waits for a picture being encoded. Order: mu, then audioMu.
    std::mutex audioMu;
    std::condition_variable audioCv;  // sound captured or played
    uint64_t audioPeriods = 0;        // periods played and captured (audioMu)
    bool audioClock = false;          // the real-time clock runs (audioMu; set under both)
    std::mutex callsMu;               // calls and failures
    std::condition_variable pumpCv;  // wakes the pump thread to stop

    bool sysInit = false;
    MI_U64 ptsBase = 0;
    bool manual = false;
    bool pumpRun = false;
    std::thread pump;
    uint64_t periods = 0;
    // The real-time clock: period clockBase ended at clockStart, and one more every 40 ms after
    // (set under both locks).
    std::chrono::steady_clock::time_point clockStart;
    uint64_t clockBase = 0;
    uint64_t videoPeriod = 0;  // the last period whose picture went through the graph
    uint64_t memorySecond = 0;  // the clock's second when the memory was last looked at
    std::string memoryPublished;  // the last text written to "<root>/.board/media_memory"

    MI_U16 signalWidth = 1920;
    MI_U16 signalHeight = 1080;
    bool visitor = false;
    uint64_t visitorSince = 0;

    bool snrEnabled = false;
    MI_U32 snrRes = 0;
    MI_BOOL snrMirror = 0;
    MI_BOOL snrFlip = 0;

    VifState vif;
    VpeState vpe;
    DivpState divp;
    std::array<VencState, 3> venc;
    std::array<int, 3> vencFd{{-1, -1, -1}};
    std::array<bool, 3> vencFdReadable{};
    std::vector<Bind> binds;

    bool rgnInit = false;
    MI_RGN_PaletteTable_t palette{};
    std::map<MI_RGN_HANDLE, Region> regions;
    std::vector<Attachment> attachments;

    std::map<MI_S32, bool> iveHandles;

    // Media memory: physical address -> host memory (allocations, and frames handed out).
    struct Block {
        MI_U32 size;
        uint8_t* host;
        std::unique_ptr<uint8_t[]> owned;  // null for frames registered by the graph
        int maps = 0;
    };
    std::map<MI_PHY, Block> memory;
    MI_PHY nextPhy = 0x20000000;

    FramePool divpPool;
    FramePool vpeUserPool;
    std::map<MI_SYS_BUF_HANDLE, FramePtr> userBufs;
    MI_SYS_BUF_HANDLE nextBufHandle = 1;

    Frame camera;  // the signal of the current period
    Frame captured;  // the capture window at the VIF's output size
    Scaler vifScaler;

    AudioIn ai;
    AudioOut ao;
    EchoPath echo;

    std::map<std::string, Failure> failures;
    std::map<std::string, int> calls;
};

State& S();

// What a lookup of a channel, port or region gives: the object, or the error code of the call.
template <typename T>
struct Found {
    T* p = nullptr;
    MI_S32 err = 0;
    explicit operator bool() const { return p != nullptr; }
    T* operator->() const { return p; }
    T& operator*() const { return *p; }
};

// At the start of every MI call: counts the call and answers an injected failure (non-zero).
MI_S32 Enter(const char* function);

// Media memory.
MI_PHY RegisterMemory(uint8_t* host, MI_U32 size);
void UnregisterMemory(MI_PHY phy);
// Host address of a physical address inside a block, or null.
uint8_t* HostOf(MI_PHY phy);

// One capture period through the graph (called with the lock held).
void RunPeriod(State& s);
// On the real-time clock: plays and captures every period that has ended by now, whichever
// thread gets here first (audioMu held). The codec's DMA runs on its own, so sound is never lost
// or stretched because the pump thread was late; pictures are the pump's alone.
void CatchUpClock(State& s);
// When the given period ends on the real-time clock.
std::chrono::steady_clock::time_point PeriodEnd(const State& s, uint64_t period);
void StopPumpLocked(std::unique_lock<std::mutex>& lk);
void StartPumpLocked(State& s);

// Parts of a period.
void RenderCamera(State& s, Frame& out, uint64_t period);
void DrawRegions(State& s, const MI_SYS_ChnPort_t& port, Frame& frame);
void VencPush(State& s, MI_U32 chn, const Frame& frame);
void VencUpdateFd(State& s, MI_U32 chn);
void AudioPeriod(State& s);

// Forgetting everything of one area (MiSimReset, DeInitDev).
void VencResetAll(State& s);
void AudioReset(State& s);

bool SamePort(const MI_SYS_ChnPort_t& a, const MI_SYS_ChnPort_t& b);
std::string PortName(const MI_SYS_ChnPort_t& p);

}  // namespace misim

#define MI_SIM_ENTER()                                  \
    misim::State& s = misim::S();                       \
    std::unique_lock<std::mutex> lk(s.mu);              \
    if (MI_S32 injected_ = misim::Enter(__func__)) {    \
        return injected_;                               \
    }

// Looks up the object a call works on; the call returns the lookup's error when it is missing.
#define MI_SIM_FIND(var, lookup) \
    auto var = lookup;           \
    if (!var) {                  \
        return var.err;          \
    }
