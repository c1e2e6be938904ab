// MI_SNR: the sensor pad, here the analogue-HD decoder's digital output.
#pragma once

#include "mi_common.h"

MI_S32 MI_SNR_SetRes(MI_U32 pad, MI_U32 resIndex);
MI_S32 MI_SNR_Enable(MI_U32 pad);
MI_S32 MI_SNR_Disable(MI_U32 pad);
MI_S32 MI_SNR_SetOrien(MI_U32 pad, MI_BOOL mirror, MI_BOOL flip);
MI_S32 MI_SNR_DeInitDev();
