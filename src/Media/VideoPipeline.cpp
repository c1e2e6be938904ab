#include "VideoPipeline.h"
#include "Mp4Record.h"

#include "AudioCapture.h"
#include "DetectThread.h"
#include "Common/AppLog.h"
#include "Common/DeviceState.h"
#include "MiWrapper.h"
#include "Mp4Record.h"
#include "Pr2000.h"
#include "VencStream.h"
#include "osd.h"
#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"
#include "platform/mi/mi_divp.h"
#include "platform/board_path.h"
#include "platform/mi/mi_sensor.h"
#include "platform/shell.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unistd.h>

VIDEO_DYNAMICS_INFO_S gVideoDynamicsInfo;

// bit rate only for H.265; crop none; bind type 1 (frame by frame) for all three.
const VENC_STREAM_ATTR_S gVencStreamAttr[kVencStreamCount] = {
    {1, 0, 0, 0, 0, E_MI_VENC_MODTYPE_H264E, 2.0f, 1280, 720, 0, 0, 0, 0, 1, "sub", E_MI_SYS_BIND_TYPE_FRAME_BASE, 0, {1, 2}},
    {1, 0, 0, 1, 1, E_MI_VENC_MODTYPE_H264E, 2.0f, 640, 360, 0, 0, 0, 0, 1, "sub2", E_MI_SYS_BIND_TYPE_FRAME_BASE, 1080, {3, 4}},
    {1, 0, 0, 2, 2, E_MI_VENC_MODTYPE_JPEGE, 10.0f, 640, 360, 0, 0, 0, 0, 1, "sub1", E_MI_SYS_BIND_TYPE_FRAME_BASE, 0, {5, 6}},
};

