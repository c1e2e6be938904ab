// Types shared by the SoC media calls (MI_SYS, MI_SNR, MI_VIF, MI_VPE, MI_VENC, MI_DIVP, MI_RGN,
// MI_IVE, MI_AI, MI_AO). On the unit these calls are the SoC's media libraries; here they are
// declared from what the application expects of them and answered by the simulated board
// (src/platform/mi/sim). Only the fields the application fills or reads are declared.
#pragma once

#include <cstdint>

typedef int32_t MI_S32;
typedef uint32_t MI_U32;
typedef int16_t MI_S16;
typedef uint16_t MI_U16;
typedef uint8_t MI_U8;
typedef int64_t MI_S64;
typedef uint64_t MI_U64;
typedef uint8_t MI_BOOL;
typedef uint64_t MI_PHY;  // address in the media memory as the hardware engines see it

#define MI_SUCCESS 0

// Module ids: in channel-port addresses and in the error codes.
enum {
    E_MI_MODULE_ID_IVE = 0,
    E_MI_MODULE_ID_VENC = 2,
    E_MI_MODULE_ID_AI = 4,
    E_MI_MODULE_ID_AO = 5,
    E_MI_MODULE_ID_VIF = 6,
    E_MI_MODULE_ID_VPE = 7,
    E_MI_MODULE_ID_SYS = 9,
    E_MI_MODULE_ID_RGN = 11,
    E_MI_MODULE_ID_DIVP = 12,
    E_MI_MODULE_ID_SNR = 17,
};

// Error codes: 0xA0 in the top byte, the module, level 2 (error), then the reason.
enum {
    E_MI_ERR_INVALID_DEVID = 0x1,
    E_MI_ERR_INVALID_CHNID = 0x2,
    E_MI_ERR_ILLEGAL_PARAM = 0x3,
    E_MI_ERR_EXIST = 0x4,
    E_MI_ERR_UNEXIST = 0x5,
    E_MI_ERR_NULL_PTR = 0x6,
    E_MI_ERR_NOT_CONFIG = 0x7,
    E_MI_ERR_NOT_SUPPORT = 0x8,
    E_MI_ERR_NOT_PERM = 0x9,
    E_MI_ERR_NOMEM = 0xC,
    E_MI_ERR_NOBUF = 0xD,
    E_MI_ERR_BUF_EMPTY = 0xE,
    E_MI_ERR_BUF_FULL = 0xF,
    E_MI_ERR_SYS_NOTREADY = 0x10,
    E_MI_ERR_BUSY = 0x12,
    E_MI_ERR_FAILED = 0x1F,
};

constexpr MI_S32 MiErrCode(MI_U32 module, MI_U32 reason)
{
    return static_cast<MI_S32>(0xA0000000u | (module << 16) | 0x2000u | reason);
}

// Pixel formats of frames and ports.
enum {
    E_MI_SYS_PIXEL_FRAME_YUV422_YUYV = 0,
    E_MI_SYS_PIXEL_FRAME_YUV_SEMIPLANAR_420 = 11,  // NV12
    E_MI_SYS_PIXEL_FRAME_YUV_MST_420 = 24,         // the capture unit's own 4:2:0 layout
};

enum {
    E_MI_SYS_COMPRESS_MODE_NONE = 0,
};

struct MI_SYS_WindowRect_t {
    MI_U16 x;
    MI_U16 y;
    MI_U16 width;
    MI_U16 height;
};

struct MI_SYS_WindowSize_t {
    MI_U16 width;
    MI_U16 height;
};
