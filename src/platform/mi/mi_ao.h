// MI_AO: the speaker output.
#pragma once

#include "mi_audio.h"

struct MI_AO_AdecAttr_t {
    MI_U32 adecType;
    MI_U32 sampleRate;
    MI_U32 soundMode;
};

struct MI_AO_ChnState_t {
    MI_U32 chnTotalNum;  // frames the channel can queue
    MI_U32 chnFreeNum;
    MI_U32 chnBusyNum;   // frames queued and not yet played
};

MI_S32 MI_AO_SetPubAttr(MI_U32 dev, const MI_AUDIO_Attr_t* attr);
MI_S32 MI_AO_GetPubAttr(MI_U32 dev, MI_AUDIO_Attr_t* attr);
MI_S32 MI_AO_Enable(MI_U32 dev);
MI_S32 MI_AO_Disable(MI_U32 dev);
MI_S32 MI_AO_EnableChn(MI_U32 dev, MI_U32 chn);
MI_S32 MI_AO_DisableChn(MI_U32 dev, MI_U32 chn);
MI_S32 MI_AO_SetAdecAttr(MI_U32 dev, MI_U32 chn, const MI_AO_AdecAttr_t* attr);
MI_S32 MI_AO_GetAdecAttr(MI_U32 dev, MI_U32 chn, MI_AO_AdecAttr_t* attr);
MI_S32 MI_AO_DisableAdec(MI_U32 dev, MI_U32 chn);
MI_S32 MI_AO_SetVolume(MI_U32 dev, MI_S32 volumeDb);
MI_S32 MI_AO_GetVolume(MI_U32 dev, MI_S32* volumeDb);
MI_S32 MI_AO_SetSrcGain(MI_U32 dev, MI_S32 gain);
// Queues 16-bit PCM; waits up to timeoutMs (-1: for ever) for room in the queue.
MI_S32 MI_AO_SendFrame(MI_U32 dev, MI_U32 chn, const MI_AUDIO_Frame_t* frame, MI_S32 timeoutMs);
MI_S32 MI_AO_QueryChnStat(MI_U32 dev, MI_U32 chn, MI_AO_ChnState_t* state);
MI_S32 MI_AO_ClearChn(MI_U32 dev, MI_U32 chn);
MI_S32 MI_AO_DeInitDev();
