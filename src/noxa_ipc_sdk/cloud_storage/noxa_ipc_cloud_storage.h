// Cloud storage: the main video stream (and its audio) recorded into the cloud's object store.
// One thread reads the media ring buffer as reader 1, packs frames into slices held in memory
// (24-byte frame records, key and audio frames encrypted under the cloud-storage key and the
// fixed IV), and uploads each slice as one object "<group start>_<offset>.media". The cloud is
// told when a group starts and stops and about the events inside a group; it chooses the mode
// ("alltime" or "event") through its storage configuration and protocols 300 and 307.
//
// Ages of the configuration run on the monotonic clock (uni_get_tick_ms); slice, group and
// midnight turns on the frames' time stamps; object names and event times are posix seconds.
#pragma once

#include "noxa_ipc_sdk/noxa_ipc_media.h"

#include <cstdint>

// Results of this module besides -1, -2, -3.
#define CS_ERR_CHANGED (-2015)      // slice or group changed: the frame goes into the next one
#define CS_ERR_NEW_KEY (-2001)      // the cloud handed out a new key
#define CS_ERR_DISABLED (-2000)     // paused, wrong type or event refused
#define CS_ERR_NO_ORDER (-2004)     // no valid order: type none
#define CS_ERR_NOTIFY (-803)        // the start notification failed or its key is unusable
#define CS_ERR_UPLOAD (-5)          // an upload failed
#define CS_ERR_BUFFER_FULL (-112)   // the slice was forced out by a full buffer
#define CS_ERR_KV_WRITE (-934)

// The cloud type: what the thread records.
typedef enum {
    CS_TYPE_ALLTIME = 0,
    CS_TYPE_EVENT = 1,
    CS_TYPE_NONE = 2,
} CS_TYPE_E;

// The manager's group state.
typedef enum {
    CS_STATE_IDLE = 0,
    CS_STATE_OPEN = 2,
    CS_STATE_STOPPED = 4,
} CS_STATE_E;

#define CS_EVENT_NUM 6
#define CS_EVENT_TYPE_MAX 23   // types 0..22; 23 marks a cleared entry
#define CS_EVENT_TYPE_MQTT 2   // an event the cloud triggered (307): carries its source text
#define CS_EVENT_TYPE_SILENT 16
#define CS_SNAPSHOT_MAX 102400

// 0; -2 NULL argument or a main bitrate above 2048 kbps; -1 already inited or the thread could not
// start; -3 no memory. Starts the thread and installs the protocol 300 and 307 callbacks.
int noxa_ipc_cloud_storage_init(const NOXA_MEDIA_INFO_S* media, const NOXA_HW_AES_CBS_S* aes);
// Stops the thread, force-stops the events, releases the log sequence.
void noxa_ipc_cloud_storage_uninit(void);
int noxa_ipc_cloud_storage_set_pre_record_time(int secs);
// An event [now, now + duration] with its picture: the event id, or -1.
int noxa_ipc_cloud_storage_event_add(const uint8_t* snapshot, uint32_t snapshot_size, uint32_t type,
                                     uint32_t duration);
// A motion (0) or doorbell (1) event until stopped. 0, -1, -2, -2000, or the upload's error.
int noxa_ipc_cloud_storage_event_start(const uint8_t* snapshot, uint32_t snapshot_size, uint32_t type);
int noxa_ipc_cloud_storage_event_stop(void);
int noxa_ipc_cloud_storage_event_delete(int id);
int noxa_ipc_cloud_storage_event_notify(int id, uint32_t type);
int noxa_ipc_cloud_storage_set_event_type(int id, uint32_t type);
int noxa_ipc_cloud_storage_get_event_status(uint32_t type);
int noxa_ipc_cloud_storage_get_event_status_by_id(int id);
void noxa_ipc_cloud_storage_pause(void);
void noxa_ipc_cloud_storage_resume(void);
void noxa_ipc_cloud_storage_set_audio_stat(int on);

// The application's snapshot reader (a JPEG of at most *size bytes into buf; 0 on success), used
// by cloud-triggered events. Set at start; empty: those events go without a picture.
typedef int (*CS_SNAPSHOT_READER)(void* buf, int* size);
void noxa_ipc_cloud_storage_set_snapshot_reader(CS_SNAPSHOT_READER reader);

// Asks the encoder of the channel for a key frame at once (the live view's start asks the same
// way). Set at start; empty: a slice forced out by a full buffer waits for the next group of
// pictures (a wiring fault, logged once).
typedef void (*CS_KEY_FRAME_REQUEST)(int channel);
void noxa_ipc_cloud_storage_set_key_frame_request(CS_KEY_FRAME_REQUEST request);

// The protocol 300 and 307 callbacks (installed by init).
int __cloud_storage_order_change_callback(const char* action, const char* store_mode);
int __cloud_storage_iot_event_trigger_callback(const char* action, int duration, const char* ext);

// ---- for tests and benchmarks ----
// With 0, init starts no thread (nor the 307 task threads: they run at once); the test calls the
// pass itself. One pass of the thread: the milliseconds it would sleep after it.
void noxa_ipc_cloud_storage_threads_for_test(int on);
uint32_t noxa_ipc_cloud_storage_pass(void);
// What the manager holds now.
typedef struct {
    int32_t state;          // CS_STATE_E
    uint32_t type;          // CS_TYPE_E
    uint32_t slice_duration;
    uint32_t group_start;
    uint32_t slice_start;
    uint32_t last_end_time;
    uint32_t buffer_used;
    uint32_t buffer_capacity;
    char key[17];
    char md5[33];
    char media_name[32];
    uint32_t slices_uploaded;  // since init
    uint64_t upload_ms_last;   // the last slice upload's duration (monotonic)
    uint64_t last_frame_ms;    // time stamp of the last frame stored
} CS_STATUS_S;
void noxa_ipc_cloud_storage_status(CS_STATUS_S* st);
