// The simulated media layer itself: the calls' answers that the application tests for, the
// graph, regions drawn into frames, the detection frames, the image engine and media memory
// (audio in and out: the audio suite).
#include "decode_util.h"
#include "platform/board_dev.h"
#include "platform/board_sim.h"
#include "platform/mi/mi_ai.h"
#include "platform/mi/mi_ao.h"
#include "platform/mi/mi_divp.h"
#include "platform/mi/mi_ive.h"
#include "platform/mi/mi_rgn.h"
#include "platform/mi/mi_sensor.h"
#include "platform/mi/mi_sim.h"
#include "platform/mi/mi_sys.h"
#include "platform/mi/mi_venc.h"
#include "platform/mi/mi_vif.h"
#include "platform/mi/mi_vpe.h"
#include "sandbox.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <vector>

namespace {

const MI_SYS_ChnPort_t kVif{E_MI_MODULE_ID_VIF, 0, 0, 0};
const MI_SYS_ChnPort_t kVpe{E_MI_MODULE_ID_VPE, 0, 0, 0};
const MI_SYS_ChnPort_t kVpe1{E_MI_MODULE_ID_VPE, 0, 0, 1};
const MI_SYS_ChnPort_t kDivp{E_MI_MODULE_ID_DIVP, 0, 0, 0};

class MiSim : public testing::Test {
protected:
    void SetUp() override
    {
        BoardDevReset();
        MiSimReset();
        MiSimSetManualClock(true);
        ASSERT_EQ(0, MI_SYS_Init());
    }
    void TearDown() override { MiSimReset(); }

    // Capture at the signal size, the scaler with port 1 at 640x360, and the detection copy
    // (480x288 NV12, two frames for the user).
    static void BuildCapture(MI_U16 w = 1280, MI_U16 h = 720)
    {
        MiSimSetSignal(w, h);
        ASSERT_EQ(0, MI_SNR_Enable(0));
        MI_VIF_DevAttr_t dev{};
        ASSERT_EQ(0, MI_VIF_SetDevAttr(0, &dev));
        ASSERT_EQ(0, MI_VIF_EnableDev(0));
        MI_VIF_ChnPortAttr_t port{};
        port.capRect = {0, 0, w, h};
        port.destSize = {w, h};
        ASSERT_EQ(0, MI_VIF_SetChnPortAttr(0, 0, &port));
        ASSERT_EQ(0, MI_VIF_EnableChnPort(0, 0));
        BuildScaler(w, h);
    }
    // A 640x360 JPEG channel; the encoder device it sits on.
    static void CreateJpegChn(MI_U32 chn, MI_U32* dev)
    {
        MI_VENC_ChnAttr_t j{};
        j.veAttr.type = E_MI_VENC_MODTYPE_JPEGE;
        j.veAttr.jpeg = MI_VENC_AttrJpeg_t{640, 360, 640, 360, 1};
        j.rcAttr.rcMode = E_MI_VENC_RC_MODE_MJPEGFIXQP;
        j.rcAttr.mjpegFixQp = MI_VENC_MjpegFixQp_t{25, 1, 90};
        ASSERT_EQ(0, MI_VENC_CreateChn(chn, &j));
        ASSERT_EQ(0, MI_VENC_GetChnDevid(chn, dev));
    }
    static void BuildScaler(MI_U16 w, MI_U16 h)
    {
        MI_VPE_ChannelAttr_t chn{};
        chn.maxWidth = w;
        chn.maxHeight = h;
        chn.pixFormat = E_MI_SYS_PIXEL_FRAME_YUV_MST_420;
        ASSERT_EQ(0, MI_VPE_CreateChannel(0, &chn));
        ASSERT_EQ(0, MI_VPE_StartChannel(0));
        ASSERT_EQ(0, MI_SYS_BindChnPort2(&kVif, &kVpe, 25, 25, E_MI_SYS_BIND_TYPE_REALTIME, 0));
        MI_VPE_PortMode_t mode{640, 360, E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420, 0};
        ASSERT_EQ(0, MI_VPE_SetPortMode(0, 1, &mode));
        ASSERT_EQ(0, MI_VPE_EnablePort(0, 1));
        MI_DIVP_ChnAttr_t d{};
        d.maxWidth = 640;
        d.maxHeight = 360;
        d.cropRect = {0, 0, 640, 360};
        ASSERT_EQ(0, MI_DIVP_CreateChn(0, &d));
        MI_DIVP_OutputPortAttr_t out{480, 288, E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420, 0};
        ASSERT_EQ(0, MI_DIVP_SetOutputPortAttr(0, &out));
        ASSERT_EQ(0, MI_SYS_SetChnOutputPortDepth(&kDivp, 2, 5));
        ASSERT_EQ(0, MI_SYS_BindChnPort2(&kVpe1, &kDivp, 25, 25, E_MI_SYS_BIND_TYPE_FRAME_BASE, 0));
        ASSERT_EQ(0, MI_DIVP_StartChn(0));
    }
    static void TearDownScaler()
    {
        ASSERT_EQ(0, MI_DIVP_StopChn(0));
        ASSERT_EQ(0, MI_SYS_UnBindChnPort(&kVpe1, &kDivp));
        ASSERT_EQ(0, MI_DIVP_DestroyChn(0));
        ASSERT_EQ(0, MI_SYS_UnBindChnPort(&kVif, &kVpe));
        ASSERT_EQ(0, MI_VPE_StopChannel(0));
        ASSERT_EQ(0, MI_VPE_DestroyChannel(0));
    }
    // An H.264 channel at 640x360 fed from scaler port 1 instead of the detection copy.
    static void BuildEncoder(MI_U32 chn)
    {
        MI_VENC_ChnAttr_t a{};
        a.veAttr.type = E_MI_VENC_MODTYPE_H264E;
        a.veAttr.h264 = MI_VENC_AttrH26x_t{640, 360, 640, 360, 1, 0};
        a.rcAttr.rcMode = E_MI_VENC_RC_MODE_H264FIXQP;
        a.rcAttr.h264FixQp = MI_VENC_H264FixQp_t{10, 25, 1, 25, 30};
        ASSERT_EQ(0, MI_VENC_CreateChn(chn, &a));
        ASSERT_EQ(0, MI_VENC_StartRecvPic(chn));
    }