namespace {

constexpr uint32_t kVideoOutRate = 25;
constexpr uint32_t kJpegRate = 10;
constexpr uint16_t kVideoSettleTicks = 300;
constexpr int kPauseWaitMs = 1000;  // a pass is at most one 200 ms wait and three 40 ms fetches

// One lock over everything that builds or tears down the chain: start-up, the format watch's
// restart and the upgrade's teardown never interleave.
std::mutex gChainLock;
bool gVideoReady = false;
uint16_t gPendingWidth = 0;  // input size reported before the first VideoInit
uint16_t gPendingHeight = 0;

const MI_SYS_ChnPort_t kVifPort{E_MI_MODULE_ID_VIF, 0, 0, 0};
const MI_SYS_ChnPort_t kVpePort0{E_MI_MODULE_ID_VPE, 0, 0, 0};
const MI_SYS_ChnPort_t kDivpPort{E_MI_MODULE_ID_DIVP, 0, 0, 0};

MI_BIND_INFO_S __Bind(const MI_SYS_ChnPort_t& src, const MI_SYS_ChnPort_t& dst, uint32_t srcRate, uint32_t dstRate,
                      uint32_t type, uint32_t param)
{
    return MI_BIND_INFO_S{src, dst, srcRate, dstRate, type, param};
}

MI_BIND_INFO_S __VifToVpe(uint32_t inRate)
{
    return __Bind(kVifPort, kVpePort0, inRate, kVideoOutRate, E_MI_SYS_BIND_TYPE_REALTIME, 0);
}

MI_BIND_INFO_S __VpeToDivp()
{
    return __Bind(MI_SYS_ChnPort_t{E_MI_MODULE_ID_VPE, 0, 0, 1}, kDivpPort, kVideoOutRate, kVideoOutRate,
                  E_MI_SYS_BIND_TYPE_FRAME_BASE, 0);
}

// The rows of the stream table that are built and torn down, in order; results are not kept.
template <typename Fn>
void __EachStream(Fn fn)
{
    for (uint32_t i = 0; i < kVencStreamCount; ++i) {
        const VENC_STREAM_ATTR_S& row = gVencStreamAttr[i];
        if (row.Enable && row.Skip == 0) {
            fn(i, row);
        }
    }
}

uint32_t __InputRate(uint16_t width)
{
    // The 720- and 960-wide standard-definition inputs come as 50 fields a second.
    return (width == 1920 || width == 1280) ? 25 : 50;
}

void __EncoderAttr(const VENC_STREAM_ATTR_S& row, MI_VENC_ChnAttr_t& attr)
{
    attr = MI_VENC_ChnAttr_t{};
    attr.veAttr.type = row.Codec;
    MI_VENC_RcAttr_t& rc = attr.rcAttr;
    if (row.Codec == E_MI_VENC_MODTYPE_H264E) {
        MI_VENC_AttrH26x_t& h = attr.veAttr.h264;
        h.maxPicWidth = h.picWidth = row.Width;
        h.maxPicHeight = h.picHeight = row.Height;
        h.byFrame = 1;
        h.bFrameNum = 2;
        if (row.Width == 1280) {
            rc.rcMode = E_MI_VENC_RC_MODE_H264FIXQP;
            rc.h264FixQp = MI_VENC_H264FixQp_t{50, 25, 1, 25, 30};
        } else if (row.Width == 1920) {
            rc.rcMode = E_MI_VENC_RC_MODE_H264VBR;
            rc.h264Vbr = MI_VENC_H26xVbr_t{25, 0, 25, 1, 2048, 36, 12};
        } else if (row.Width == 640) {
            rc.rcMode = E_MI_VENC_RC_MODE_H264VBR;
            rc.h264Vbr = MI_VENC_H26xVbr_t{50, 0, 25, 1, 512, 34, 12};
        }
    } else if (row.Codec == E_MI_VENC_MODTYPE_H265E) {
        MI_VENC_AttrH26x_t& h = attr.veAttr.h265;
        h.maxPicWidth = h.picWidth = row.Width;
        h.maxPicHeight = h.picHeight = row.Height;
        h.byFrame = 1;
        rc.rcMode = E_MI_VENC_RC_MODE_H265CBR;
        rc.h265Cbr = MI_VENC_H26xCbr_t{30, 0, 30, 1, static_cast<uint32_t>(row.BitRate * 1024 * 1024), 0};
    } else if (row.Codec == E_MI_VENC_MODTYPE_JPEGE) {
        MI_VENC_AttrJpeg_t& j = attr.veAttr.jpeg;
        j.maxPicWidth = j.picWidth = row.Width;
        j.maxPicHeight = j.picHeight = row.Height;
        j.byFrame = 1;
        rc.rcMode = E_MI_VENC_RC_MODE_MJPEGFIXQP;
        rc.mjpegFixQp = MI_VENC_MjpegFixQp_t{25, 1, 90};
    }
}

int __VideoInitLocked()
{
    VIDEO_DYNAMICS_INFO_S& v = gVideoDynamicsInfo;
    if (!gVideoReady && gPendingWidth != 0) {
        // The input was measured before the chain existed: build it for that size right away.
        v.SensorWidth = gPendingWidth;
        v.SensorHeight = gPendingHeight;
        gPendingWidth = gPendingHeight = 0;
    }
    gVideoReady = true;
    uint16_t w = v.SensorWidth;
    uint16_t h = v.SensorHeight;
    uint32_t inRate = __InputRate(w);
    AppLogPrint(APP_LOG_GREEN, "VideoInit", "%dx%d %dfps", w, h, inRate);

    VIF_PORT_INFO_S port{};
    if (inRate == 50) {
        port = VIF_PORT_INFO_S{20, 0, static_cast<uint32_t>(w - 26), h, static_cast<uint32_t>(w - 26), h, 0, 0, 0};
    } else {
        port = VIF_PORT_INFO_S{0, 0, w, h, w, h, 0, 0, 0};
    }
    SENSOR_PAD_INFO_S pad{};
    MiVifSetupDev(0, 0, 0, &pad);
    MiVifSetupPort(0, 0, &port);
    MiVifEnablePort(0, 0, 0);

    MI_SNR_SetOrien(0, 0, 0);
    MI_VPE_SetChannelRotation(0, 0);

    VPE_CHANNEL_INFO_S chn{};
    chn.MaxWidth = w;
    chn.MaxHeight = h;
    chn.PixelFormat = E_MI_SYS_PIXEL_FRAME_YUV_MST_420;
    int ret = MiVpeCreateChannel(0, &chn);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    ret = MiVpeStartChannel(0);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_BIND_INFO_S bind = __VifToVpe(inRate);
    ret = MiSysBind(&bind);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    CreateVencStreams();
    DIVPChnCreate();
    gDeviceState.VideoSettleTimer = kVideoSettleTicks;
    return MI_SUCCESS;
}

int __VideoDeInitLocked()
{
    gDeviceState.RecordTimer = kCountdownStopped;
    // The open file is closed before its stream goes.
    MP4RecordStop();
    DIVPChnDestroy();
    DestroyVencStreams();
    MI_BIND_INFO_S bind = __VifToVpe(__InputRate(gVideoDynamicsInfo.SensorWidth));
    int ret = MiSysUnbind(&bind);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    ret = MiVpeStopChannel(0);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    ret = MiVpeDestroyChannel(0);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    ret = MiVifDisablePort(0, 0);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    return MiVifDisableDev(0);
}

// Stops the encoder thread's fetching and waits (bounded) until it says so, so no channel is
// destroyed under a fetch.
void __PauseEncoder()
{
    gVencState.Idle = 0;
    gVencState.Pause = 1;
    if (!gVencState.LoopRunning) {
        return;
    }
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPauseWaitMs);
    while (!gVencState.Idle && gVencState.LoopRunning) {
        if (std::chrono::steady_clock::now() >= until) {
            APP_ERR("encoder thread did not pause within %d ms", kPauseWaitMs);
            return;
        }
        struct timeval tv = {0, 10000};
        select(0, nullptr, nullptr, nullptr, &tv);
    }
}

