// The video chain: capture (VIF) -> scaler (VPE, ports 0 to 2) -> encoders (VENC 0 main H.264,
// 1 sub H.264, 2 JPEG), and the detection copy (DIVP from VPE port 1). Built at start-up,
// rebuilt when the analogue input changes size, torn down before a firmware upgrade.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

// The video format record. The format watch writes the input size and rate from its own thread;
// the recorder reads the record size: those words are atomics.
struct VIDEO_DYNAMICS_INFO_S {
    std::atomic<uint16_t> SensorWidth{0};
    std::atomic<uint16_t> SensorHeight{0};
    std::atomic<uint16_t> RecordWidth{0};   // what the MP4 track header declares
    std::atomic<uint16_t> RecordHeight{0};
    std::atomic<uint8_t> FrameRate{0};
    std::atomic<uint32_t> Type{0};          // argument of the last SetVideoDynamicsInfo that changed the record
    std::atomic<uint8_t> ResolutionCode{0};
    std::atomic<uint8_t> PrevResolutionCode{0};
    std::atomic<uint8_t> RecordCode{0};     // 0 640x480, 1 1280x720, 2 1920x1080
    std::atomic<uint8_t> PrevRecordCode{0};
    std::atomic<uint8_t> FrameRateCode{0};  // index into 5, 10, 15, 20, 25
    std::atomic<uint8_t> PrevFrameRateCode{0};
    pthread_t FormatThread{};               // SensorFmtThread
    std::atomic<uint8_t> VencRun{0};        // 1 while venc_channel_func is to run
    pthread_t VencThread{};
    std::atomic<uint8_t> VencThreadStarted{0};
};

extern VIDEO_DYNAMICS_INFO_S gVideoDynamicsInfo;

// One row of the stream table.
struct VENC_STREAM_ATTR_S {
    uint32_t Enable;
    uint32_t Skip;  // built and torn down only when 0
    uint32_t VpeChannel;
    uint32_t VpePort;
    uint32_t VencChannel;
    uint32_t Codec;  // 2 H.264, 3 H.265, 4 JPEG
    float BitRate;   // Mbit/s (H.265 only)
    uint32_t Width;
    uint32_t Height;
    uint32_t CropX;
    uint32_t CropY;
    uint32_t CropWidth;
    uint32_t CropHeight;
    uint32_t Function;
    const char* Name;
    uint32_t BindType;
    uint32_t BindParam;
    uint32_t Reserved[2];
};

constexpr int kVencStreamCount = 3;
extern const VENC_STREAM_ATTR_S gVencStreamAttr[kVencStreamCount];

// Start-up step 6: media system, decoder driver, sensor pad, the video format record, the encoder
// stream thread. 0, or the result of the thread creation.
int SysInit();
// Start-up step 8: sizes and rate from the format codes (type 0 keeps the rate at 25).
int SetVideoDynamicsInfo(uint32_t type);
// Start-up step 9: builds the chain for the sensor size. 0 or the first failing MI result of
// the VPE and binding steps.
int VideoInit();
int VideoDeInit();
// Pauses the encoder thread (and waits until it has stopped fetching), rebuilds the chain.
void VideoRestart();
// Full teardown before a firmware upgrade.
void MediaSystemDeInit();

// The format watch's report of the analogue input size: before the first VideoInit the size is
// kept for it (the chain is built once, for the input as it is); afterwards a new size rebuilds
// the chain. Returns 1 when the chain was rebuilt, else 0.
int VideoApplyInputSize(uint16_t width, uint16_t height);
// 1 once the first VideoInit has run (until MediaSystemDeInit).
uint8_t VideoReady();

int CreateVencStream(uint32_t index, uint32_t width, uint32_t height, uint32_t cropWidth, uint32_t cropHeight,
                     uint32_t cropX, uint32_t cropY);
int CreateVencStreams();
int DestroyVencStream(uint32_t index);
int DestroyVencStreams();
int DIVPChnCreate();
int DIVPChnDestroy();