    // The newest detection frame's luma, and its handle given back.
    static std::vector<uint8_t> TakeLuma(MI_SYS_BufInfo_t* info = nullptr)
    {
        MI_SYS_BufInfo_t b{};
        MI_SYS_BUF_HANDLE h = 0;
        EXPECT_EQ(0, MI_SYS_ChnOutputPortGetBuf(&kDivp, &b, &h));
        const auto* y = static_cast<const uint8_t*>(b.frame.virAddr[0]);
        std::vector<uint8_t> luma(y, y + static_cast<size_t>(b.frame.stride[0]) * b.frame.height);
        if (info != nullptr) {
            *info = b;
        }
        EXPECT_EQ(0, MI_SYS_ChnOutputPortPutBuf(h));
        return luma;
    }

    TestSandbox mSandbox;
};

bool Readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

}  // namespace

TEST_F(MiSim, EncoderDescriptorIsStableAndReadableWhileFramesWait)
{
    BuildCapture();
    BuildEncoder(1);
    const MI_SYS_ChnPort_t venc{E_MI_MODULE_ID_VENC, 0, 1, 0};
    ASSERT_EQ(0, MI_SYS_BindChnPort2(&kVpe1, &venc, 25, 25, E_MI_SYS_BIND_TYPE_FRAME_BASE, 0));
    int fd = MI_VENC_GetFd(1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd, MI_VENC_GetFd(1));
    EXPECT_LT(MI_VENC_GetFd(0), 0) << "no channel 0";
    EXPECT_FALSE(Readable(fd));

    MiSimPump(2);
    EXPECT_TRUE(Readable(fd));
    MI_VENC_ChnStat_t stat{};
    ASSERT_EQ(0, MI_VENC_Query(1, &stat));
    EXPECT_EQ(1u, stat.curPacks);
    EXPECT_EQ(2u, stat.leftStreamFrames);

    MI_VENC_Pack_t packs[16] = {};
    MI_VENC_Stream_t stream{packs, 16, 0};
    ASSERT_EQ(0, MI_VENC_GetStream(1, &stream, 0));
    EXPECT_EQ(1u, stream.packCount);
    EXPECT_EQ(5u, packs[0].dataType) << "the first frame is a key frame";
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_VENC, E_MI_ERR_NOT_PERM), MI_VENC_GetStream(1, &stream, 0))
        << "release before the next";
    EXPECT_TRUE(Readable(fd)) << "a second frame waits";
    ASSERT_EQ(0, MI_VENC_ReleaseStream(1, &stream));
    stream.packCount = 16;
    ASSERT_EQ(0, MI_VENC_GetStream(1, &stream, 0));
    EXPECT_EQ(1u, packs[0].dataType);
    EXPECT_FALSE(Readable(fd)) << "nothing else waits";
    ASSERT_EQ(0, MI_VENC_ReleaseStream(1, &stream));
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_VENC, E_MI_ERR_NOT_PERM), MI_VENC_ReleaseStream(1, &stream));
    stream.packCount = 16;
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_VENC, E_MI_ERR_BUF_EMPTY), MI_VENC_GetStream(1, &stream, 5));

    ASSERT_EQ(0, MI_VENC_RequestIdr(1, 1));
    MiSimPump(1);
    stream.packCount = 16;
    ASSERT_EQ(0, MI_VENC_GetStream(1, &stream, 0));
    EXPECT_EQ(5u, packs[0].dataType);
    ASSERT_EQ(0, MI_VENC_ReleaseStream(1, &stream));

    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_VENC, E_MI_ERR_NOT_PERM), MI_VENC_DestroyChn(1)) << "still receiving";
    EXPECT_EQ(0, MI_VENC_StopRecvPic(1));
    EXPECT_EQ(0, MI_VENC_StopRecvPic(1)) << "a repeated stop succeeds";
}