void __VideoRestartLocked()
{
    __PauseEncoder();
    __VideoDeInitLocked();
    __VideoInitLocked();
    gVencState.Pause = 0;
    // The regions went with the scaler's ports: the time stamp and an icon on show go back on.
    OsdRegionsAttach();
    for (int i = 0; i < kOsdIconCount; ++i) {
        if (CountdownRunning(gOsdIcon[i].DisplayCountdown)) {
            const uint8_t icon = static_cast<uint8_t>(i);
            HideIconOsd(icon);  // marked shown, but no longer on a port: taken down first
            ShowIconOsd(icon, 0, 0);
        }
    }
}

}  // namespace

int SysInit()
{
    if (BoardAccess("/OTABurnStart", F_OK) == 0) {
        BoardSystem("rm /OTABurnStart");  // the upgrader's marker, left when an upgrade stopped
    }
    MI_S32 ret = MI_SYS_Init();
    if (ret != MI_SUCCESS) {
        APP_ERR("MI_SYS_Init Fail %#x", static_cast<unsigned>(ret));
    }
    BoardSystem("insmod /customer/ko/nvp6124b.ko chmap=1");  // the sensor pad's driver
    MI_SNR_SetRes(0, 0);
    MI_SNR_Enable(0);
    // The on-screen display (region library, fonts, the time stamp regions and thread). A failure
    // there is logged and the unit goes on without OSD: the video matters more than its overlay.
    int osd = OsdSystemInit();
    if (osd == 0) {
        osd = OsdRegionsInit();
    }
    if (osd != 0) {
        APP_ERR("on-screen display not started: %#x", static_cast<unsigned>(osd));
    }

    VIDEO_DYNAMICS_INFO_S& v = gVideoDynamicsInfo;
    {
        std::lock_guard<std::mutex> lk(gChainLock);
        v.FrameRate = 25;
        v.SensorWidth = 1920;
        v.SensorHeight = 1080;
        v.FrameRateCode = 4;
        v.RecordCode = 2;
        v.ResolutionCode = 4;
    }
    v.VencRun = 1;
    int rc = pthread_create(&v.VencThread, nullptr, venc_channel_func, nullptr);
    v.VencThreadStarted = rc == 0;
    if (rc != 0) {
        v.VencRun = 0;
        APP_ERR("venc_channel_func not started: %d", rc);
    }
    // The format watch runs for the life of the process; a second init keeps the one running.
    rc = SensorFmtStart();
    if (rc != 0) {
        APP_ERR("SensorFmtThread not started: %d", rc);
    }
    return rc;
}

