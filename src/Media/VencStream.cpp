#include "VencStream.h"

#include "Common/AppLog.h"
#include "Common/AppState.h"
#include "Common/DeviceState.h"
#include "Common/RecordFile.h"
#include "VideoPipeline.h"
#include "platform/board.h"
#include "platform/board_file.h"
#include "platform/board_path.h"
#include "platform/mi/mi_venc.h"
#include "platform/shell.h"

#include <cstdio>
#include <dirent.h>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/select.h>
#include <unistd.h>

VENC_STATE_S gVencState;
VENC_OUTPUT_S gVencOutput;

namespace {

constexpr int kVencChannels = 3;
constexpr int kJpegChannel = 2;
constexpr int kMaxPacks = 16;
constexpr int kFetchTimeoutMs = 40;
constexpr uint16_t kCaptureWaitTicks = 10;

uint64_t __NowUs()
{
    struct timeval tv {};
    BoardGetTimeOfDay(&tv);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

void __WaitMs(int ms)
{
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    select(0, nullptr, nullptr, nullptr, &tv);
}

void __HandOver(int chn, const MI_VENC_Pack_t& pack)
{
    MEDIA_FRAME_S frame{};
    frame.type = pack.dataType == E_MI_VENC_H264E_NALU_ISLICE ? MEDIA_FRAME_TYPE_I : MEDIA_FRAME_TYPE_P;
    frame.data = pack.data;
    frame.size = pack.len;
    frame.pts = __NowUs();
    frame.timestamp = frame.pts;
    if (!VencFrameGateOpen()) {
        return;  // nobody is to see it: dropped
    }
    // PutMediaFrame of the viewer side (appends to the media ring buffer).
    if (gVencOutput.PutMediaFrame != nullptr) {
        gVencOutput.PutMediaFrame(chn, &frame);
    }
}

// Channel 0 into the open recording: a key frame as its SPS, PPS (with whatever follows it up to
// the slice) and IDR pieces, each with its start code; a P frame whole.
void __Record(const MI_VENC_Pack_t& pack)
{
    // GetMP4RecordState and MP4Encoder_WriteVideo of the recorder.
    if (gVencOutput.RecordState == nullptr || gVencOutput.WriteVideo == nullptr || gVencOutput.RecordState() != 1) {
        return;
    }
    if (pack.dataType == E_MI_VENC_H264E_NALU_ISLICE) {
        uint32_t off[3];
        if (VencSplitIdr(pack.data, pack.len, off) != 0) {
            AppLogPrint(APP_LOG_RED, "venc_channel_func", "key frame of %u bytes without SPS, PPS and IDR in order: not recorded",
                        pack.len);
            return;
        }
        gVencOutput.WriteVideo(pack.data + off[0], off[1] - off[0], 7, pack.pts);
        gVencOutput.WriteVideo(pack.data + off[1], off[2] - off[1], 8, pack.pts);
        gVencOutput.WriteVideo(pack.data + off[2], pack.len - off[2], 5, pack.pts);
    } else if (pack.dataType == E_MI_VENC_H264E_NALU_PSLICE) {
        gVencOutput.WriteVideo(pack.data, pack.len, 1, pack.pts);
    }
}

// Replaced whole (written aside, synced, renamed, the folder synced), so neither a reader nor a
// power cut ever finds half a picture.
bool __WriteWhole(const char* unitPath, const uint8_t* data, uint32_t len)
{
    if (BoardWriteFileWhole(unitPath, data, len) != 0) {
        APP_ERR("write %s failed", unitPath);
        return false;
    }
    return true;
}

void __Snapshot(const MI_VENC_Pack_t& pack)
{
    if (gVencState.CaptureFlag != 1) {
        return;
    }
    // During the viewing countdown the picture is still the previous door's: wait for the first
    // frame after it.
    if (CountdownRunning(gDeviceState.ViewingTimer)) {
        return;
    }
    char path[sizeof(gVencState.CapturePath)];
    {
        std::lock_guard<std::mutex> lk(gVencState.PathLock);
        std::memcpy(path, gVencState.CapturePath, sizeof(path));
    }
    AppLogPrint(APP_LOG_BLUE, "venc_channel_func", "Capture %s", path);
    gVencState.CaptureFlag = 0;
    if (!__WriteWhole(path, pack.data, pack.len)) {
        return;
    }
    // The doorbell picture is also kept on the card; a picture armed for the card is there already.
    if (std::strcmp(path, kDemoSnapshotPath) == 0 && gVencOutput.SaveImage != nullptr) {
        gVencOutput.SaveImage(pack.data, pack.len);  // SaveImageToSDCard
    }
    BoardSync();
}

void __DrainChannel(int chn)
{
    MI_VENC_ChnStat_t stat{};
    if (MI_VENC_Query(chn, &stat) != MI_SUCCESS || stat.curPacks == 0) {
        return;
    }
    MI_VENC_Pack_t packs[kMaxPacks] = {};
    MI_VENC_Stream_t stream{};
    stream.packs = packs;
    // The pack array holds 16: a larger count would let the encoder write past it.
    stream.packCount = stat.curPacks < kMaxPacks ? stat.curPacks : kMaxPacks;
    if (MI_VENC_GetStream(chn, &stream, kFetchTimeoutMs) != MI_SUCCESS) {
        return;
    }
    for (uint8_t i = 0; i < stream.packCount; ++i) {
        if (chn == kJpegChannel) {
            __Snapshot(packs[i]);
            continue;
        }
        __HandOver(chn, packs[i]);
        if (chn == 0) {
            __Record(packs[i]);
        }
    }
    MI_VENC_ReleaseStream(chn, &stream);
}

}  // namespace

bool VencFrameGateOpen()
{
    return !CountdownRunning(gDeviceState.ViewingTimer) && gAppState.Online != 0 && gDeviceState.ViewingMark != 0;
}

int VencSplitIdr(const uint8_t* data, uint32_t len, uint32_t offsets[3])
{
    // -1 for each piece not found; the scan ends at the IDR slice.
    int64_t found[3] = {-1, -1, -1};
    for (uint32_t i = 0; len >= 5 && i < len - 4; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 0 || data[i + 3] != 1) {
            continue;
        }
        int type = data[i + 4] & 0x1F;
        if (type == 7 && found[0] < 0) {
            found[0] = i;
        } else if (type == 8 && found[1] < 0) {
            found[1] = i;
        } else if (type == 5) {
            found[2] = i;
            break;
        }
    }
    if (found[0] < 0 || found[1] <= found[0] || found[2] <= found[1]) {
        return -1;
    }
    for (int k = 0; k < 3; ++k) {
        offsets[k] = static_cast<uint32_t>(found[k]);
    }
    return 0;
}

