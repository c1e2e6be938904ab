// The media description the application hands to the ring buffer, the viewer transfer module,
// cloud recording and the video message: per ring-buffer channel, enable flag and the video or
// audio parameters. In-process record.
#pragma once

#include <cstdint>

#define MAX_MEDIA_CHANNEL_NUM 16
#define MAX_VIDEO_CHANNEL_NUM 8

typedef enum {
    NOXA_CODEC_VIDEO_H264 = 2,
    NOXA_CODEC_VIDEO_H265 = 4,
    NOXA_CODEC_AUDIO_PCM = 101,
    NOXA_CODEC_AUDIO_G711U = 105,
    NOXA_CODEC_AUDIO_G711A = 106,
} NOXA_CODEC_ID_E;

typedef struct {
    uint32_t channel_enable[MAX_MEDIA_CHANNEL_NUM];
    uint32_t video_fps[MAX_VIDEO_CHANNEL_NUM];
    uint32_t video_gop[MAX_VIDEO_CHANNEL_NUM];
    uint32_t video_bitrate[MAX_VIDEO_CHANNEL_NUM];  // kbit/s
    uint32_t video_width[MAX_VIDEO_CHANNEL_NUM];
    uint32_t video_height[MAX_VIDEO_CHANNEL_NUM];
    uint32_t video_freq[MAX_VIDEO_CHANNEL_NUM];  // clock rate, Hz
    uint32_t video_codec[MAX_VIDEO_CHANNEL_NUM];
    uint32_t audio_codec[MAX_MEDIA_CHANNEL_NUM];
    uint32_t audio_fps[MAX_MEDIA_CHANNEL_NUM];
    uint32_t audio_sample[MAX_MEDIA_CHANNEL_NUM];
    uint32_t audio_databits[MAX_MEDIA_CHANNEL_NUM];
    uint32_t audio_channel[MAX_MEDIA_CHANNEL_NUM];  // 0 mono
} NOXA_MEDIA_INFO_S;

// Hooks of the media encryption that cloud recording calls, in this order.
typedef struct {
    int (*create)(void);
    int (*encrypt)(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, const uint8_t* key,
                   const uint8_t* iv);
    int (*decrypt)(const uint8_t* in, uint32_t len, uint8_t* out, uint32_t* out_len, const uint8_t* key,
                   const uint8_t* iv);
    int (*destroy)(void);
} NOXA_HW_AES_CBS_S;
