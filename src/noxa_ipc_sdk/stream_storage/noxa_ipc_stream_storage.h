// SD event storage: the live media of the ring buffer written to the card as event folders of
// raw frame files, the card kept usable (write test, free-space watch, the oldest events deleted),
// and the playback and download of those events for the phone viewers.
//
// Layout on the card (DCIM = base path + "/DCIM"):
//   DCIM/YYYY/MM/DD/<event start, 10 digits>_<duration, 4 digits>/   one event ("_0000" while open)
//     0000.media, 0010.media, ...   slices, named by their start in seconds since the event start
//     .info                         {"version":1,"eventType":n,"codec":n}
// A ".media" file is a sequence of records: the 24-byte STORAGE_FRAME_HEAD_S (u32 type, u32 size,
// u64 timestamp ms, u64 pts, little-endian) and then size bytes of frame data. No file header.
//
// The application of this unit records its own MP4 files and never starts this storage: only the
// viewer-event calls and the format worker's write mode reach it, and they are refused.
#pragma once

#include "noxa_ipc_sdk/noxa_ipc_media.h"
#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"  // STORAGE_FRAME_HEAD_S

#include <cstdint>

#define STORAGE_FRAME_HEAD_SIZE 24

// The storage status word.
typedef enum {
    E_STORAGE_STOP = 0,           // idle, no event open
    E_STORAGE_START = 1,          // start requested
    E_STORAGE_ONGOING = 2,        // an event folder is open
    E_STORAGE_READY_TO_STOP = 3,  // stop requested
    E_STORAGE_RESTART = 4,        // close the event and open a new one at the next frame
    E_STORAGE_UNWRITEABLE = 5,    // the card cannot be written
    E_STORAGE_UNKNOWN = 6,        // treated as idle
} STORAGE_STATUS_E;

typedef enum {
    SS_WRITE_MODE_NONE = 0,   // nothing is written
    SS_WRITE_MODE_EVENT = 1,  // events between start and stop (or their time limit)
    SS_WRITE_MODE_ALL = 2,    // the stream continuously, new folders at a day change or a split
} SS_WRITE_MODE_E;

// What the application tells the storage about the card. An empty entry answers as no card:
// status 0, no mount path, no space, record mode 0, no remount.
struct NOXA_SS_SD_HOOKS_S {
    int (*CardStatus)(void);          // get_sd_card_status: 1 usable, 2 not usable, 5 no card, 0 unknown
    const char* (*MountPath)(void);   // get_sd_card_mount_path
    void (*Capacity)(uint32_t* totalKb, uint32_t* usedKb, uint32_t* freeKb);  // get_sd_card_capacity
    int (*RecordMode)(void);          // get_sd_record_mode: 0 off, 1 event, 2 all-time
    void (*Remount)(void);            // remount_sd_card
};
extern NOXA_SS_SD_HOOKS_S gNoxaSsSdHooks;

// 0; -2 no base path or a main video codec above 98; -1 already initialised or no thread.
// Starts the disk monitor, which makes storing possible once it finds the card usable.
int noxa_ipc_ss_init(const char* base_path, const NOXA_MEDIA_INFO_S* media, uint32_t max_event_per_day);
// Stops both threads (an open event is closed first) and frees the buffers.
void noxa_ipc_ss_uninit(void);
// 0..2 (SS_WRITE_MODE_E). 0; -1 storing not possible ("storage not inited"); -2 bad mode.
int noxa_ipc_ss_set_write_mode(uint32_t mode);
// Deletes every event it can, then restores the write mode. 0; -1 storing not possible.
int noxa_ipc_ss_delete_all_files(void);
// 1: audio kept; 0: audio frames written as zero bytes of the same size. 0.
int noxa_ipc_ss_set_data_mode(uint32_t enable);
// Event mode only. 0, or -1 (not event mode, an event already runs / none runs).
int noxa_ipc_ss_start_event(void);
int noxa_ipc_ss_stop_event(void);
int noxa_ipc_ss_start_event_by_type(uint32_t type);
int noxa_ipc_ss_stop_event_by_type(uint32_t type);
// An event of `duration` seconds, or that much longer when one runs. 0; -2 too long; -1 refused.
int noxa_ipc_ss_trigger_event(uint32_t duration);
// Below 10 s. 0; -1.
int noxa_ipc_ss_set_pre_record_time(uint32_t seconds);
// At most 600 s. 0; -1.
int noxa_ipc_ss_set_max_event_duration(uint32_t seconds);
STORAGE_STATUS_E noxa_ipc_ss_get_status(void);
// 0 DCIM has no event; 1, 2, 3 an empty year, month, day folder removed; 4 the oldest event
// deleted; 5 nothing deleted (not possible now, or the oldest event is recording or played); 6 a
// removal failed (that entry is passed over next time).
int noxa_ipc_ss_delete_oldest_event(void);

