// Playback of the recordings on the SD card to a phone viewer: which days of a month have
// recordings, which recordings a day has (from the folder and file names the recorder leaves:
// "/mnt/sdcard/DVR/YYYYMMDD/HHMMSS_HHMMSS.mp4"), and one playback at a time from a moment of a
// recording on through the day's later recordings, frame by frame to the transfer module.
#pragma once

#include "noxa_ipc_sdk/p2p/transfer/noxa_ipc_transfer.h"

#include <cstdint>
#include <ctime>
#include <vector>

// Recordings lasting this long or more are not listed (a file lasts at most 65 s).
constexpr uint32_t kRecordListMaxSeconds = 120;

// Month query: year and month in, the bitmap of days with a recording folder out (bit d for day
// d, ORed into days).
struct PB_MONTH_QUERY_S {
    uint32_t Reserved;
    uint32_t Year;
    uint32_t Month;
    uint32_t Days;
};

// Day query: year, month and day in, the day's recordings out.
struct PB_DAY_QUERY_S {
    uint32_t Reserved;
    uint32_t Year;
    uint32_t Month;
    uint32_t Day;
    std::vector<PLAYBACK_TIME_S> Files;
};

// One listed recording: start and end in UTC seconds, and as local broken-down times.
struct RECORD_FILE_INFO_S {
    uint32_t Index;
    uint32_t StartTime;
    uint32_t EndTime;
    struct tm Start;
    struct tm End;
};

// 0, or -1 when "/mnt/sdcard/DVR" cannot be opened.
int SeekFileByMonth(PB_MONTH_QUERY_S* query);
// The day's recordings: 0 with at least one recording, else -1 (no files; a day without a folder
// is no error).
int SeekFileInfoByDate(PB_DAY_QUERY_S* query);
// The closed recordings of a day folder, in time order. 0, or -1 when the folder cannot be opened.
int ScanRecordDir(const char* directory, std::vector<RECORD_FILE_INFO_S>* list, uint32_t year, uint32_t month,
                  uint32_t day);

// Plays the recording [start, end] of the local day of `start` from playTime to `client`, then
// that day's later ones (as listed at the start: another viewer's day query changes nothing of
// it), video and the private PCM track; at the end of the last one the client is told that
// playback has finished. Stops a playback under way first. 0, or -1 when the day has no
// recording with that start and end.
int StartPlayback(uint32_t playTime, uint32_t start, uint32_t end, uint32_t client);
// Ends the playback and waits for its thread.
void StopPlayback();
void PausePlayback();
void ResumePlayback();
// 1 while a playback runs (event recordings do not start meanwhile).
uint8_t GetPlaybackState();
// The client of the running playback, or -1.
int PlaybackOwner();

// Where the playback goes; tests replace the transfer module's senders and the waits.
struct PLAYBACK_OUTPUT_S {
    int (*SendVideo)(uint32_t client, const TRANSFER_MEDIA_FRAME_S* frame);
    int (*SendFinish)(uint32_t client);
    int (*SendDayList)(uint32_t client, const PLAYBACK_TIME_S* files, uint32_t count);
    void (*Sleep)(uint32_t ms);
    int (*SendAudio)(uint32_t client, const TRANSFER_MEDIA_FRAME_S* frame);  // empty: no audio sent
};
extern PLAYBACK_OUTPUT_S gPlaybackOutput;

// Fills the viewer events' playback entries and the card format's playback stop.
void PlaybackInstallLinks();
