#include "FaceDetect.h"

#include "Common/AppLog.h"
#include "Media/hdlib/hdlib.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

namespace {

// The detection copy of the scaler (DIVP), the picture the motion and person passes take too.
const MI_SYS_ChnPort_t kDetectPort{E_MI_MODULE_ID_DIVP, 0, 0, 0};
constexpr auto kPassGap = std::chrono::seconds(1);
// A face's crop takes this share of the face's size around it on each side (hair, chin).
constexpr int kCropMarginPercent = 25;
constexpr int kJpegQscale = 4;
constexpr int kJpegMinSide = 16;
constexpr int kMaxFaces = 5;
constexpr float kFaceProb = 0.4f;
constexpr float kFaceNms = 0.5f;

uint64_t SteadyMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// The detector and the once-a-minute rule, for one pass at a time.
std::mutex s_passLock;
HD_NETWORK_CONFIG_S s_config{288, 480, kFaceProb, kFaceNms, 1, kMaxFaces, 0};
HD_NETWORK_S* s_network = nullptr;
bool s_reported = false;
uint64_t s_lastReportMs = 0;

// The service thread.
std::mutex s_lock;
std::condition_variable s_cv;
bool s_run = false;
std::thread s_thread;
std::atomic<bool> s_syncWanted{false};

int RoundUp32(int v)
{
    return (v + 31) / 32 * 32;
}

// The face's box widened by the margin, even and inside the picture.
void CropOf(const HD_BOX_S& b, int fw, int fh, int* x, int* y, int* w, int* h)
{
    const int bw = b.x1 - b.x0 + 1;
    const int bh = b.y1 - b.y0 + 1;
    const int mx = bw * kCropMarginPercent / 100;
    const int my = bh * kCropMarginPercent / 100;
    const int x0 = std::max(0, b.x0 - mx) & ~1;
    const int y0 = std::max(0, b.y0 - my) & ~1;
    const int x1 = std::min(fw, b.x1 + 1 + mx);
    const int y1 = std::min(fh, b.y1 + 1 + my);
    *x = x0;
    *y = y0;
    *w = std::max(kJpegMinSide, (x1 - x0) & ~1);
    *h = std::max(kJpegMinSide, (y1 - y0) & ~1);
    *x = std::max(0, std::min(*x, (fw - *w) & ~1));
    *y = std::max(0, std::min(*y, (fh - *h) & ~1));
}

int nqcam_ai_face_cfg_func(const char* action, int count)
{
    APP_DBG("nqcam_ai_face_cfg_func %s %d", action, count);
    // The MQTT layer's worker must not wait for the downloads: the service's thread fetches the
    // list.
    if (strcmp(action, "add") == 0 || strcmp(action, "update") == 0) {
        s_syncWanted = true;
        s_cv.notify_all();
    }
    return 0;
}

void FaceIdCb(int faceId)
{
    APP_DBG("face_id = %d", faceId);
}

void FaceServiceThread()
{
    prctl(PR_SET_NAME, "FaceService");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    std::unique_lock<std::mutex> lock(s_lock);
    while (s_run) {
        lock.unlock();
        if (s_syncWanted.exchange(false)) {
            noxa_ipc_ai_face_update_cloud_face();
        }
        MI_SYS_BufInfo_t info{};
        MI_SYS_BUF_HANDLE handle = 0;
        if (MI_SYS_ChnOutputPortGetBuf(&kDetectPort, &info, &handle) == MI_SUCCESS) {
            FaceDetectPass(&info);
            MI_SYS_ChnOutputPortPutBuf(handle);
        }
        lock.lock();
        s_cv.wait_for(lock, kPassGap, [] { return !s_run || s_syncWanted.load(); });
    }
}

}  // namespace

FACE_DETECT_OPS_S gFaceDetectOps = {noxa_ipc_ai_face_new_report, SteadyMs};

void FaceDetectResetGap()
{
    std::lock_guard<std::mutex> lock(s_passLock);
    s_reported = false;
    s_lastReportMs = 0;
}

