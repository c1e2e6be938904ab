// Records shared by the audio input (MI_AI) and output (MI_AO).
#pragma once

#include "mi_common.h"

enum {
    E_MI_AUDIO_BIT_WIDTH_16 = 0,
};

enum {
    E_MI_AUDIO_SOUND_MODE_MONO = 0,
    E_MI_AUDIO_SOUND_MODE_STEREO = 1,
};

enum {
    E_MI_AUDIO_MODE_I2S_MASTER = 0,
};

struct MI_AUDIO_I2sConfig_t {
    MI_U32 fmt;
    MI_U32 mclk;
    MI_BOOL syncClock;
};

struct MI_AUDIO_Attr_t {
    MI_U32 sampleRate;  // Hz
    MI_U32 bitWidth;    // E_MI_AUDIO_BIT_WIDTH_*
    MI_U32 workMode;
    MI_U32 soundMode;
    MI_U32 frameNum;  // frames in the buffer pool
    MI_U32 ptNumPerFrm;  // samples per frame
    MI_U32 codecChnCnt;
    MI_U32 chnCnt;
    MI_AUDIO_I2sConfig_t i2s;
};

struct MI_AUDIO_Frame_t {
    MI_U32 bitWidth;
    MI_U32 soundMode;
    void* virAddr[2];  // 16-bit samples
    MI_U64 timeStamp;  // microseconds
    MI_U32 seq;
    MI_U32 len;  // bytes
};

// The echo reference: what the output played while the frame was captured.
struct MI_AUDIO_AecFrame_t {
    MI_AUDIO_Frame_t refFrame;
    MI_BOOL valid;
};