// Bindings are checked as the hardware would: both ends must exist, a destination has one
// source, JPEG channels sit on their own encoder device.
TEST_F(MiSim, BindingsNeedBothEnds)
{
    BuildCapture();
    MI_U32 dev = 0;
    ASSERT_NO_FATAL_FAILURE(CreateJpegChn(2, &dev));
    const MI_S32 unexist = MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_UNEXIST);
    struct Row {
        MI_SYS_ChnPort_t src, dst;
        MI_U32 srcRate, dstRate, type;
        MI_S32 result;
    };
    const Row rows[] = {
        {kVpe1, {E_MI_MODULE_ID_VENC, 0, 2, 0}, 25, 10, 1, unexist},                 // wrong device
        {kVpe1, {E_MI_MODULE_ID_VENC, dev, 0, 0}, 25, 25, 1, unexist},               // no channel 0
        {{E_MI_MODULE_ID_VPE, 0, 0, 4}, {E_MI_MODULE_ID_VENC, dev, 2, 0}, 25, 10, 1, unexist},  // no port 4
        {kVpe1, {E_MI_MODULE_ID_VENC, dev, 2, 0}, 0, 10, 1, MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_ILLEGAL_PARAM)},
        {kVpe1, {E_MI_MODULE_ID_VENC, dev, 2, 0}, 25, 10, 3, MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_ILLEGAL_PARAM)},
        {kVpe1, {E_MI_MODULE_ID_VENC, dev, 2, 0}, 25, 10, 1, 0},
        {kVif, {E_MI_MODULE_ID_VENC, dev, 2, 0}, 25, 10, 1, MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_EXIST)},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(r.result, MI_SYS_BindChnPort2(&r.src, &r.dst, r.srcRate, r.dstRate, r.type, 0));
    }
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_VENC, E_MI_ERR_NOT_PERM), MI_VENC_DestroyChn(2)) << "still bound";
    const MI_SYS_ChnPort_t jpeg{E_MI_MODULE_ID_VENC, dev, 2, 0};
    EXPECT_EQ(0, MI_SYS_UnBindChnPort(&kVpe1, &jpeg));
    EXPECT_EQ(unexist, MI_SYS_UnBindChnPort(&kVpe1, &jpeg));
    EXPECT_EQ(0, MI_VENC_DestroyChn(2));
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_VPE, E_MI_ERR_NOT_PERM), MI_VPE_DestroyChannel(0)) << "started and bound";
}

// The detection copy: NV12 480x288, the newest two frames kept for the user, the visitor and
// the door visible in it.
TEST_F(MiSim, DetectionFramesShowTheSceneOfTheSelectedDoor)
{
    BuildCapture();
    MI_SYS_BufInfo_t info{};
    MI_SYS_BUF_HANDLE h = 0;
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_BUF_EMPTY), MI_SYS_ChnOutputPortGetBuf(&kDivp, &info, &h));
    MiSimPump(3);
    std::vector<uint8_t> a = TakeLuma(&info);
    EXPECT_EQ(480, info.frame.width);
    EXPECT_EQ(288, info.frame.height);
    EXPECT_EQ(static_cast<MI_U32>(E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420), info.frame.pixelFormat);
    EXPECT_EQ(2u * 40000, info.pts) << "the older of the newest two: the third frame went, the first was dropped";
    TakeLuma();
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_BUF_EMPTY), MI_SYS_ChnOutputPortGetBuf(&kDivp, &info, &h));

    // Only the frame counter changes in an empty scene; a visitor changes much more.
    MiSimPump(1);
    std::vector<uint8_t> b = TakeLuma();
    MiSimSetVisitor(true);
    MiSimPump(1);
    std::vector<uint8_t> c = TakeLuma();
    auto changed = [](const std::vector<uint8_t>& x, const std::vector<uint8_t>& y) {
        size_t n = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            n += std::abs(x[i] - y[i]) > 20;
        }
        return n;
    };
    EXPECT_LT(changed(a, b), 2000u);
    EXPECT_GT(changed(b, c), 5000u);

    // The other door: its camera is routed when the 74HC595's video bit is 0.
    auto chroma = [&] {
        MI_SYS_BufInfo_t i{};
        MI_SYS_BUF_HANDLE hh = 0;
        EXPECT_EQ(0, MI_SYS_ChnOutputPortGetBuf(&kDivp, &i, &hh));
        const auto* uv = static_cast<const uint8_t*>(i.frame.virAddr[1]);
        int u = uv[0];  // top left corner: background
        MI_SYS_ChnOutputPortPutBuf(hh);
        return u;
    };
    MiSimPump(1);
    int door0U = chroma();
    int fd = BoardDevOpen("/dev/74HC595", O_RDWR);
    ASSERT_GE(fd, 0);
    uint8_t lines[3] = {47, 45, 44};
    ASSERT_EQ(0, BoardDevIoctl(fd, kHc595IoctlSetup, lines));
    uint8_t image = 0;  // video bit 0: door 1
    ASSERT_EQ(0, BoardDevIoctl(fd, kHc595IoctlWrite, &image));
    BoardDevClose(fd);
    EXPECT_EQ(1, MiSimCameraDoor());
    MiSimPump(1);
    EXPECT_GT(chroma(), door0U + 20);
}

