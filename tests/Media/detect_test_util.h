// Shared by the detection suites and benchmarks: detection frames made by hand (NV12 in buffers
// of exactly their size, so a read past a frame is caught by the sanitizer), and the simulated
// board's capture chain that makes them from the door camera (VIF, scaler port 1, DIVP).
#pragma once

#include "platform/mi/mi_divp.h"
#include "platform/mi/mi_sensor.h"
#include "platform/mi/mi_sim.h"
#include "platform/mi/mi_sys.h"
#include "platform/mi/mi_vif.h"
#include "platform/mi/mi_vpe.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// An NV12 picture: a textured background (no two neighbouring blocks alike), chroma 128.
struct TestFrame {
    int w;
    int h;
    std::vector<uint8_t> data;

    TestFrame(int width, int height) : w(width), h(height), data(static_cast<size_t>(width) * height * 3 / 2, 128)
    {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                Y(x, y) = static_cast<uint8_t>(40 + (x * 7 + y * 13) % 97);
            }
        }
    }
    uint8_t& Y(int x, int y) { return data[static_cast<size_t>(y) * w + x]; }
    uint8_t& U(int x, int y) { return data[static_cast<size_t>(w) * h + static_cast<size_t>(y / 2) * w + (x & ~1)]; }
    void Fill(int x0, int y0, int width, int height, uint8_t luma)
    {
        for (int y = y0; y < y0 + height; ++y) {
            for (int x = x0; x < x0 + width; ++x) {
                Y(x, y) = luma;
            }
        }
    }
    // Adds `delta` to the luma of the rectangle (clamped to 0..255).
    void Change(int x0, int y0, int width, int height, int delta)
    {
        for (int y = y0; y < y0 + height; ++y) {
            for (int x = x0; x < x0 + width; ++x) {
                Y(x, y) = static_cast<uint8_t>(std::min(255, std::max(0, Y(x, y) + delta)));
            }
        }
    }
    // As the detection port hands a frame over (no physical address: the engine reads it by its
    // virtual one).
    MI_SYS_BufInfo_t Info()
    {
        MI_SYS_BufInfo_t b{};
        b.frame.width = static_cast<MI_U16>(w);
        b.frame.height = static_cast<MI_U16>(h);
        b.frame.pixelFormat = E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420;
        b.frame.virAddr[0] = data.data();
        b.frame.virAddr[1] = data.data() + static_cast<size_t>(w) * h;
        b.frame.stride[0] = b.frame.stride[1] = static_cast<MI_U32>(w);
        b.frame.bufSize = static_cast<MI_U32>(data.size());
        return b;
    }
};

inline const MI_SYS_ChnPort_t kTestVif{E_MI_MODULE_ID_VIF, 0, 0, 0};
inline const MI_SYS_ChnPort_t kTestVpe{E_MI_MODULE_ID_VPE, 0, 0, 0};
inline const MI_SYS_ChnPort_t kTestVpe1{E_MI_MODULE_ID_VPE, 0, 0, 1};
inline const MI_SYS_ChnPort_t kTestDivp{E_MI_MODULE_ID_DIVP, 0, 0, 0};

// Capture at the camera's size, scaler port 1 at 640x360 and the detection copy (480x288 NV12,
// two frames kept for the user), as the unit builds them, without the encoders. 0 or the first
// failing call's code.
inline MI_S32 BuildDetectChain(MI_U16 w, MI_U16 h)
{
    MiSimSetSignal(w, h);
    MI_S32 rc = MI_SNR_Enable(0);
    MI_VIF_DevAttr_t dev{};
    rc = rc ? rc : MI_VIF_SetDevAttr(0, &dev);
    rc = rc ? rc : MI_VIF_EnableDev(0);
    MI_VIF_ChnPortAttr_t port{};
    port.capRect = {0, 0, w, h};
    port.destSize = {w, h};
    rc = rc ? rc : MI_VIF_SetChnPortAttr(0, 0, &port);
    rc = rc ? rc : MI_VIF_EnableChnPort(0, 0);
    MI_VPE_ChannelAttr_t chn{};
    chn.maxWidth = w;
    chn.maxHeight = h;
    chn.pixFormat = E_MI_SYS_PIXEL_FRAME_YUV_MST_420;
    rc = rc ? rc : MI_VPE_CreateChannel(0, &chn);
    rc = rc ? rc : MI_VPE_StartChannel(0);
    rc = rc ? rc : MI_SYS_BindChnPort2(&kTestVif, &kTestVpe, 25, 25, E_MI_SYS_BIND_TYPE_REALTIME, 0);
    MI_VPE_PortMode_t mode{640, 360, E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420, 0};
    rc = rc ? rc : MI_VPE_SetPortMode(0, 1, &mode);
    rc = rc ? rc : MI_VPE_EnablePort(0, 1);
    MI_DIVP_ChnAttr_t d{};
    d.maxWidth = 640;
    d.maxHeight = 360;
    d.cropRect = {0, 0, 640, 360};
    rc = rc ? rc : MI_DIVP_CreateChn(0, &d);
    MI_DIVP_OutputPortAttr_t out{480, 288, E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420, 0};
    rc = rc ? rc : MI_DIVP_SetOutputPortAttr(0, &out);
    rc = rc ? rc : MI_SYS_SetChnOutputPortDepth(&kTestDivp, 2, 5);
    rc = rc ? rc : MI_SYS_BindChnPort2(&kTestVpe1, &kTestDivp, 25, 25, E_MI_SYS_BIND_TYPE_FRAME_BASE, 0);
    return rc ? rc : MI_DIVP_StartChn(0);
}

// One capture period, and the detection frame it made (give it back with PutBuf).
inline MI_S32 CaptureDetectFrame(MI_SYS_BufInfo_t* info, MI_SYS_BUF_HANDLE* handle)
{
    MiSimPump(1);
    return MI_SYS_ChnOutputPortGetBuf(&kTestDivp, info, handle);
}