int SetVideoDynamicsInfo(uint32_t type)
{
    static const uint8_t kRates[5] = {5, 10, 15, 20, 25};
    std::lock_guard<std::mutex> lk(gChainLock);
    VIDEO_DYNAMICS_INFO_S& v = gVideoDynamicsInfo;
    uint16_t recW = 0;
    uint16_t recH = 0;
    switch (v.RecordCode) {
    case 0: recW = 640; recH = 480; break;
    case 1: recW = 1280; recH = 720; break;
    case 2: recW = 1920; recH = 1080; break;
    default: break;
    }
    uint16_t senW = 0;
    uint16_t senH = 0;
    switch (v.ResolutionCode) {
    case 0:
    case 3:
        senW = 1280;
        senH = 720;
        if (v.RecordCode > 1) {
            recW = 1280;
            recH = 720;
        }
        break;
    case 1: senW = 960; senH = 288; recW = 640; recH = 480; break;
    case 2: senW = 960; senH = 240; recW = 640; recH = 480; break;
    case 4: senW = 1920; senH = 1080; break;
    case 5: senW = 1920; senH = 288; recW = 640; recH = 480; break;
    case 6: senW = 1920; senH = 240; recW = 640; recH = 480; break;
    default: break;
    }
    if (recW == 0) {
        recW = senW;
    }
    if (recH == 0) {
        recH = senH;
    }
    if (senW != 0 && senH != 0) {
        v.SensorWidth = senW;
        v.SensorHeight = senH;
        v.RecordWidth = recW;
        v.RecordHeight = recH;
        // A code past the list keeps the rate it has.
        uint8_t code = v.FrameRateCode;
        if (type == 0) {
            v.FrameRate = 25;
        } else if (code < sizeof(kRates)) {
            v.FrameRate = kRates[code];
        }
        v.Type = type;
        v.PrevResolutionCode = v.ResolutionCode.load();
        v.PrevRecordCode = v.RecordCode.load();
        v.PrevFrameRateCode = v.FrameRateCode.load();
    }
    APP_INFO("sensor w:%d h:%d", v.SensorWidth.load(), v.SensorHeight.load());
    APP_INFO("record w:%d h:%d", v.RecordWidth.load(), v.RecordHeight.load());
    APP_INFO("rate:%d type:%d", v.FrameRate.load(), type);
    return 0;
}

int VideoInit()
{
    std::lock_guard<std::mutex> lk(gChainLock);
    return __VideoInitLocked();
}

int VideoDeInit()
{
    std::lock_guard<std::mutex> lk(gChainLock);
    return __VideoDeInitLocked();
}

void VideoRestart()
{
    std::lock_guard<std::mutex> lk(gChainLock);
    __VideoRestartLocked();
}

int VideoApplyInputSize(uint16_t width, uint16_t height)
{
    std::lock_guard<std::mutex> lk(gChainLock);
    VIDEO_DYNAMICS_INFO_S& v = gVideoDynamicsInfo;
    v.Type = 0;
    if (!gVideoReady) {
        gPendingWidth = width;
        gPendingHeight = height;
        return 0;
    }
    if (width == v.SensorWidth && height == v.SensorHeight) {
        return 0;
    }
    v.SensorWidth = width;
    v.SensorHeight = height;
    __VideoRestartLocked();
    return 1;
}