// A region on a scaler port is drawn into every frame that leaves the port, from the update of its
// canvas on; the attachment exists before the scaler and outlives its rebuild.
TEST_F(MiSim, RegionsShowInTheFramesAndGoWithTheScaler)
{
    MI_RGN_PaletteTable_t palette{};
    ASSERT_EQ(0, MI_RGN_Init(&palette));
    MI_RGN_Attr_t attr{E_MI_RGN_TYPE_OSD, E_MI_RGN_PIXEL_FORMAT_ARGB4444, {64, 32}};
    ASSERT_EQ(0, MI_RGN_Create(5, &attr));
    MI_RGN_ChnPortParam_t at{1, 0, 0, 100};
    ASSERT_EQ(0, MI_RGN_AttachToChn(5, &kVpe1, &at)) << "before the scaler exists";
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_RGN, E_MI_ERR_EXIST), MI_RGN_AttachToChn(5, &kVpe1, &at));
    BuildCapture();

    MI_RGN_CanvasInfo_t canvas{};
    ASSERT_EQ(0, MI_RGN_GetCanvasInfo(5, &canvas));
    ASSERT_EQ(128u, canvas.stride);
    auto* px = static_cast<uint16_t*>(canvas.virtAddr);
    for (int i = 0; i < 64 * 32; ++i) {
        px[i] = 0xF000;  // opaque black
    }
    MiSimPump(1);
    // Detection frames are 480/640 of the port: the region covers their top left 48x24.
    EXPECT_GT(TakeLuma()[10 * 480 + 10], 100) << "not shown before the update";
    ASSERT_EQ(0, MI_RGN_UpdateCanvas(5));
    MiSimPump(1);
    EXPECT_LT(TakeLuma()[10 * 480 + 10], 30);

    // Destroying the scaler channel takes its attachments away, as on the SoC; attached again,
    // the region shows on the rebuilt ports.
    TearDownScaler();
    EXPECT_EQ(std::string::npos, MiSimDumpGraph().find("region 5"));
    BuildScaler(1280, 720);
    MiSimPump(1);
    EXPECT_GT(TakeLuma()[10 * 480 + 10], 100) << "still attached after the rebuild";
    ASSERT_EQ(0, MI_RGN_AttachToChn(5, &kVpe1, &at));
    MiSimPump(1);
    std::vector<uint8_t> y = TakeLuma();
    EXPECT_LT(y[10 * 480 + 10], 30);
    EXPECT_GT(y[100 * 480 + 100], 100);

    ASSERT_EQ(0, MI_RGN_Destroy(5));
    EXPECT_EQ(std::string::npos, MiSimDumpGraph().find("region"));
}

