// The cloud-gateway streamer: live media to a cloud media gateway over one TCP connection that the
// cloud asks for with a moto MQTT message of module "wg" (host, port, credentials, session id,
// wanted streams). The unit connects, both sides prove themselves in a signed challenge, then every
// frame of the wanted ring-buffer channels goes out (reader 15), encrypted under the media key and
// signed with the local key; the gateway sends commands and talk-back audio the other way.
//
// Wire (TCP, big-endian): a 28-byte header {u32 version 1, u32 type (0 P, 1 I, 3 audio,
// 4 command), u32 length of what follows, 16 bytes IV}; then for commands u32 id, 32 bytes
// session id, the AES-128-CBC body and a 32-byte HMAC-SHA256 (local key) over the bytes before the
// ciphertext and the ciphertext's last 16 bytes; video has 11 u32 fields (stream bit, seqNo, frame
// type, codec, width, height, fps, ms time high and low, pts high and low) before the data, audio
// 10 (stream bit 1, seqNo, bits, rate, codec, 0, time high and low, pts high and low).
//
// Threads: one streaming thread owns the socket, the buffers and the connection state. The MQTT
// worker only leaves a request (under a lock); pause and resume set one word.
#pragma once

#include "noxa_ipc_sdk/moto_mqtt/noxa_ipc_moto_mqtt.h"
#include "noxa_ipc_sdk/noxa_ipc_media.h"

#include <cjson/cJSON.h>

#include <atomic>
#include <cstdint>
#include <mutex>

struct NOXA_ENCRYPTOR_S;
struct NOXA_PACKAGER_S;

// Connection states.
typedef enum {
    NSTREAM_IDLE = 0,
    NSTREAM_CONNECT = 1,     // connect requested
    NSTREAM_CLOSING = 2,
    NSTREAM_CONNECTED = 3,   // send the challenge
    NSTREAM_VERIFIED = 4,    // the gateway proved itself: send the answer
    NSTREAM_WAITING = 5,     // waiting for the gateway
    NSTREAM_STREAMING = 6,
} NSTREAM_STATE_E;

typedef enum {
    NSTREAM_REQ_NONE = 0,
    NSTREAM_REQ_NEW = 1,
    NSTREAM_REQ_STOP = 2,
} NSTREAM_REQUEST_E;

// Stream bits of "streamType".
#define NSTREAM_AUDIO 1
#define NSTREAM_MAIN 2
#define NSTREAM_SUB 4
#define NSTREAM_THIRD 8
#define NSTREAM_TYPES 4

#define NSTREAM_HEAD_LEN 28
#define NSTREAM_CMD_FIELDS 36   // id and session id
#define NSTREAM_VIDEO_FIELDS 44
#define NSTREAM_AUDIO_FIELDS 40
#define NSTREAM_SIGN_LEN 32
#define NSTREAM_RECV_BUF 4200
// What a frame may announce: the receive buffer holds the header too.
#define NSTREAM_RECV_MAX (NSTREAM_RECV_BUF - NSTREAM_HEAD_LEN)

#define NSTREAM_HOST_LEN 256     // with the NUL
#define NSTREAM_FIELD_LEN 33     // user, password, session id: 32 characters and the NUL
#define NSTREAM_MOTO_ID_LEN 144  // with the NUL

// Given to eventCb with each event: the first word is 3 (the streamer's source).
#define NSTREAM_EVENT_SOURCE 3

// A talk-back audio frame, decrypted; the bytes are valid during the call.
typedef struct {
    uint32_t codecType;
    uint32_t sample;
    uint32_t dateBit;
    uint32_t channels;
    uint8_t* data;
    uint32_t len;
} NSTREAM_AUDIO_S;

// Event codes of the viewer events: 100 streaming started, 101 stopped, 16 speaker on, 17 off.
typedef int (*NSTREAM_EVENT_CB)(int event, void* args);
typedef void (*NSTREAM_AUDIO_CB)(const NSTREAM_AUDIO_S* audio, uint32_t source);

typedef struct {
    int (*SetMediaSetting)(const NOXA_MEDIA_INFO_S* info);
    int (*FillCloudGwSkills)(void);
    int (*SetServerAddress)(const char* host, uint32_t port);
    int (*StartStreaming)(void);
    int (*StopStreaming)(void);
    int (*PauseStreaming)(void);
    int (*ResumeStreaming)(void);
    int (*RegisterCallBack)(NSTREAM_EVENT_CB eventCb, NSTREAM_AUDIO_CB audioCb);
    int (*PublishMotoMessage)(const char* json);
} NSTREAMER_OPS_S;

