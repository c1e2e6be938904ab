// MI_AI: the microphone input.
#pragma once

#include "mi_audio.h"

MI_S32 MI_AI_SetPubAttr(MI_U32 dev, const MI_AUDIO_Attr_t* attr);
MI_S32 MI_AI_GetPubAttr(MI_U32 dev, MI_AUDIO_Attr_t* attr);
MI_S32 MI_AI_Enable(MI_U32 dev);
MI_S32 MI_AI_Disable(MI_U32 dev);
MI_S32 MI_AI_EnableChn(MI_U32 dev, MI_U32 chn);
MI_S32 MI_AI_DisableChn(MI_U32 dev, MI_U32 chn);
MI_S32 MI_AI_SetVqeVolume(MI_U32 dev, MI_U32 chn, MI_S32 volume);
MI_S32 MI_AI_GetVqeVolume(MI_U32 dev, MI_U32 chn, MI_S32* volume);
MI_S32 MI_AI_DisableVqe(MI_U32 dev, MI_U32 chn);
// Waits up to timeoutMs (-1: for ever) for the next frame; aec (may be null) gets the echo reference.
MI_S32 MI_AI_GetFrame(MI_U32 dev, MI_U32 chn, MI_AUDIO_Frame_t* frame, MI_AUDIO_AecFrame_t* aec, MI_S32 timeoutMs);
MI_S32 MI_AI_ReleaseFrame(MI_U32 dev, MI_U32 chn, MI_AUDIO_Frame_t* frame, MI_AUDIO_AecFrame_t* aec);
MI_S32 MI_AI_DeInitDev();