// The regions on a scaler port as the picture encoded from it shows them: each of the unit's
// canvas formats (ARGB4444, ARGB1555, and I4 through the palette) blended at its attached place
// with its alpha, nothing of a hidden one, and a detached one gone from the next picture.
TEST_F(MiSim, RegionsShowInTheEncodedPictureAtTheirPlace)
{
    MI_RGN_PaletteTable_t palette{};
    palette.element[3] = MI_RGN_PaletteElement_t{255, 255, 255, 255};  // opaque white
    palette.element[7] = MI_RGN_PaletteElement_t{255, 0, 0, 0};        // opaque black
    ASSERT_EQ(0, MI_RGN_Init(&palette));
    BuildCapture();
    MI_U32 dev = 0;
    ASSERT_NO_FATAL_FAILURE(CreateJpegChn(2, &dev));
    const MI_SYS_ChnPort_t jpeg{E_MI_MODULE_ID_VENC, dev, 2, 0};
    ASSERT_EQ(0, MI_SYS_BindChnPort2(&kVpe1, &jpeg, 25, 25, E_MI_SYS_BIND_TYPE_FRAME_BASE, 0));
    ASSERT_EQ(0, MI_VENC_StartRecvPic(2));
    // The newest picture the channel encoded, decoded by FFmpeg.
    auto picture = [] {
        MiSimPump(1);
        DecodedPicture pic;
        TestDecoder dec(AV_CODEC_ID_MJPEG);
        MI_VENC_Pack_t packs[4] = {};
        MI_VENC_Stream_t stream{packs, 4, 0};
        while (MI_VENC_GetStream(2, &stream, 0) == 0) {
            EXPECT_TRUE(dec.Decode(packs[0].data, packs[0].len, &pic));
            EXPECT_EQ(0, MI_VENC_ReleaseStream(2, &stream));
            stream.packCount = 4;
        }
        return pic;
    };
    // Mean luma of a rectangle, 3 pixels in from its edges (JPEG blurs the borders).
    auto mean = [](const DecodedPicture& p, int x, int y, int w, int h) {
        double sum = 0;
        for (int r = y + 3; r < y + h - 3; ++r) {
            for (int c = x + 3; c < x + w - 3; ++c) {
                sum += p.y[static_cast<size_t>(r) * p.width + c];
            }
        }
        return sum / ((w - 6) * (h - 6));
    };
    const DecodedPicture bare = picture();
    ASSERT_EQ(640, bare.width);

    // Canvases 48x32: thirds of opaque black, opaque white and half-transparent black (ARGB4444);
    // black over a transparent half (ARGB1555); palette white and black (I4); and an opaque black
    // one attached hidden.
    struct Canvas {
        MI_RGN_HANDLE handle;
        MI_U32 fmt;
        MI_U16 x;
        MI_BOOL show;
    };
    const Canvas canvases[] = {{1, E_MI_RGN_PIXEL_FORMAT_ARGB4444, 64, 1},
                               {2, E_MI_RGN_PIXEL_FORMAT_ARGB1555, 160, 1},
                               {3, E_MI_RGN_PIXEL_FORMAT_I4, 256, 1},
                               {4, E_MI_RGN_PIXEL_FORMAT_ARGB4444, 352, 0}};
    for (const Canvas& c : canvases) {
        MI_RGN_Attr_t attr{E_MI_RGN_TYPE_OSD, c.fmt, {48, 32}};
        ASSERT_EQ(0, MI_RGN_Create(c.handle, &attr));
        MI_RGN_CanvasInfo_t info{};
        ASSERT_EQ(0, MI_RGN_GetCanvasInfo(c.handle, &info));
        auto* px = static_cast<uint8_t*>(info.virtAddr);
        for (MI_U32 y = 0; y < 32; ++y) {
            for (MI_U32 x = 0; x < 48; ++x) {
                uint8_t* line = px + static_cast<size_t>(y) * info.stride;
                uint16_t v = 0;
                if (c.handle == 1) {
                    v = x < 16 ? 0xF000 : x < 32 ? 0xFFFF : 0x8000;
                } else if (c.handle == 2) {
                    v = y < 16 ? 0x8000 : 0x7FFF;
                } else if (c.handle == 3) {
                    const uint8_t index = x < 16 ? 3 : x < 32 ? 7 : 0;
                    line[x / 2] = static_cast<uint8_t>((x & 1) ? (line[x / 2] & 0x0F) | (index << 4)
                                                               : (line[x / 2] & 0xF0) | index);
                    continue;
                } else {
                    v = 0xF000;
                }
                line[2 * x] = static_cast<uint8_t>(v & 0xFF);
                line[2 * x + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
        ASSERT_EQ(0, MI_RGN_UpdateCanvas(c.handle));
        MI_RGN_ChnPortParam_t at{c.show, c.x, 48, 10};
        ASSERT_EQ(0, MI_RGN_AttachToChn(c.handle, &kVpe1, &at));
    }
    const DecodedPicture pic = picture();
    ASSERT_EQ(640, pic.width);
    for (int x : {64, 80, 112, 160, 256, 272, 288, 352, 368}) {
        const double under = mean(bare, x, 48, 16, 32);
        ASSERT_GT(under, 50.0) << "the scene at " << x << " is neither black nor white";
        ASSERT_LT(under, 190.0) << "the scene at " << x << " is neither black nor white";
    }
    EXPECT_LT(mean(pic, 64, 48, 16, 32), 30.0) << "opaque black (ARGB4444)";
    EXPECT_GT(mean(pic, 80, 48, 16, 32), 220.0) << "opaque white (ARGB4444)";
    const double half = mean(pic, 96, 48, 16, 32);
    const double halfUnder = mean(bare, 96, 48, 16, 32);
    EXPECT_NEAR((halfUnder + 16) / 2, half, 12.0) << "half-transparent black (ARGB4444) " << halfUnder;
    EXPECT_LT(mean(pic, 160, 48, 32, 16), 30.0) << "opaque black (ARGB1555)";
    EXPECT_NEAR(mean(bare, 160, 64, 32, 16), mean(pic, 160, 64, 32, 16), 6.0) << "transparent (ARGB1555)";
    EXPECT_GT(mean(pic, 256, 48, 16, 32), 220.0) << "palette white (I4)";
    EXPECT_LT(mean(pic, 272, 48, 16, 32), 30.0) << "palette black (I4)";
    EXPECT_NEAR(mean(bare, 288, 48, 16, 32), mean(pic, 288, 48, 16, 32), 6.0) << "palette index 0 (I4)";
    EXPECT_NEAR(mean(bare, 352, 48, 48, 32), mean(pic, 352, 48, 48, 32), 6.0) << "hidden";
    EXPECT_NEAR(mean(bare, 400, 100, 64, 64), mean(pic, 400, 100, 64, 64), 6.0) << "away from the regions";

    // Region 1 detached and region 4 attached again shown: the next picture has them swapped.
    ASSERT_EQ(0, MI_RGN_DetachFromChn(1, &kVpe1));
    ASSERT_EQ(0, MI_RGN_DetachFromChn(4, &kVpe1));
    MI_RGN_ChnPortParam_t shown{1, 352, 48, 10};
    ASSERT_EQ(0, MI_RGN_AttachToChn(4, &kVpe1, &shown));
    const DecodedPicture after = picture();
    EXPECT_NEAR(mean(bare, 64, 48, 48, 32), mean(after, 64, 48, 48, 32), 6.0) << "detached";
    EXPECT_LT(mean(after, 352, 48, 48, 32), 30.0) << "shown";
    EXPECT_LT(mean(after, 272, 48, 16, 32), 30.0) << "the others stay";

    ASSERT_EQ(0, MI_SYS_UnBindChnPort(&kVpe1, &jpeg));
    ASSERT_EQ(0, MI_VENC_StopRecvPic(2));
    ASSERT_EQ(0, MI_VENC_DestroyChn(2));
}

// Rows: the two 8x8 blocks of a 16x8 picture pair differ by the given amount per pixel in the
// second block; SAD image and threshold image as the engine gives them.
TEST_F(MiSim, BlockDifferencesAndThreshold)
{
    ASSERT_EQ(0, MI_IVE_Create(3));
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_IVE, E_MI_ERR_EXIST), MI_IVE_Create(3));
    struct Row {
        int diff;
        uint16_t thr;
        uint16_t sad;
        uint8_t marked;
    };
    const Row rows[] = {{0, 2880, 0, 0}, {44, 2880, 2816, 0}, {45, 2880, 2880, 255}, {120, 8160, 7680, 0}, {128, 8160, 8192, 255}};
    for (const Row& r : rows) {
        std::vector<uint8_t> a(16 * 8, 100), b(16 * 8, 100), sad(2 * 2, 0xEE), thr(2, 0xEE);
        for (int y = 0; y < 8; ++y) {
            for (int x = 8; x < 16; ++x) {
                b[y * 16 + x] = static_cast<uint8_t>(100 + r.diff);
            }
        }
        MI_IVE_Image_t ia{E_MI_IVE_IMAGE_TYPE_U8C1, {}, {a.data()}, {16}, 16, 8};
        MI_IVE_Image_t ib{E_MI_IVE_IMAGE_TYPE_U8C1, {}, {b.data()}, {16}, 16, 8};
        MI_IVE_Image_t is{E_MI_IVE_IMAGE_TYPE_U16C1, {}, {sad.data()}, {2}, 2, 1};
        MI_IVE_Image_t it{E_MI_IVE_IMAGE_TYPE_U8C1, {}, {thr.data()}, {2}, 2, 1};
        MI_IVE_SadCtrl_t ctrl{E_MI_IVE_SAD_MODE_MB_8X8, E_MI_IVE_SAD_OUT_CTRL_16BIT_BOTH, r.thr, 0, 255};
        ASSERT_EQ(0, MI_IVE_Sad(3, &ia, &ib, &is, &it, &ctrl, 0));
        EXPECT_EQ(0, sad[0] | sad[1]);
        EXPECT_EQ(r.sad, sad[2] | (sad[3] << 8)) << r.diff;
        EXPECT_EQ(0, thr[0]);
        EXPECT_EQ(r.marked, thr[1]) << r.diff;
    }
    // An output image too small for the blocks is refused.
    std::vector<uint8_t> a(16 * 8), t(1);
    MI_IVE_Image_t ia{E_MI_IVE_IMAGE_TYPE_U8C1, {}, {a.data()}, {16}, 16, 8};
    MI_IVE_Image_t it{E_MI_IVE_IMAGE_TYPE_U8C1, {}, {t.data()}, {1}, 1, 1};
    MI_IVE_SadCtrl_t ctrl{E_MI_IVE_SAD_MODE_MB_8X8, E_MI_IVE_SAD_OUT_CTRL_THRESH, 100, 0, 255};
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_IVE, E_MI_ERR_ILLEGAL_PARAM), MI_IVE_Sad(3, &ia, &ia, nullptr, &it, &ctrl, 0));
    EXPECT_EQ(0, MI_IVE_Destroy(3));
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_IVE, E_MI_ERR_UNEXIST), MI_IVE_Sad(3, &ia, &ia, nullptr, &it, &ctrl, 0));
}