// A gateway request as the MQTT worker leaves it; the thread copies it when it takes request 1.
typedef struct {
    char host[NSTREAM_HOST_LEN];
    uint32_t port;
    char username[NSTREAM_FIELD_LEN];
    char password[NSTREAM_FIELD_LEN];
    char sessionId[NSTREAM_FIELD_LEN];
    uint32_t streamType;
    char encKeyMd5[33];
    char motoId[NSTREAM_MOTO_ID_LEN];
} NSTREAM_REQUEST_S;

typedef struct NSTREAMER_S {
    uint32_t inited;
    std::atomic<uint32_t> paused;
    std::atomic<uint32_t> state;
    char devId[26];
    char localKey[17];
    char encKeyMd5[33];
    char motoId[NSTREAM_MOTO_ID_LEN];
    char host[NSTREAM_HOST_LEN];
    uint32_t port;
    char username[NSTREAM_FIELD_LEN];
    char password[NSTREAM_FIELD_LEN];
    char sessionId[NSTREAM_FIELD_LEN];
    char deviceRandom[NSTREAM_FIELD_LEN];
    char serverValue[64];
    char serverSign[65];
    std::atomic<uint32_t> streamType;
    int socket;
    uint8_t* sendBuf;
    uint32_t sendBufSize;
    uint8_t* recvBuf;
    uint32_t recvBufSize;
    NOXA_PACKAGER_S* packager;
    NOXA_ENCRYPTOR_S* encryptor;
    MOTO_MQTT_S* moto;
    NSTREAMER_OPS_S ops;
    std::atomic<uint32_t> request;
    std::atomic<uint32_t> freshStart[NSTREAM_TYPES];
    NOXA_MEDIA_INFO_S mediaSetting;
    std::atomic<NSTREAM_EVENT_CB> eventCb;
    std::atomic<NSTREAM_AUDIO_CB> audioCb;
    // Talk-back format from the gateway, and the speaker.
    uint32_t codecType;
    uint32_t sample;
    uint32_t dateBit;
    uint32_t channels;
    uint32_t speaker;
    // Receive progress: 0 header, 1 body; the frame's length; bytes still to read.
    uint32_t recvPhase;
    uint32_t recvLen;
    uint32_t recvLeft;
    // Send progress.
    uint32_t sendPending;
    uint32_t sendOffset;
    uint32_t sendLeft;
    uint32_t nextType;
    uint64_t lastPts;
    uint32_t retry[NSTREAM_TYPES];
    // The pending request, under its lock (the MQTT worker writes it, the thread takes it).
    std::mutex requestLock;
    NSTREAM_REQUEST_S pending;
    // Reconnect back-off: the delay of the next reconnect and when it may start (tick ms).
    uint32_t backoffMs;
    uint64_t connectAt;
    // A frame's plain bytes, copied out of the ring before they are encrypted.
    uint8_t* plainBuf;
    uint32_t plainBufSize;
    // Bounds of a gateway that stalls (ms): the handshake's answer, a link that moves nothing, a
    // talk-back without audio; and the bytes the "local" diagnostics file may take. Set at the
    // start; tests shorten them.
    std::atomic<uint32_t> handshakeMs;
    std::atomic<uint32_t> stallMs;
    std::atomic<uint32_t> localFileMax;
    // TCP keep-alive of the link (s): idle time before the first probe, between probes, and the
    // unanswered probes that end it. The gateway has no heartbeat of its own, so a gateway whose
    // host or link is gone is found by these alone while nothing is sent.
    std::atomic<uint32_t> keepIdleS;
    std::atomic<uint32_t> keepIntvlS;
    std::atomic<uint32_t> keepCnt;
    // Thread only (tick ms): the connection's start, the last time the link moved (a byte
    // received or room to send), the last talk-back audio; the bytes in the local file.
    uint64_t connectedAt;
    uint64_t movedAt;
    uint64_t heardAt;
    uint32_t localBytes;
} NSTREAMER_S;

// The streamer (made and its thread started on the first call); null when a buffer cannot be had.
NSTREAMER_S* GetNStreamerInstance(void);
// 1 in *cnt while a connection exists (state not 0), else 0; 0.
int noxa_ipc_streamer_alive_cnt(uint32_t* cnt);
// The "wg" module's message {"header":..,"msg":..}: a stop or a new request. 0; -2 for a
// message without header or msg, or with a field missing or too long.
int ProcessMqttMessage(cJSON* msg);

// Tests: stops the streaming thread (the instance stays); the next GetNStreamerInstance starts
// it again.
void noxa_ipc_streamer_stop_thread(void);
