// The encoder stream thread: drains the three encoder channels. Each H.264 frame of channel 0
// (main, 1280x720) and 1 (sub, 640x360) is handed to the viewer side while the frame gate is
// open; channel 0 also feeds an open recording whatever the gate says. JPEG channel 2 gives a
// snapshot only when one is armed by CapturePicture.
#pragma once

#include "noxa_ipc_sdk/ring_buffer/noxa_ring_buffer.h"

#include <atomic>
#include <cstdint>
#include <mutex>

// One encoded video or audio frame as the media pipeline hands it over. data points into the
// encoder's buffer and is valid only during the hand-over call.
struct MEDIA_FRAME_S {
    uint32_t type;  // MEDIA_FRAME_TYPE_E
    uint8_t* data;
    uint32_t size;
    uint32_t reserved;   // 0
    uint64_t pts;        // wall-clock time of the hand-over, microseconds
    uint64_t timestamp;  // the same
};

// Ring-buffer channels of the media pipeline.
typedef enum {
    MEDIA_CHANNEL_MAIN = 0,   // VENC channel 0
    MEDIA_CHANNEL_SUB = 1,    // VENC channel 1
    MEDIA_CHANNEL_AUDIO = 9,
} MEDIA_CHANNEL_E;

constexpr const char* kDemoSnapshotPath = "/dev/demo_snapshot.jpg";

// The encoder thread's state words.
struct VENC_STATE_S {
    std::atomic<uint8_t> Pause{0};        // 1 while the chain is rebuilt: the thread fetches nothing
    std::atomic<uint8_t> Idle{0};         // the thread's answer to a pause: it has stopped fetching
    std::atomic<uint8_t> LoopRunning{0};  // venc_channel_func is in its loop
    std::atomic<uint8_t> CaptureFlag{0};  // 1: the next JPEG frame is the armed snapshot
    std::mutex PathLock;                  // the armed path is written and read on different threads
    char CapturePath[128] = {};           // unit path of the armed snapshot
};

extern VENC_STATE_S gVencState;

// Where the thread's output goes, besides the snapshot file. Each entry is the operation of the
// part of the unit that receives it: PutMediaFrame of the viewer side, GetMP4RecordState and
// MP4Encoder_WriteVideo of the recorder, SaveImageToSDCard of the SD card: the seam through which
// the encoder thread reaches the rooms above it, filled at start-up. Every entry is filled in the
// unit; an empty one is a wiring fault, and the output goes nowhere.
struct VENC_OUTPUT_S {
    int (*PutMediaFrame)(int channel, const MEDIA_FRAME_S* frame);
    uint8_t (*RecordState)();  // 1 while a recording is open
    // The recorder writes each slice over its own start code: the bytes are lent, not read-only.
    int (*WriteVideo)(uint8_t* data, uint32_t len, uint32_t nalType, uint64_t pts);
    void (*SaveImage)(const uint8_t* data, uint32_t len);
};

extern VENC_OUTPUT_S gVencOutput;

// Thread entry, started by SysInit; runs while the encoder run flag is set. Result 0.
void* venc_channel_func(void* arg);
// One pass of the thread's loop (without the pause branch): waits up to waitMs for a readable
// channel, then drains what is there. The select result (0: time-out).
int VencChannelPass(int waitMs);

// Arms a snapshot: mode 0 "/dev/demo_snapshot.jpg", any other mode a new picture
// "/mnt/sdcard/DCIM/YYYYMMDD/HHMMSS.jpg" (its day folder made when missing); taken from the first
// JPEG frame at least 100 ms later (the capture wait countdown), outside a viewing countdown.
void CapturePicture(uint32_t mode);
// Capture wait over (timer task): the next JPEG frame is taken.
void CaptureWaitExpired();
// The next frame of both H.264 channels is an IDR frame.
void RequestVideoIdr();

// The frame gate: the viewing countdown idle or just run out, the cloud link online and a viewing
// marked.
bool VencFrameGateOpen();

// Start offsets of the SPS, PPS and IDR units of a key-frame pack. 0 when the three start codes
// were found in this order, -1 otherwise (the offsets are then not to be used).
int VencSplitIdr(const uint8_t* data, uint32_t len, uint32_t offsets[3]);