// Colour conversion on images in media memory, addressed by physical address only.
TEST_F(MiSim, ColourConversionInMediaMemory)
{
    ASSERT_EQ(0, MI_IVE_Create(2));
    const MI_U32 w = 4, h = 2;
    MI_PHY src = 0, dst = 0;
    ASSERT_EQ(0, MI_SYS_MMA_Alloc("mma_heap_name0", w * h * 3 / 2, &src));
    ASSERT_EQ(0, MI_SYS_MMA_Alloc("mma_heap_name0", w * h * 3, &dst));
    void* sv = nullptr;
    ASSERT_EQ(0, MI_SYS_Mmap(src, w * h * 3 / 2, &sv, 0));
    auto* s = static_cast<uint8_t*>(sv);
    const uint8_t yuv[4][3] = {{235, 128, 128}, {16, 128, 128}, {81, 90, 240}, {145, 54, 34}};  // white, black, red, green
    for (int x = 0; x < 4; ++x) {
        s[x] = s[w + x] = yuv[x][0];
    }
    for (int p = 0; p < 2; ++p) {
        s[w * h + 2 * p] = yuv[2 * p][1];
        s[w * h + 2 * p + 1] = yuv[2 * p][2];
    }
    // Chroma is shared by pixel pairs: pairs (white, black) and (red, green) get one sample each.
    MI_IVE_Image_t in{E_MI_IVE_IMAGE_TYPE_YUV420SP, {src, src + w * h}, {}, {w, w}, w, h};
    MI_IVE_Image_t out{E_MI_IVE_IMAGE_TYPE_U8C3_PACKAGE, {dst}, {}, {w}, w, h};
    MI_IVE_CscCtrl_t ctrl{E_MI_IVE_CSC_MODE_VIDEO_BT601_YUV2RGB};
    ASSERT_EQ(0, MI_IVE_Csc(2, &in, &out, &ctrl, 1));
    void* dv = nullptr;
    ASSERT_EQ(0, MI_SYS_Mmap(dst, w * h * 3, &dv, 0));
    auto* d = static_cast<uint8_t*>(dv);
    EXPECT_EQ((std::vector<uint8_t>{255, 255, 255, 0, 0, 0}), std::vector<uint8_t>(d, d + 6));
    EXPECT_GT(d[6], 240);  // red
    EXPECT_LT(d[7], 20);
    EXPECT_LT(d[8], 20);
    EXPECT_GT(d[9] + d[10] + d[11], d[6] + d[7] + d[8]) << "the brighter pixel of the pair stays brighter";
    ASSERT_EQ(0, MI_SYS_Munmap(sv, w * h * 3 / 2));
    ASSERT_EQ(0, MI_SYS_Munmap(dv, w * h * 3));
    EXPECT_EQ(0, MI_SYS_MMA_Free(src));
    EXPECT_EQ(0, MI_SYS_MMA_Free(dst));
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_ILLEGAL_PARAM), MI_SYS_MMA_Free(dst));
    // An image whose planes would run past their block is refused, not read.
    MI_PHY small = 0;
    ASSERT_EQ(0, MI_SYS_MMA_Alloc("mma_heap_name0", 8, &small));
    std::vector<uint8_t> rgbOut(4 * 4 * 3);
    MI_IVE_Image_t over{E_MI_IVE_IMAGE_TYPE_YUV420SP, {small, small + 4}, {}, {4, 4}, 4, 4};
    MI_IVE_Image_t rgb{E_MI_IVE_IMAGE_TYPE_U8C3_PACKAGE, {}, {rgbOut.data()}, {4}, 4, 4};
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_IVE, E_MI_ERR_ILLEGAL_PARAM), MI_IVE_Csc(2, &over, &rgb, &ctrl, 1));
}