int VencChannelPass(int waitMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    int fds[kVencChannels];
    int maxFd = -1;
    for (int c = 0; c < kVencChannels; ++c) {
        fds[c] = MI_VENC_GetFd(c);
        if (fds[c] < 0) {
            fds[c] = -1;
            continue;
        }
        FD_SET(fds[c], &readable);
        if (fds[c] > maxFd) {
            maxFd = fds[c];
        }
    }
    struct timeval tv = {waitMs / 1000, (waitMs % 1000) * 1000};
    int n = select(maxFd + 1, &readable, nullptr, nullptr, &tv);
    if (n <= 0) {
        return n;
    }
    for (int c = 0; c < kVencChannels; ++c) {
        if (fds[c] >= 0 && FD_ISSET(fds[c], &readable)) {
            __DrainChannel(c);
        }
    }
    return n;
}

void* venc_channel_func(void*)
{
    prctl(PR_SET_NAME, "venc_channel_func");
    APP_INFO("PID = %u", static_cast<unsigned>(gettid()));
    gVencState.LoopRunning = 1;
    while (gVideoDynamicsInfo.VencRun) {
        if (gVencState.Pause) {
            // The restart waits for this answer before it tears the channels down.
            gVencState.Idle = 1;
            __WaitMs(100);
            continue;
        }
        VencChannelPass(200);
    }
    gVencState.LoopRunning = 0;
    return nullptr;
}

void CapturePicture(uint32_t mode)
{
    char path[sizeof(gVencState.CapturePath)];
    PICTURE_RECORD_S pic = {};
    if (mode == 0) {
        std::snprintf(pic.Directory, sizeof(pic.Directory), "%s", "/dev");
        std::snprintf(path, sizeof(path), "%s", kDemoSnapshotPath);
        APP_INFO("===Auto capture");
    } else {
        MakePictureRecord(&pic);
        std::snprintf(path, sizeof(path), "%s/%s", pic.Directory, pic.Name);
    }
    {
        std::lock_guard<std::mutex> lk(gVencState.PathLock);
        std::memcpy(gVencState.CapturePath, path, sizeof(path));
    }
    APP_DBG("%s", pic.Directory);
    gDeviceState.CaptureWaitTimer = kCaptureWaitTicks;
}

void CaptureWaitExpired()
{
    gVencState.CaptureFlag = 1;
}

void RequestVideoIdr()
{
    MI_VENC_RequestIdr(0, 1);
    MI_VENC_RequestIdr(1, 1);
}
