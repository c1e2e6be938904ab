// MI_VIF: the video input unit that captures the sensor pad's picture.
#pragma once

#include "mi_common.h"

enum {
    E_MI_VIF_MODE_BT656 = 0,
    E_MI_VIF_MODE_MIPI = 4,
};

struct MI_VIF_DevAttr_t {
    MI_U32 intfMode;
    MI_U32 workMode;
    MI_U32 hdrType;
    MI_U32 clkEdge;
    MI_U32 dataSeq;
    MI_U32 syncAttr[6];  // BT.656 only: sync polarities and blanking
};

struct MI_VIF_ChnPortAttr_t {
    MI_SYS_WindowRect_t capRect;
    MI_SYS_WindowSize_t destSize;
    MI_U32 capSel;  // which fields: 3 = both
    MI_U32 scanMode;
    MI_U32 pixFormat;
    MI_BOOL frameLineCount;
};

MI_S32 MI_VIF_SetDevAttr(MI_U32 dev, const MI_VIF_DevAttr_t* attr);
MI_S32 MI_VIF_EnableDev(MI_U32 dev);
MI_S32 MI_VIF_DisableDev(MI_U32 dev);
MI_S32 MI_VIF_SetChnPortAttr(MI_U32 chn, MI_U32 port, const MI_VIF_ChnPortAttr_t* attr);
MI_S32 MI_VIF_EnableChnPort(MI_U32 chn, MI_U32 port);
MI_S32 MI_VIF_DisableChnPort(MI_U32 chn, MI_U32 port);
MI_S32 MI_VIF_DeInitDev();