// The blocks of media memory taken and not given back, and a failure of a later call.
TEST_F(MiSim, MediaMemoryBlocksAndALaterCallFailing)
{
    const MI_S32 nomem = MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_NOMEM);
    MiSimFailCall("MI_SYS_MMA_Alloc", nomem, 1, 2);  // the third call fails, once
    MI_PHY p[4] = {};
    EXPECT_EQ(0, MI_SYS_MMA_Alloc("mma_heap_name0", 64, &p[0]));
    EXPECT_EQ(0, MI_SYS_MMA_Alloc("mma_heap_name0", 64, &p[1]));
    EXPECT_EQ(nomem, MI_SYS_MMA_Alloc("mma_heap_name0", 64, &p[2]));
    EXPECT_EQ(0, MI_SYS_MMA_Alloc("mma_heap_name0", 64, &p[3]));
    EXPECT_EQ(3, MiSimMmaBlocks());
    BuildCapture();
    MiSimPump(2);
    EXPECT_EQ(3, MiSimMmaBlocks()) << "frames of the graph are not counted";
    for (MI_PHY phy : {p[0], p[1], p[3]}) {
        EXPECT_EQ(0, MI_SYS_MMA_Free(phy));
    }
    EXPECT_EQ(0, MiSimMmaBlocks());
}

// A camera file replaced while the camera runs plays from its first frame; removed, the scene
// comes back.
TEST_F(MiSim, CameraFileReplacedOrRemoved)
{
    BuildCapture(640, 360);
    const std::string path = mSandbox.Path("/.board/camera_door0.yuv");
    auto write = [&](std::initializer_list<uint8_t> lumas) {
        std::string frames;
        for (uint8_t y : lumas) {
            frames += std::string(640 * 360, static_cast<char>(y)) + std::string(640 * 360 / 2, '\x80');
        }
        mSandbox.Write("/.board/camera.tmp", frames);
        ASSERT_EQ(0, rename(mSandbox.Path("/.board/camera.tmp").c_str(), path.c_str()));
    };
    auto centre = [&] {
        MiSimPump(1);
        return TakeLuma()[144 * 480 + 240];
    };
    write({60, 70, 80});
    EXPECT_NEAR(60, centre(), 2);
    EXPECT_NEAR(70, centre(), 2);
    write({150, 160});
    EXPECT_NEAR(150, centre(), 2) << "the new file from its first frame";
    EXPECT_NEAR(160, centre(), 2);
    EXPECT_NEAR(150, centre(), 2) << "looped";
    ASSERT_EQ(0, remove(path.c_str()));
    const int scene = centre();
    EXPECT_GT(std::abs(scene - 150), 10);
    EXPECT_GT(std::abs(scene - 160), 10);
}

