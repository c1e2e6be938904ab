// The viewer transfer module: phone viewers connect, prove with the device's local key that the
// owner's phone sent them, watch live media from the ring buffer, talk back, browse and download
// recordings. The application starts it once and answers its events; playback and download data
// go back through the senders below. A start or stop (live video, live audio, talk, streaming)
// reaches the event callback only when it changes the viewer's stream, and talk-back frames reach
// the hook only between the viewer's own talk start and stop.
#pragma once

#include "noxa_ipc_sdk/noxa_ipc_media.h"

#include <cstdint>

// The module's default and cap of clients: reader 5 + n of the ring buffer is client n's, and
// 10 onwards belong to the WebRTC sessions.
#define NOXA_P2P_CLIENT_MAX 5

typedef enum {
    TRANS_LIVE_VIDEO_START = 0,
    TRANS_LIVE_VIDEO_STOP = 1,
    TRANS_LIVE_AUDIO_START = 2,
    TRANS_LIVE_AUDIO_STOP = 3,
    TRANS_LIVE_VIDEO_CLARITY_SET = 4,
    TRANS_LIVE_VIDEO_CLARITY_QUERY = 5,
    TRANS_LIVE_QUALITY_CHANGE = 6,
    TRANS_PLAYBACK_QUALITY_CHANGE = 7,
    TRANS_PLAYBACK_QUERY_MONTH_SIMPLIFY = 8,
    TRANS_PLAYBACK_QUERY_DAY_TS = 9,
    TRANS_PLAYBACK_START_TS = 10,
    TRANS_PLAYBACK_PAUSE = 11,
    TRANS_PLAYBACK_RESUME = 12,
    TRANS_PLAYBACK_MUTE = 13,
    TRANS_PLAYBACK_UNMUTE = 14,
    TRANS_PLAYBACK_STOP = 15,
    TRANS_SPEAKER_START = 16,
    TRANS_SPEAKER_STOP = 17,
    TRANS_ABILITY_QUERY = 18,
    TRANS_DOWNLOAD_START = 19,
    TRANS_DOWNLOAD_STOP = 20,
    TRANS_DOWNLOAD_PAUSE = 21,
    TRANS_DOWNLOAD_RESUME = 22,
    TRANS_DOWNLOAD_CANCLE = 23,
    TRANS_STREAMING_VIDEO_START = 100,
    TRANS_STREAMING_VIDEO_STOP = 101,
} NOXA_P2P_EVENT_E;

// Words of an event record the module hands to the callback (word 0 is the client number
// for the per-client events); the callback may write answers into them.
#define NOXA_P2P_EVENT_WORDS 16

// A frame handed to the playback senders and to the talk-back hook.
typedef struct {
    uint32_t media_codec;  // NOXA_CODEC_VIDEO_H264, or NOXA_CODEC_VIDEO_H265
    uint32_t frame_type;   // 1 key frame, 0 other
    uint8_t* p_buf;
    uint32_t buf_len;
    uint64_t pts;        // ms; 0: timestamp * 1000 is taken
    uint64_t timestamp;  // s
} TRANSFER_VIDEO_FRAME_S;

typedef struct {
    uint32_t audio_codec;  // NOXA_CODEC_AUDIO_PCM (16-bit), NOXA_CODEC_AUDIO_G711U, ...
    uint32_t audio_sample;
    uint32_t audio_databits;
    uint32_t audio_channel;  // 0 mono
    uint8_t* p_audio_buf;
    uint32_t buf_len;
    uint64_t pts;        // ms; 0: timestamp * 1000 is taken
    uint64_t timestamp;  // s
} TRANSFER_AUDIO_FRAME_S;

typedef union {
    TRANSFER_VIDEO_FRAME_S video;
    TRANSFER_AUDIO_FRAME_S audio;
} TRANSFER_MEDIA_FRAME_S;

typedef void (*TRANSFER_ONLINE_CB)(uint32_t online_cnt);
// A talk-back frame (audio layout) of client `client`; the buffer is valid during the call.
typedef void (*TRANSFER_REV_AUDIO_CB)(const TRANSFER_MEDIA_FRAME_S* frame, uint32_t client);
typedef int (*TRANSFER_EVENT_CB)(NOXA_P2P_EVENT_E event, void* args);

typedef struct {
    TRANSFER_ONLINE_CB on_online_cb;
    TRANSFER_REV_AUDIO_CB on_rev_audio_cb;
    uint32_t rev_audio_codec;  // talk-back format
    uint32_t rev_audio_sample;
    uint32_t rev_audio_databits;
    uint32_t rev_audio_channel;
    TRANSFER_EVENT_CB on_event_cb;
    uint32_t live_mode;       // default live quality of a viewer that names none
    uint32_t max_client_num;  // capped at NOXA_P2P_CLIENT_MAX
    NOXA_MEDIA_INFO_S media_info;
} NOXA_P2P_TRANSFER_PARAM_S;

// Head of one stored frame record (the SD storage's; 24 bytes on the wire as well).
#ifndef STORAGE_FRAME_HEAD_DEFINED
#define STORAGE_FRAME_HEAD_DEFINED
typedef struct {
    uint32_t type;  // MEDIA_FRAME_TYPE_E
    uint32_t size;  // bytes that follow
    uint64_t timestamp;  // ms since 1970
    uint64_t pts;
} STORAGE_FRAME_HEAD_S;
#endif

// One entry of a day's playback list: type (0 for a recording, the event type for an SD event),
// start and end in seconds since 1970.
typedef struct {
    uint32_t type;
    uint32_t start_timestamp;
    uint32_t end_timestamp;
} PLAYBACK_TIME_S;

int noxa_ipc_tranfser_init(const NOXA_P2P_TRANSFER_PARAM_S* param);
// Stops the module's threads and closes its port (tests; the unit never stops it).
void noxa_ipc_tranfser_deinit(void);
// Viewers online (connected sessions); -1 before the start.
int noxa_ipc_get_online_client_cnt(void);
// Sessions watching: live video or streaming started and not stopped; -1 before the start. A
// stop's mark is cleared before the stop reaches the event callback, so the callback counts the
// watchers left.
int noxa_ipc_get_watching_client_cnt(void);

int noxa_ipc_playback_send_video_frame(uint32_t client, const TRANSFER_MEDIA_FRAME_S* frame);
int noxa_ipc_playback_send_audio_frame(uint32_t client, const TRANSFER_MEDIA_FRAME_S* frame);
int noxa_ipc_playback_send_finish(uint32_t client);
// A day's recordings to the client, in one record (an event's answer holds 16 words, too few
// for a day), sent before the answer to the day query. 0 when sent; -1 module not started or the
// connection gone; -ENOENT bad client number or no list; -E2BIG more than a record holds.
int noxa_ipc_playback_send_day_list(uint32_t client, const PLAYBACK_TIME_S* files, uint32_t count);
int noxa_ipc_playback_send_fragment_end(uint32_t client, const uint32_t* fragment);

int noxa_ipc_4_app_download_data(uint32_t client, const STORAGE_FRAME_HEAD_S* head, const uint8_t* data);
int noxa_ipc_4_app_download_status(uint32_t client, uint32_t status);

// Protocol-302 signalling from the cloud (device id, message, its length). Viewers here come
// over the local transport, so the message is only logged.
void noxa_ipc_p2p_rtc_msg_cb(const char* dev_id, const char* msg, int len);
