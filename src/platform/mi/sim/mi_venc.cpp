// MI_VENC on the simulated board.
#include "mi_encoder.h"
#include "platform/mi/mi_sim.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace misim;

namespace {

constexpr MI_U32 kVencChannels = 3;
constexpr size_t kVencQueueFrames = 8;  // frames waiting before the encoder drops its input
constexpr MI_U32 kJpegDevice = 8;       // JPEG channels sit on an encoder device of their own

MI_S32 __Err(MI_U32 reason)
{
    return MiErrCode(E_MI_MODULE_ID_VENC, reason);
}

// The channel, or the error of a call on it.
Found<VencState> __Chn(State& s, MI_U32 chn)
{
    if (chn >= kVencChannels) {
        return Found<VencState>{nullptr, __Err(E_MI_ERR_INVALID_CHNID)};
    }
    if (!s.venc[chn].created) {
        return Found<VencState>{nullptr, __Err(E_MI_ERR_UNEXIST)};
    }
    return Found<VencState>{&s.venc[chn], 0};
}

size_t __Waiting(const VencState& v)
{
    return v.queue.size() - (v.out ? 1 : 0);
}

bool __ChnBound(const State& s, MI_U32 chn)
{
    for (const Bind& b : s.binds) {
        if (b.dst.module == E_MI_MODULE_ID_VENC && b.dst.channel == chn) {
            return true;
        }
    }
    return false;
}

void __Recycle(VencState& v, std::vector<uint8_t>&& buf)
{
    if (v.spare.size() < kVencQueueFrames) {
        v.spare.push_back(std::move(buf));
    }
}

std::vector<uint8_t> __SpareBuffer(VencState& v)
{
    if (v.spare.empty()) {
        return {};
    }
    std::vector<uint8_t> b = std::move(v.spare.back());
    v.spare.pop_back();
    return b;
}

void __Queue(State& s, MI_U32 chn, std::vector<uint8_t>&& data, MI_U32 dataType, MI_U64 pts)
{
    VencState& v = s.venc[chn];
    v.queue.push_back(EncodedFrame{std::move(data), dataType, pts});
    ++v.frames;
    if (dataType == E_MI_VENC_H264E_NALU_ISLICE) {
        ++v.keyFrames;
    }
    VencUpdateFd(s, chn);
    s.cv.notify_all();
}

}  // namespace

namespace misim {

void VencUpdateFd(State& s, MI_U32 chn)
{
    int fd = s.vencFd[chn];
    if (fd < 0) {
        return;
    }
    bool want = s.venc[chn].created && __Waiting(s.venc[chn]) > 0;
    if (want == s.vencFdReadable[chn]) {
        return;
    }
    uint64_t v = 1;
    ssize_t n = want ? write(fd, &v, sizeof(v)) : read(fd, &v, sizeof(v));
    (void)n;
    s.vencFdReadable[chn] = want;
}

void VencPush(State& s, MI_U32 chn, const Frame& frame)
{
    VencState& v = s.venc[chn];
    if (!v.created || !v.receiving || !v.encoder) {
        return;
    }
    if (__Waiting(v) >= kVencQueueFrames) {
        ++v.dropped;  // nobody fetches: the input is dropped, the stream stays decodable
        return;
    }
    std::vector<uint8_t> buf = __SpareBuffer(v);
    MI_U32 type = 0;
    if (v.encoder->Encode(frame, v.idrRequested, buf, &type) != 0) {
        ++v.dropped;
        __Recycle(v, std::move(buf));
        return;
    }
    v.idrRequested = false;
    __Queue(s, chn, std::move(buf), type, frame.pts);
}

void VencResetAll(State& s)
{
    for (MI_U32 c = 0; c < kVencChannels; ++c) {
        s.venc[c] = VencState{};
        VencUpdateFd(s, c);
    }
}

}  // namespace misim

MI_S32 MI_VENC_CreateChn(MI_U32 chn, const MI_VENC_ChnAttr_t* attr)
{
    MI_SIM_ENTER();
    if (chn >= kVencChannels) {
        return __Err(E_MI_ERR_INVALID_CHNID);
    }
    if (attr == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    VencState& v = s.venc[chn];
    if (v.created) {
        return __Err(E_MI_ERR_EXIST);
    }
    MI_U32 quality = attr->rcAttr.rcMode == E_MI_VENC_RC_MODE_MJPEGFIXQP ? attr->rcAttr.mjpegFixQp.qfactor : 0;
    std::unique_ptr<Encoder> enc = Encoder::Open(*attr, quality);
    if (!enc) {
        return __Err(E_MI_ERR_NOT_SUPPORT);
    }
    if (s.vencFd[chn] < 0) {
        s.vencFd[chn] = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        s.vencFdReadable[chn] = false;
    }
    v = VencState{};
    v.created = true;
    v.attr = *attr;
    v.jpegQuality = quality;
    v.encoder = std::move(enc);
    v.idrRequested = true;
    return MI_SUCCESS;
}

MI_S32 MI_VENC_DestroyChn(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (v->receiving || __ChnBound(s, chn)) {
        return __Err(E_MI_ERR_NOT_PERM);  // stop receiving and unbind first
    }
    *v = VencState{};
    VencUpdateFd(s, chn);
    s.cv.notify_all();
    return MI_SUCCESS;
}

MI_S32 MI_VENC_GetChnDevid(MI_U32 chn, MI_U32* devId)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (devId == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    *devId = v->attr.veAttr.type == E_MI_VENC_MODTYPE_JPEGE ? kJpegDevice : 0;
    return MI_SUCCESS;
}

MI_S32 MI_VENC_GetJpegParam(MI_U32 chn, MI_VENC_ParamJpeg_t* param)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (param == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (!v->encoder->Jpeg()) {
        return __Err(E_MI_ERR_NOT_SUPPORT);
    }
    param->qfactor = v->jpegQuality;
    return MI_SUCCESS;
}

MI_S32 MI_VENC_SetJpegParam(MI_U32 chn, const MI_VENC_ParamJpeg_t* param)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (param == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (!v->encoder->Jpeg()) {
        return __Err(E_MI_ERR_NOT_SUPPORT);
    }
    if (param->qfactor < 1 || param->qfactor > 99) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    v->jpegQuality = param->qfactor;
    v->encoder->SetJpegQuality(param->qfactor);
    return MI_SUCCESS;
}

MI_S32 MI_VENC_SetInputSourceConfig(MI_U32 chn, const MI_VENC_InputSourceConfig_t* config)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (config == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    v->ringInput = config->inputSrcBufferMode;
    return MI_SUCCESS;
}

MI_S32 MI_VENC_StartRecvPic(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    v->receiving = true;
    return MI_SUCCESS;
}

MI_S32 MI_VENC_StopRecvPic(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    v->receiving = false;
    return MI_SUCCESS;
}

MI_S32 MI_VENC_GetFd(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(found, __Chn(s, chn));
    (void)found;
    return s.vencFd[chn];
}

MI_S32 MI_VENC_CloseFd(MI_U32 chn)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(found, __Chn(s, chn));
    (void)found;
    // The descriptor stays for the life of the process, so a thread waiting on it never sees it
    // closed under it.
    return MI_SUCCESS;
}