// A scaler port with a user depth: its newest picture, as NV12, handed out once; the same picture
// as the detection copy scaled from it. Without a user depth the port keeps nothing for a user.
TEST_F(MiSim, AScalerPortWithAUserDepthHandsOutItsNewestPictureOnce)
{
    BuildCapture();
    MI_SYS_BufInfo_t info{};
    MI_SYS_BUF_HANDLE h = 0;
    MiSimPump(1);
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_NOT_PERM), MI_SYS_ChnOutputPortGetBuf(&kVpe1, &info, &h));
    ASSERT_EQ(0, MI_SYS_SetChnOutputPortDepth(&kVpe1, 1, 5));
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_BUF_EMPTY), MI_SYS_ChnOutputPortGetBuf(&kVpe1, &info, &h))
        << "nothing made since";
    MiSimSetVisitor(true);
    MiSimPump(2);
    ASSERT_EQ(0, MI_SYS_ChnOutputPortGetBuf(&kVpe1, &info, &h));
    EXPECT_EQ(640, info.frame.width);
    EXPECT_EQ(360, info.frame.height);
    EXPECT_EQ(static_cast<MI_U32>(E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420), info.frame.pixelFormat);
    EXPECT_EQ(3u * 40000, info.pts) << "the newest";
    const auto* y = static_cast<const uint8_t*>(info.frame.virAddr[0]);
    const std::vector<uint8_t> sub(y, y + 640 * 360);
    const auto* uv = static_cast<const uint8_t*>(info.frame.virAddr[1]);
    EXPECT_EQ(uv, y + static_cast<size_t>(info.frame.stride[0]) * 384) << "chroma after the 32-line aligned luma";
    MI_SYS_BUF_HANDLE again = 0;
    EXPECT_EQ(MiErrCode(E_MI_MODULE_ID_SYS, E_MI_ERR_BUF_EMPTY), MI_SYS_ChnOutputPortGetBuf(&kVpe1, &info, &again))
        << "handed out once";
    EXPECT_EQ(0, MI_SYS_ChnOutputPortPutBuf(h));
    // The detection copy of the same period, 480x288 from it: luma agrees at a sample of points.
    MI_SYS_BufInfo_t det{};
    TakeLuma();
    std::vector<uint8_t> small = TakeLuma(&det);
    ASSERT_EQ(3u * 40000, det.pts);
    int far = 0;
    for (int r = 10; r < 288; r += 37) {
        for (int c = 10; c < 480; c += 41) {
            far += std::abs(small[static_cast<size_t>(r) * det.frame.stride[0] + c] - sub[(r * 360 / 288) * 640 + c * 4 / 3]) > 40;
        }
    }
    EXPECT_LT(far, 6);
}

// The simulation counts what it holds beside the unit, so a benchmark of the unit's process can
// take it out: every picture buffer of the graph, and the encoder's working memory.
TEST_F(MiSim, PicturesAndEncodersAreCountedAndPublished)
{
    const MI_SIM_MEMORY_S base = MiSimMemory();
    BuildCapture(1280, 720);
    MiSimPump(1);
    const MI_SIM_MEMORY_S graph = MiSimMemory();
    // At least the signal, the capture, scaler port 1 (640x360) and one detection copy (480x288),
    // each at its height rounded up to 32 lines.
    const int64_t least = 2 * 1280 * 736 * 3 / 2 + 640 * 384 * 3 / 2 + 480 * 288 * 3 / 2;
    EXPECT_GE(graph.frames - base.frames, least);
    EXPECT_LT(graph.frames - base.frames, 2 * least) << "a picture counted twice";

    BuildEncoder(1);
    const MI_SYS_ChnPort_t venc{E_MI_MODULE_ID_VENC, 0, 1, 0};
    ASSERT_EQ(0, MI_SYS_BindChnPort2(&kVpe1, &venc, 25, 25, E_MI_SYS_BIND_TYPE_FRAME_BASE, 0));
    MiSimPump(49);  // the 50th period of the clock publishes
    const MI_SIM_MEMORY_S coded = MiSimMemory();
    // x264 at 640x360 keeps a few pictures of its own (references, look-ahead, the input).
    EXPECT_GE(coded.codecs - graph.codecs, 4 * 640 * 360 * 3 / 2);
    char text[96];
    std::snprintf(text, sizeof(text), "frames %lld\ncodecs %lld\n", static_cast<long long>(coded.frames),
                  static_cast<long long>(coded.codecs));
    EXPECT_EQ(text, mSandbox.Read("/.board/media_memory"));

    // The encoder's memory leaves the count with it.
    ASSERT_EQ(0, MI_SYS_UnBindChnPort(&kVpe1, &venc));
    ASSERT_EQ(0, MI_VENC_StopRecvPic(1));
    ASSERT_EQ(0, MI_VENC_DestroyChn(1));
    EXPECT_EQ(graph.codecs, MiSimMemory().codecs);
}