std::vector<uint8_t> FaceJpeg(const MI_SYS_BufInfo_t* frame, int x, int y, int width, int height)
{
    std::vector<uint8_t> out;
    if (frame == nullptr || frame->frame.virAddr[0] == nullptr || frame->frame.virAddr[1] == nullptr) {
        return out;
    }
    const MI_SYS_FrameData_t& fd = frame->frame;
    x &= ~1;
    y &= ~1;
    width &= ~1;
    height &= ~1;
    if (x < 0 || y < 0 || width < 2 || height < 2 || x + width > fd.width || y + height > fd.height) {
        return out;
    }
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) {
        return out;
    }
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> c(avcodec_alloc_context3(codec),
                                                                  [](AVCodecContext* p) { avcodec_free_context(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> f(av_frame_alloc(), [](AVFrame* p) { av_frame_free(&p); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
    if (!c || !f || !pkt) {
        return out;
    }
    c->width = width;
    c->height = height;
    c->pix_fmt = AV_PIX_FMT_YUVJ420P;
    c->time_base = AVRational{1, 1};
    c->thread_count = 1;
    c->flags |= AV_CODEC_FLAG_QSCALE;
    if (avcodec_open2(c.get(), codec, nullptr) < 0) {
        return out;
    }
    f->format = c->pix_fmt;
    f->width = width;
    f->height = height;
    if (av_frame_get_buffer(f.get(), 0) < 0) {
        return out;
    }
    const auto* luma = static_cast<const uint8_t*>(fd.virAddr[0]);
    const auto* chroma = static_cast<const uint8_t*>(fd.virAddr[1]);
    for (int row = 0; row < height; ++row) {
        memcpy(f->data[0] + static_cast<size_t>(row) * f->linesize[0],
               luma + static_cast<size_t>(y + row) * fd.stride[0] + x, width);
    }
    // NV12 keeps U and V side by side in one plane.
    for (int row = 0; row < height / 2; ++row) {
        const uint8_t* uv = chroma + static_cast<size_t>(y / 2 + row) * fd.stride[1] + x;
        uint8_t* u = f->data[1] + static_cast<size_t>(row) * f->linesize[1];
        uint8_t* v = f->data[2] + static_cast<size_t>(row) * f->linesize[2];
        for (int i = 0; i < width / 2; ++i) {
            u[i] = uv[2 * i];
            v[i] = uv[2 * i + 1];
        }
    }
    f->pts = 0;
    f->quality = FF_QP2LAMBDA * kJpegQscale;
    if (avcodec_send_frame(c.get(), f.get()) < 0 || avcodec_receive_packet(c.get(), pkt.get()) < 0) {
        return out;
    }
    out.assign(pkt->data, pkt->data + pkt->size);
    return out;
}

int FaceDetectPass(const MI_SYS_BufInfo_t* frame)
{
    if (frame == nullptr || frame->frame.virAddr[0] == nullptr) {
        return -1;
    }
    const MI_SYS_FrameData_t& fd = frame->frame;
    std::lock_guard<std::mutex> lock(s_passLock);
    // After a report the detector rests for a minute: nothing would be sent anyway.
    if (s_reported && gFaceDetectOps.NowMs() - s_lastReportMs < kFaceReportGapMs) {
        return 0;
    }
    s_config.InputHeight = RoundUp32(fd.height);
    s_config.InputWidth = RoundUp32(fd.width);
    if (s_network == nullptr && Init_Network(&s_network, &s_config) != 0) {
        s_network = nullptr;
        return -1;
    }
    // The luma plane is the gray picture the face cascades read.
    if (Forward_Network(s_network, static_cast<const uint8_t*>(fd.virAddr[0]), fd.height, fd.width, 1,
                        static_cast<int>(fd.stride[0])) != 0) {
        return -1;
    }
    const int n = GetBBox(s_network, fd.height, fd.width);
    if (n <= 0) {
        return 0;
    }
    const HD_BOX_S* best = std::max_element(s_network->Boxes, s_network->Boxes + n,
                                            [](const HD_BOX_S& a, const HD_BOX_S& b) { return a.Score < b.Score; });
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    CropOf(*best, fd.width, fd.height, &x, &y, &w, &h);
    const std::vector<uint8_t> face = FaceJpeg(frame, x, y, w, h);
    const std::vector<uint8_t> scene = FaceJpeg(frame, 0, 0, fd.width, fd.height);
    if (face.empty() || scene.empty()) {
        APP_ERR("face pictures not encoded");
        return -1;
    }
    NOXA_AI_FACE_REPORT_S r = {};
    r.face_data = face.data();
    r.face_len = static_cast<uint32_t>(face.size());
    r.scene_data = scene.data();
    r.scene_len = static_cast<uint32_t>(scene.size());
    r.score = static_cast<int>(best->Score * 100.0f + 0.5f);
    // The minute counts from the attempt: a cloud that refuses is not asked again at once.
    s_reported = true;
    s_lastReportMs = gFaceDetectOps.NowMs();
    int id = -1;
    const int ret = gFaceDetectOps.Report(&r, &id);
    APP_DBG("face at %d,%d %dx%d score %d reported: %d", x, y, w, h, r.score, ret);
    if (ret == 0 && id >= 0) {
        noxa_ipc_ai_face_id_notify(id);
    }
    return 1;
}

int StartFaceService()
{
    int ret = noxa_ipc_ai_face_detect_storage_init(nqcam_ai_face_cfg_func, FaceIdCb);
    if (ret != 0) {
        return ret;
    }
    ret = noxa_ipc_ai_face_db_init(kFaceStorePath, kFaceFeatureLen);
    if (ret != 0) {
        APP_ERR("face store not opened %d", ret);
        return ret;
    }
    std::lock_guard<std::mutex> lock(s_lock);
    if (s_run) {
        return 0;
    }
    s_run = true;
    try {
        s_thread = std::thread(FaceServiceThread);
    } catch (const std::system_error&) {
        s_run = false;
        noxa_ipc_ai_face_db_close();
        return -1;
    }
    return 0;
}

void StopFaceService()
{
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(s_lock);
        s_run = false;
        t = std::move(s_thread);
    }
    s_cv.notify_all();
    if (t.joinable()) {
        t.join();
    }
    std::lock_guard<std::mutex> lock(s_passLock);
    if (s_network != nullptr) {
        Release_Network(&s_network);
    }
    s_network = nullptr;
}