// Threads as loops around steps. Tests switch the threads off before noxa_ipc_ss_init and drive
// the steps themselves.
void noxa_ipc_ss_threads_for_test(int on);
// One round of the disk monitor. 1 when the next round should follow at once.
int noxa_ipc_ss_disk_monitor_round(void);
// One pass of the storage thread: the milliseconds its loop would sleep (0: a frame was written).
uint32_t noxa_ipc_ss_storage_pass(void);

// ---- Playback and download ----

#define SS_PB_SLOT_NUM 10

typedef enum {
    SS_PB_MUTE = 0,
    SS_PB_UNMUTE = 1,
    SS_PB_PAUSE = 2,
    SS_PB_RESUME = 3,
} SS_PB_STATUS_E;

typedef enum {
    SS_DL_IDLE = 0,
    SS_DL_START = 1,
    SS_DL_STOP = 2,  // only stored
    SS_DL_PAUSE = 3,
    SS_DL_RESUME = 4,
    SS_DL_CANCLE = 5,
} SS_DOWNLOAD_STATUS_E;

// One event of a day: PLAYBACK_TIME_S (noxa_ipc_transfer.h) with the event type from its ".info",
// the start from the folder name and the end at start + duration.

// A day's events, oldest first; allocated by the day query, freed with
// noxa_ipc_pb_query_free_ts_arr.
typedef struct {
    uint32_t file_count;
    PLAYBACK_TIME_S* file_arr;  // file_count entries, in the same allocation
} PLAYBACK_TIME_ARR_S;

// The time range being played.
typedef struct {
    uint32_t type;
    uint32_t start;  // s since 1970
    uint32_t end;
} SS_PB_FRAGMENT_S;

// A played frame, in the media pipeline's frame record layout. data is the slot's send buffer,
// valid during the callback.
typedef struct {
    uint32_t type;  // MEDIA_FRAME_TYPE_E; video of an H.265 event has bit 8 set
    uint8_t* data;
    uint32_t size;
    uint32_t reserved;
    uint64_t pts;
    uint64_t timestamp;  // ms since 1970
} SS_PB_FRAME_S;

#define SS_PB_H265_FLAG 0x100

typedef void (*SS_PB_FINISH_CB)(uint32_t slot, int arg1, int arg2);
typedef void (*SS_PB_VIDEO_CB)(uint32_t slot, const SS_PB_FRAME_S* frame, uint64_t timestamp);
typedef void (*SS_PB_AUDIO_CB)(uint32_t slot, const SS_PB_FRAME_S* frame);

// Bit d of *bitmap for each day folder 01..31 of the month. 0 (a missing month gives 0); -2 no
// output.
int noxa_ipc_pb_query_by_month(uint32_t year, uint32_t month, uint32_t* bitmap);
// The events of a day for slot 0..9; the slot will play up to the end of the last one. 0; -2 no
// output or bad slot; -3 no memory; -1 more events than the maximum per day.
int noxa_ipc_pb_query_by_day(uint32_t slot, uint32_t year, uint32_t month, uint32_t day,
                             PLAYBACK_TIME_ARR_S** result);
int noxa_ipc_pb_query_free_ts_arr(PLAYBACK_TIME_ARR_S* result);

// Starts slot 0..9: its task hands the frames it plays to the callbacks. A started slot only
// takes the end of the last day query and is unpaused. 0; -2 bad slot; -1 no memory or thread.
int noxa_ipc_ss_pb_start(uint32_t slot, SS_PB_FINISH_CB finishCb, SS_PB_VIDEO_CB videoCb, SS_PB_AUDIO_CB audioCb);
// Plays `fragment` from `time` (within it). 0; -2 bad slot or fragment, slot not started, time
// outside; -1 nothing found.
int noxa_ipc_ss_pb_seek(uint32_t slot, const SS_PB_FRAGMENT_S* fragment, uint32_t time);
// status SS_PB_STATUS_E. 0; -2 bad slot or slot not started.
int noxa_ipc_ss_pb_set_status(uint32_t slot, int status);
// Ends the slot's task (and its download) and clears the slot. 0; -2 bad slot.
int noxa_ipc_ss_pb_stop(uint32_t slot);
int noxa_ipc_ss_pb_stop_all(void);
// -10..50 ms taken off every pacing sleep. 0; -1.
int noxa_ipc_ss_pb_accelerate_send_frame(int time_ms);

// Prepares the download of the event that starts at range[0] (s since 1970) for slot 0..9.
// 0; -1 storing not possible, no range or no such event; -2 bad slot or a download running.
int noxa_ipc_ss_donwload_pre(uint32_t slot, const uint32_t* range);
// status SS_DOWNLOAD_STATUS_E: 1 starts the prepared download (the slot must be started),
// 3 pauses, 4 resumes, 5 cancels. 0; -2 bad slot or slot not started; -1 refused.
int noxa_ipc_ss_download_set_status(uint32_t slot, int status);