uint8_t VideoReady()
{
    std::lock_guard<std::mutex> lk(gChainLock);
    return gVideoReady ? 1 : 0;
}

void MediaSystemDeInit()
{
    std::lock_guard<std::mutex> lk(gChainLock);
    VIDEO_DYNAMICS_INFO_S& v = gVideoDynamicsInfo;
    if (v.VencRun) {
        v.VencRun = 0;
        if (v.VencThreadStarted) {
            pthread_join(v.VencThread, nullptr);
            v.VencThreadStarted = 0;
        }
    }
    __VideoDeInitLocked();
    gVideoReady = false;  // nothing rebuilds the chain after this
    gPendingWidth = gPendingHeight = 0;
    for (uint32_t i = 0; i < gOsdIconCount; ++i) {
        HideIconOsd(static_cast<uint8_t>(i));
    }
    StopDetectThread();
    // A continuous recording the thread opened in its last pass, after the chain's stop above.
    MP4RecordStop();
    AudioDeInit();
    MI_SNR_Disable(0);
    MI_VENC_DeInitDev();
    MI_DIVP_DeInitDev();
    MI_VPE_DeInitDev();
    MI_VIF_DeInitDev();
    MI_AO_DeInitDev();
    MI_AI_DeInitDev();
    MI_SNR_DeInitDev();
    BoardSystem("rmmod mi_ao mi_divp mi_ai mi_venc mi_vif mi_vpe mi_sensor drv_ms_cus_nvp6124b");
}

int CreateVencStream(uint32_t index, uint32_t width, uint32_t height, uint32_t cropWidth, uint32_t cropHeight,
                     uint32_t cropX, uint32_t cropY)
{
    if (index >= kVencStreamCount) {
        APP_ERR("index is out of bounds!");
        return -1;
    }
    const VENC_STREAM_ATTR_S& row = gVencStreamAttr[index];
    VPE_PORT_INFO_S port{};
    port.VpeChannel = row.VpeChannel;
    port.Width = static_cast<uint16_t>(width);
    port.Height = static_cast<uint16_t>(height);
    bool rawJpeg = row.Codec == E_MI_VENC_MODTYPE_JPEGE && row.BindType == E_MI_SYS_BIND_TYPE_REALTIME;
    port.PixelFormat = rawJpeg ? E_MI_SYS_PIXEL_FRAME_YUV422_YUYV : E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420;
    int ret = MI_SUCCESS;
    if (cropWidth != 0 && cropHeight != 0) {
        MI_SYS_WindowRect_t crop{static_cast<MI_U16>(cropX), static_cast<MI_U16>(cropY), static_cast<MI_U16>(cropWidth),
                                 static_cast<MI_U16>(cropHeight)};
        ret = MI_VPE_SetPortCrop(row.VpeChannel, row.VpePort, &crop);
        if (ret != MI_SUCCESS) {
            return ret;
        }
    }
    ret = MiVpeSetupPort(row.VpePort, &port);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_VENC_ChnAttr_t attr{};
    __EncoderAttr(row, attr);
    ret = MiVencCreate(row.VencChannel, &attr);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_U32 dev = 0;
    ret = MI_VENC_GetChnDevid(row.VencChannel, &dev);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_VENC_InputSourceConfig_t source{row.BindType == E_MI_SYS_BIND_TYPE_HW_RING ? 1u : 0u};
    MI_VENC_SetInputSourceConfig(row.VencChannel, &source);
    ret = MiVencStart(row.VencChannel);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    uint32_t dstRate = row.Codec == E_MI_VENC_MODTYPE_JPEGE ? kJpegRate : kVideoOutRate;
    uint32_t param = row.BindType == E_MI_SYS_BIND_TYPE_HW_RING ? height : 0;
    MI_BIND_INFO_S bind = __Bind(MI_SYS_ChnPort_t{E_MI_MODULE_ID_VPE, 0, row.VpeChannel, row.VpePort},
                                 MI_SYS_ChnPort_t{E_MI_MODULE_ID_VENC, dev, row.VencChannel, 0}, kVideoOutRate, dstRate,
                                 row.BindType, param);
    return MiSysBind(&bind);
}

