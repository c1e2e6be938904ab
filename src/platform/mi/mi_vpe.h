// MI_VPE: the video processing engine that scales the captured picture into up to four ports.
#pragma once

#include "mi_common.h"

constexpr MI_U32 kMiVpePortCount = 4;

struct MI_VPE_ChannelPara_t {
    MI_U16 hdrType;
    MI_U16 nrLevel;
};

struct MI_VPE_ChannelAttr_t {
    MI_U16 maxWidth;
    MI_U16 maxHeight;
    MI_U32 pixFormat;  // input pixel format
    MI_U32 hdrType;
    MI_U32 sensorBindId;
    MI_U32 ispInput;
    MI_U8 runningMode;
};

struct MI_VPE_PortMode_t {
    MI_U16 width;
    MI_U16 height;
    MI_U32 pixFormat;
    MI_U32 compressMode;
};

MI_S32 MI_VPE_SetChannelParam(MI_U32 chn, const MI_VPE_ChannelPara_t* para);
MI_S32 MI_VPE_CreateChannel(MI_U32 chn, const MI_VPE_ChannelAttr_t* attr);
MI_S32 MI_VPE_StartChannel(MI_U32 chn);
MI_S32 MI_VPE_StopChannel(MI_U32 chn);
MI_S32 MI_VPE_DestroyChannel(MI_U32 chn);
// Rotation in quarter turns (0 = none).
MI_S32 MI_VPE_SetChannelRotation(MI_U32 chn, MI_U32 rotation);
MI_S32 MI_VPE_GetPortMode(MI_U32 chn, MI_U32 port, MI_VPE_PortMode_t* mode);
MI_S32 MI_VPE_SetPortMode(MI_U32 chn, MI_U32 port, const MI_VPE_PortMode_t* mode);
MI_S32 MI_VPE_SetPortCrop(MI_U32 chn, MI_U32 port, const MI_SYS_WindowRect_t* crop);
MI_S32 MI_VPE_EnablePort(MI_U32 chn, MI_U32 port);
MI_S32 MI_VPE_DisablePort(MI_U32 chn, MI_U32 port);
MI_S32 MI_VPE_DeInitDev();
