// The media ring buffer: every encoded frame of the unit passes through one of sixteen
// per-channel rings, appended by the channel's one writer (encoder or microphone thread) and read
// back by up to sixteen consumers, each through its own reader slot.
//
// No lock anywhere. The writer fills the node and copies the bytes before it publishes the new
// head (release); readers load the head (acquire) before they look at nodes. A returned node
// stays valid only until the writer reuses it: a reader copies the frame at once
// (noxa_ipc_ring_buffer_copy_frame tells it whether the copy is intact). A reader that has
// fallen behind is moved to the newest key frame (video) or newest frame (audio) instead of
// being handed bytes the writer is about to overwrite.
#pragma once

#include <atomic>
#include <cstdint>

// Frame types of the encoder and microphone hand-over.
typedef enum {
    MEDIA_FRAME_TYPE_P = 0,      // inter video frame
    MEDIA_FRAME_TYPE_I = 1,      // key (IDR) video frame
    MEDIA_FRAME_TYPE_AUDIO = 3,  // audio frame
} MEDIA_FRAME_TYPE_E;

#define RING_BUFFER_CHANNEL_NUM 16
#define RING_BUFFER_USER_NUM 16

// Reader slots: each consumer owns a fixed user number.
enum {
    RING_BUFFER_USER_SD_STORAGE = 0,
    RING_BUFFER_USER_CLOUD_STORAGE = 1,
    RING_BUFFER_USER_VIDEO_MSG = 4,
    RING_BUFFER_USER_P2P_BASE = 5,     // + peer-to-peer client number
    RING_BUFFER_USER_WEBRTC_BASE = 10, // + WebRTC session number
    RING_BUFFER_USER_STREAMER = 15,
};

// One frame in a ring. Readers get a pointer into the ring; the fields are atomics because the
// writer reuses the node while slow readers may still look at it.
struct RING_BUFFER_NODE_S {
    std::atomic<uint32_t> index{0};    // own index in the channel's nodes
    std::atomic<uint32_t> type{0};     // MEDIA_FRAME_TYPE_E
    std::atomic<uint8_t*> data{nullptr};  // the bytes, inside the channel's pool
    std::atomic<uint32_t> size{0};
    std::atomic<uint64_t> pts{0};      // as given by the writer
    std::atomic<uint64_t> timestamp{0};  // wall-clock ms since 1970
    std::atomic<uint32_t> seqNo{0};    // per channel, never 0 for a written frame; 0: empty or discarded
    std::atomic<uint32_t> syncSeq{0};  // module-wide append count: orders frames across channels
    // Where the bytes start in the channel's byte stream (pool restarts counted): tells whether
    // the writer has come round to them again.
    std::atomic<uint64_t> poolPos{0};
};

// What a reader keeps of a frame: the node's fields as they were when its bytes were copied.
typedef struct {
    uint32_t type;
    uint32_t size;
    uint64_t pts;
    uint64_t timestamp;
    uint32_t seqNo;
    uint32_t syncSeq;
} RING_BUFFER_FRAME_S;

// Asks the channel's encoder for a key frame (argument: the channel).
typedef void (*RING_BUFFER_KEY_FRAME_REQUEST)(int channel);

// bitrate in kbit/s (1..2048), fps > 0, bufferSeconds 0 (= 10) to 10. 0; -2 bad argument; -1
// already initialised; -3 out of memory. There is no de-initialisation.
int noxa_ipc_ring_buffer_init(int channel, uint32_t bitrate, uint32_t fps, uint32_t bufferSeconds,
                              RING_BUFFER_KEY_FRAME_REQUEST keyFrameRequest);
// 0; -2 bad channel or frame too large; -1 not initialised or no pool space.
int noxa_ipc_ring_buffer_append_data_with_timestamp(int channel, const uint8_t* data, uint32_t size, uint32_t type,
                                                    uint64_t pts, uint64_t timestamp);
// As above, stamped with the current wall-clock milliseconds.
int noxa_ipc_ring_buffer_append_data(int channel, const uint8_t* data, uint32_t size, uint32_t type, uint64_t pts);