int CreateVencStreams()
{
    __EachStream([](uint32_t i, const VENC_STREAM_ATTR_S& row) {
        CreateVencStream(i, row.Width, row.Height, row.CropWidth, row.CropHeight, row.CropX, row.CropY);
    });
    return 0;
}

int DestroyVencStream(uint32_t index)
{
    if (index >= kVencStreamCount) {
        APP_ERR("index is out of bounds!");
        return -1;
    }
    const VENC_STREAM_ATTR_S& row = gVencStreamAttr[index];
    MI_U32 dev = 0;
    int ret = MI_VENC_GetChnDevid(row.VencChannel, &dev);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_BIND_INFO_S bind = __Bind(MI_SYS_ChnPort_t{E_MI_MODULE_ID_VPE, 0, row.VpeChannel, row.VpePort},
                                 MI_SYS_ChnPort_t{E_MI_MODULE_ID_VENC, dev, row.VencChannel, 0}, 0, 0, 0, 0);
    ret = MiSysUnbind(&bind);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    ret = MiVencStop(row.VencChannel);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    ret = MiVencDestroy(row.VencChannel);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    return MiVpeDisablePort(row.VpeChannel, row.VpePort);
}

int DestroyVencStreams()
{
    __EachStream([](uint32_t i, const VENC_STREAM_ATTR_S&) { DestroyVencStream(i); });
    return 0;
}

int DIVPChnCreate()
{
    MI_DIVP_ChnAttr_t attr{};
    attr.maxWidth = 640;
    attr.maxHeight = 360;
    attr.cropRect = MI_SYS_WindowRect_t{0, 0, 640, 360};
    MI_S32 ret = MI_DIVP_CreateChn(0, &attr);
    if (ret != MI_SUCCESS) {
        APP_ERR("MI_DIVP_CreateChn Fail %#x", static_cast<unsigned>(ret));
    }
    MI_DIVP_OutputPortAttr_t out{480, 288, E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420, E_MI_SYS_COMPRESS_MODE_NONE};
    ret = MI_DIVP_SetOutputPortAttr(0, &out);
    if (ret != MI_SUCCESS) {
        APP_ERR("MI_DIVP_SetOutputPortAttr Fail %#x", static_cast<unsigned>(ret));
    }
    ret = MI_SYS_SetChnOutputPortDepth(&kDivpPort, 2, 5);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    MI_BIND_INFO_S bind = __VpeToDivp();
    ret = MiSysBind(&bind);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    ret = MI_DIVP_StartChn(0);
    if (ret != MI_SUCCESS) {
        APP_ERR("MI_DIVP_StartChn Fail %#x", static_cast<unsigned>(ret));
    }
    return MI_SUCCESS;
}

int DIVPChnDestroy()
{
    MI_S32 ret = MI_DIVP_StopChn(0);
    if (ret != MI_SUCCESS) {
        APP_ERR("MI_DIVP_StopChn Fail %#x", static_cast<unsigned>(ret));
    }
    MI_BIND_INFO_S bind = __VpeToDivp();
    ret = MiSysUnbind(&bind);
    if (ret != MI_SUCCESS) {
        return ret;
    }
    ret = MI_DIVP_DestroyChn(0);
    if (ret != MI_SUCCESS) {
        APP_ERR("MI_DIVP_DestroyChn Fail %#x", static_cast<unsigned>(ret));
    }
    return MI_SUCCESS;
}