MI_S32 MI_VENC_Query(MI_U32 chn, MI_VENC_ChnStat_t* stat)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (stat == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    *stat = MI_VENC_ChnStat_t{};
    size_t waiting = __Waiting(*v);
    stat->leftStreamFrames = static_cast<MI_U32>(waiting);
    stat->curPacks = waiting ? 1 : 0;
    for (size_t i = v->out ? 1 : 0; i < v->queue.size(); ++i) {
        stat->leftStreamBytes += static_cast<MI_U32>(v->queue[i].data.size());
    }
    return MI_SUCCESS;
}

MI_S32 MI_VENC_GetStream(MI_U32 chn, MI_VENC_Stream_t* stream, MI_S32 timeoutMs)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (stream == nullptr || stream->packs == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (stream->packCount == 0) {
        return __Err(E_MI_ERR_ILLEGAL_PARAM);
    }
    if (v->out) {
        return __Err(E_MI_ERR_NOT_PERM);  // the previous frame is not released yet
    }
    auto ready = [&] { return !s.venc[chn].created || __Waiting(s.venc[chn]) > 0; };
    if (timeoutMs < 0) {
        s.cv.wait(lk, ready);
    } else if (timeoutMs > 0) {
        s.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (!s.venc[chn].created) {
        return __Err(E_MI_ERR_UNEXIST);
    }
    if (__Waiting(*v) == 0) {
        return __Err(E_MI_ERR_BUF_EMPTY);
    }
    EncodedFrame& f = v->queue.front();
    MI_VENC_Pack_t& p = stream->packs[0];
    p = MI_VENC_Pack_t{};
    p.data = f.data.data();
    p.len = static_cast<MI_U32>(f.data.size());
    p.pts = f.pts;
    p.dataType = f.dataType;
    p.frameEnd = 1;
    stream->packCount = 1;
    stream->seq = v->seq++;
    v->out = true;
    VencUpdateFd(s, chn);
    return MI_SUCCESS;
}

MI_S32 MI_VENC_ReleaseStream(MI_U32 chn, MI_VENC_Stream_t* stream)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (stream == nullptr) {
        return __Err(E_MI_ERR_NULL_PTR);
    }
    if (!v->out) {
        return __Err(E_MI_ERR_NOT_PERM);
    }
    __Recycle(*v, std::move(v->queue.front().data));
    v->queue.pop_front();
    v->out = false;
    VencUpdateFd(s, chn);
    return MI_SUCCESS;
}

MI_S32 MI_VENC_RequestIdr(MI_U32 chn, MI_BOOL)
{
    MI_SIM_ENTER();
    MI_SIM_FIND(v, __Chn(s, chn));
    if (v->encoder->Jpeg()) {
        return __Err(E_MI_ERR_NOT_SUPPORT);
    }
    v->idrRequested = true;
    return MI_SUCCESS;
}

MI_S32 MI_VENC_DeInitDev()
{
    MI_SIM_ENTER();
    s.binds.erase(std::remove_if(s.binds.begin(), s.binds.end(),
                                 [](const Bind& b) { return b.dst.module == E_MI_MODULE_ID_VENC; }),
                  s.binds.end());
    VencResetAll(s);
    s.cv.notify_all();
    return MI_SUCCESS;
}

uint64_t MiSimVencFrames(MI_U32 chn)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    return chn < kVencChannels ? s.venc[chn].frames : 0;
}

MI_S32 MiSimVencInject(MI_U32 chn, const MI_U8* data, size_t len, MI_U32 dataType, MI_U64 pts)
{
    State& s = S();
    std::lock_guard<std::mutex> lk(s.mu);
    MI_SIM_FIND(v, __Chn(s, chn));
    if (__Waiting(*v) >= kVencQueueFrames) {
        return __Err(E_MI_ERR_BUF_FULL);
    }
    std::vector<uint8_t> buf = __SpareBuffer(*v);
    buf.assign(data, data + len);
    __Queue(s, chn, std::move(buf), dataType, pts);
    return MI_SUCCESS;
}
