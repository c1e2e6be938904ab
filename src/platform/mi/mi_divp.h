// MI_DIVP: the second scaler, which crops and scales a copy of the picture for detection.
#pragma once

#include "mi_common.h"

struct MI_DIVP_ChnAttr_t {
    MI_U32 maxWidth;
    MI_U32 maxHeight;
    MI_SYS_WindowRect_t cropRect;
    MI_U32 tnrLevel;
    MI_U32 diType;
    MI_U32 rotate;
    MI_BOOL horMirror;
    MI_BOOL verMirror;
};

struct MI_DIVP_OutputPortAttr_t {
    MI_U32 width;
    MI_U32 height;
    MI_U32 pixFormat;
    MI_U32 compressMode;
};

MI_S32 MI_DIVP_CreateChn(MI_U32 chn, const MI_DIVP_ChnAttr_t* attr);
MI_S32 MI_DIVP_DestroyChn(MI_U32 chn);
MI_S32 MI_DIVP_GetChnAttr(MI_U32 chn, MI_DIVP_ChnAttr_t* attr);
MI_S32 MI_DIVP_SetChnAttr(MI_U32 chn, const MI_DIVP_ChnAttr_t* attr);
MI_S32 MI_DIVP_SetOutputPortAttr(MI_U32 chn, const MI_DIVP_OutputPortAttr_t* attr);
MI_S32 MI_DIVP_StartChn(MI_U32 chn);
MI_S32 MI_DIVP_StopChn(MI_U32 chn);
MI_S32 MI_DIVP_DeInitDev();
