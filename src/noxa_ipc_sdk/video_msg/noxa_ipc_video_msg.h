// Video messages: when a visitor leaves a message at the door, a short clip is read from the media
// ring buffer (reader 4), its key and audio frames encrypted under a key drawn for the message and
// the fixed IV, and sent with the visitor's picture as an "ipc_leave_msg" event (data point 185).
// The module also takes the phone's doorbell answers (protocol 308) for the call tracking.
//
// The object the phone downloads: a 56-byte little-endian header (below), then frame records: the
// 24-byte frame head (u32 type, u32 size, u64 ms, u64 pts, little-endian) and the bytes; key
// frames and audio frames are AES-128-CBC with PKCS#7 (size = ciphertext size), other frames
// clear.
//
// One message at a time: idle -> recording (leave) -> finishing (duration passed, buffer full)
// -> idle after the upload. The buffers are held only while a message is under way.
#pragma once

#include "noxa_ipc_sdk/noxa_ipc_media.h"

#include <cstdint>

#define VIDEO_MSG_HEADER_SIZE 56
#define VIDEO_MSG_VERSION 1
#define VIDEO_MSG_PIC_MAX 102400u
#define VIDEO_MSG_KEY_LEN 16
#define VIDEO_MSG_NAME_MAX 22  // the last notification name a message may carry

typedef enum {
    VIDEO_MSG_TYPE_AV = 0,          // video and audio
    VIDEO_MSG_TYPE_VIDEO = 1,       // video only
    VIDEO_MSG_TYPE_AUDIO = 2,       // audio only, no picture
} VIDEO_MSG_TYPE_E;

typedef enum {
    VIDEO_MSG_IDLE = 0,
    VIDEO_MSG_RECORDING = 1,
    VIDEO_MSG_FINISHING = 2,
} VIDEO_MSG_STATE_E;

// The seam through which the module reaches the application above it, filled at start. An empty
// entry is a wiring fault: logged naming the link, the answer dropped.
struct VIDEO_MSG_LINKS_S {
    void (*DoorbellStatusHandle)(const char* status);  // the call tracking
};
extern VIDEO_MSG_LINKS_S gVideoMsgLinks;

// 0; -2 NULL media, type above 2, or a main stream above 2048 kbps (types 0, 1); -1 already
// inited or no thread; -302 no thread attributes. A duration outside 1..10 s (1..15 s audio only)
// becomes 10 (15). Starts the thread, sets the protocol-308 callback, reports skill 7.
int noxa_ipc_video_msg_init(const NOXA_MEDIA_INFO_S* media, int type, int duration_s);
// Stops the thread (a message under way is dropped) and frees everything.
void noxa_ipc_video_msg_uninit(void);

// Starts a message with the visitor's picture (types 0, 1: below 102400 bytes). 0; -1 not
// inited, no picture, or a message already under way; -2 a name above 22; -3 no memory.
int __leave_video_msg(const uint8_t* pic, uint32_t size, uint32_t name);
// The doorbell's message ("ipc_leave_msg"): the service API's leave_video_msg entry.
int noxa_ipc_video_msg_leave(const uint8_t* pic, uint32_t size);

// The protocol-308 callback: an "accept..." is answered to the cloud with the data text first,
// then every action goes to the call tracking. 0.
int __doorbell_status_change_callback(const char* action, const char* data);

// Media buffer bytes for a message: video (types 0, 1) and audio (types 0, 2 with channel 9),
// each for duration + 1 seconds.
uint32_t noxa_ipc_video_msg_buffer_size(const NOXA_MEDIA_INFO_S* media, int type, int duration_s);
// The 56-byte header: version 1, the main stream's codec, fps, size and `videoFrames` (zeros for
// audio only), channel 9's codec, data bits, channels and sample rate, then the 16-byte IV.
void noxa_ipc_video_msg_put_header(uint8_t out[VIDEO_MSG_HEADER_SIZE], const NOXA_MEDIA_INFO_S* media, int type,
                                   uint32_t videoFrames, const uint8_t iv[16]);

// One pass of the thread: how long it may sleep before the next (0: go on at once).
uint32_t noxa_ipc_video_msg_pass(void);
// Tests: 0 before init leaves the thread unstarted (the test calls the pass); 1 (default) starts it.
void noxa_ipc_video_msg_thread_for_test(int run);

// The message as it stands (tests).
struct VIDEO_MSG_VIEW_S {
    uint32_t inited;
    uint32_t state;
    int type;
    int duration;
    uint32_t capacity;  // of the media buffer; 0 while none is held
    uint32_t used;
    uint32_t videoFrames;
    char key[VIDEO_MSG_KEY_LEN + 1];  // of the message under way, or the last one
};
VIDEO_MSG_VIEW_S noxa_ipc_video_msg_view(void);
