// Thin wrappers over the SoC's media calls used by the video pipeline set-up: each fills the MI
// record from a small record of its caller, makes the MI calls in a fixed order and returns the
// first non-zero MI result (0 on success). Calls marked "ignored" below do not stop a wrapper.
// Nothing here keeps state.
#pragma once

#include "platform/mi/mi_sys.h"
#include "platform/mi/mi_venc.h"
#include "platform/mi/mi_vif.h"
#include "platform/mi/mi_vpe.h"

#include <cstdint>

// A binding between two channel ports; the unbind uses the two ports only.
struct MI_BIND_INFO_S {
    MI_SYS_ChnPort_t Src;
    MI_SYS_ChnPort_t Dst;
    uint32_t SrcFrameRate;
    uint32_t DstFrameRate;
    uint32_t BindType;  // E_MI_SYS_BIND_TYPE_*
    uint32_t BindParam;
};

// Output of a VPE port.
struct VPE_PORT_INFO_S {
    uint32_t VpeChannel;
    uint16_t Width;
    uint16_t Height;
    uint32_t PixelFormat;
    uint32_t CompressMode;  // 0
};

// A VPE channel: its largest input, two parameter values and the words passed through to the
// channel attributes (the input pixel format among them).
struct VPE_CHANNEL_INFO_S {
    uint16_t MaxWidth;
    uint16_t MaxHeight;
    uint16_t HdrType;
    uint16_t NrLevel;
    uint32_t PixelFormat;
    uint32_t HdrMode;
    uint32_t SensorBindId;
    uint32_t IspInput;
    uint8_t RunningMode;
};

// The capture window of a VIF port and its output size.
struct VIF_PORT_INFO_S {
    uint32_t CaptureX;
    uint32_t CaptureY;
    uint32_t CaptureWidth;
    uint32_t CaptureHeight;
    uint32_t DestWidth;
    uint32_t DestHeight;
    uint32_t FrameLineCount;  // passed as a boolean
    uint32_t ScanMode;
    uint32_t PixelFormat;
};

// What the sensor pad reports about its bus (all zero for the decoder on this board): word 1 the
// interface mode, words 4 to 9 the BT.656 sync description, word 5 also the MIPI data order,
// word 10 the clock edge.
struct SENSOR_PAD_INFO_S {
    uint32_t Word[11];
};

int MiSysBind(const MI_BIND_INFO_S* bind);
int MiSysUnbind(const MI_BIND_INFO_S* bind);

// Creates the channel; a JPEG channel then gets the quality factor of its rate control (60 when
// that is 0). Null attributes: -1.
int MiVencCreate(uint32_t chn, const MI_VENC_ChnAttr_t* attr);
int MiVencDestroy(uint32_t chn);
int MiVencStart(uint32_t chn);
int MiVencStop(uint32_t chn);

int MiVpeCreateChannel(uint32_t chn, const VPE_CHANNEL_INFO_S* info);
int MiVpeStartChannel(uint32_t chn);
int MiVpeStopChannel(uint32_t chn);
int MiVpeDestroyChannel(uint32_t chn);
// Port mode, output depth (user 1, buffer 5) and enable.
int MiVpeSetupPort(uint32_t port, const VPE_PORT_INFO_S* info);
int MiVpeDisablePort(uint32_t chn, uint32_t port);

int MiVifSetupDev(uint32_t dev, uint32_t workMode, uint32_t hdrType, const SENSOR_PAD_INFO_S* pad);
int MiVifDisableDev(uint32_t dev);
int MiVifSetupPort(uint32_t chn, uint32_t port, const VIF_PORT_INFO_S* info);
// Output depth (user 0, buffer 6; ignored), then enable.
int MiVifEnablePort(uint32_t dev, uint32_t chn, uint32_t port);
int MiVifDisablePort(uint32_t chn, uint32_t port);

// The media system up with its clock set: MI_SYS_Init, the version, the current time stamp, then
// the time-stamp base and a synchronisation to fixed values (kMiPtsBase, kMiPtsSync). The first
// non-zero result, else 0.
constexpr uint64_t kMiPtsBase = 0;
constexpr uint64_t kMiPtsSync = 1000000;  // microseconds: the media clock reads 1 s once synced
int MiSysInitPts();
int MiSysExit();
// Milliseconds between frames at the rate; -1 for a rate of 0.
int FrameIntervalMs(uint32_t frameRate);