// The next frame for the reader (channels 0..7 video, 9..15 audio), or null when there is none
// yet (the caller polls). A non-zero retry hands out the reader's last frame again.
RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_video_frame(int channel, int user, int retry);
RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_audio_frame(int channel, int user, int retry);
// The frame `frames` back (video: aligned to a key frame); the reader is positioned on it.
RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_pre_video_frame(int channel, int user, uint32_t frames);
RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_pre_audio_frame(int channel, int user, uint32_t frames);
// The same searches without touching any reader.
RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_find_pre_video_by_frame(int channel, uint32_t frames);
RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_find_pre_audio_by_frame(int channel, uint32_t frames);
// Moves the reader to the first frame of `type` newer than seqNo; waits for it, but gives up with
// null after about two seconds so that reader threads stay stoppable.
RING_BUFFER_NODE_S* noxa_ipc_ring_buffer_get_next_target_frame(int channel, int user, uint32_t seqNo, uint32_t type);
// Positions the reader on a node it already holds (a null node changes nothing).
void noxa_ipc_ring_buffer_anchor_user_to_node(int channel, int user, RING_BUFFER_NODE_S* node);
// Anchors the reader `frames` back; its next read returns that frame. A video anchor also lines
// the reader's audio channels up behind it. onlyNewer: never a frame the reader has had.
// 0; -2 bad channel or user; -1 no suitable frame.
int noxa_ipc_ring_buffer_anchor_user(int channel, int user, uint32_t frames, int onlyNewer);
// 0; -2 bad user or no pending synchronisation point.
int noxa_ipc_ring_buffer_sync_audio_channel(int user);
// Lines the reader's audio channels up behind the video frame of append count syncSeq (a frame it
// read, RING_BUFFER_FRAME_S): its next audio read returns the first audio frame appended after
// that one, or the oldest still intact. 0; -2 bad user or a syncSeq of 0.
int noxa_ipc_ring_buffer_sync_audio_to(int user, uint32_t syncSeq);
// 1 when the reader lags so far that its next read skips forward, else 0.
int noxa_ipc_ring_buffer_if_delay(int channel, int user);
// The reader starts afresh with its next read.
void noxa_ipc_ring_buffer_clean_user_state(int channel, int user);
// Cuts the channel's history at the newest frame: readers move on to the next key frame.
void noxa_ipc_ring_buffer_clean_user_state_and_buffer(int channel, int user);
// Channel 0's figures, which consumers size their buffers from; -1 before channel 0 exists.
int noxa_ipc_ring_buffer_get_max_buf_secs(void);
int noxa_ipc_ring_buffer_get_max_frame_size(void);
// 0; -1 not initialised; -2 bad channel.
int noxa_ipc_ring_buffer_set_max_frame_size(int channel, uint32_t size);
// Initialised channels among 0..7.
int noxa_ipc_ring_buffer_video_channel_num(void);

// Copies a node the reader was handed into buf (bufSize bytes) and fills `frame` (may be null)
// with its fields. The bytes copied (size of the frame); -2 bad arguments or buffer too small;
// -1 the writer has overwritten the frame or came too close while it was copied: drop the copy
// and read again.
int noxa_ipc_ring_buffer_copy_frame(int channel, int user, const RING_BUFFER_NODE_S* node, uint8_t* buf,
                                    uint32_t bufSize, RING_BUFFER_FRAME_S* frame);

// What a waiting reader last saw of the channels it follows (bit c of mask: channel c).
typedef struct {
    uint32_t mask;
    uint32_t seq[RING_BUFFER_CHANNEL_NUM];
} RING_BUFFER_APPEND_MARK_S;

// Notes the newest sequence of the masked channels. Taken before a reader looks for frames, so
// that an append between the look and the wait still ends the wait.
void noxa_ipc_ring_buffer_append_mark(uint32_t channelMask, RING_BUFFER_APPEND_MARK_S* mark);
// Waits until one of the marked channels has had an append since the mark, or timeoutMs pass
// (an empty mask just sleeps). 1 appended; 0 timed out. A writer with nobody waiting pays one
// load for this.
int noxa_ipc_ring_buffer_wait_append(const RING_BUFFER_APPEND_MARK_S* mark, uint32_t timeoutMs);

// Test only: the channel's last sequence number and the module-wide append count, so that a test
// reaches their wrap without four billion appends.
void noxa_ipc_ring_buffer_set_seq_for_test(int channel, uint32_t seqNo);
void noxa_ipc_ring_buffer_set_sync_seq_for_test(uint32_t syncSeq);
