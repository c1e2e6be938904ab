// The recorder: channel 0's H.264 into MP4 files on the SD card, one at a time, under a folder per
// day ("/mnt/sdcard/DVR/YYYYMMDD/HHMMSS.mp4" while open, "HHMMSS_HHMMSS.mp4" once closed). The
// detection thread starts, holds and stops recordings, the encoder thread feeds them, the timer
// task ends them after 65 s, and whatever needs the card or the camera stops them.
//
// Locks: the record lock (RecordFile.h) guards the recorder's record and is held only briefly,
// so the encoder thread never waits long; the slow card work of a start (making room, creating
// the file) and of a stop (the trailer, the sync, the rename), and the recovery of cut files,
// run one at a time under the recorder's file lock, taken before the record lock.
#pragma once

#include <cstdint>

constexpr uint16_t kRecordTimerTicks = 6500;  // a file lasts at most 65 s
constexpr uint16_t kRecordHoldTicks = 500;    // an event recording runs 5 s past its last alarm

// 1 while a file is open (read without the lock).
uint8_t GetMP4RecordState();
// Opens a new file: 0, or -1 when already recording, the card has no room (FreeSize) or the
// file cannot be created. Opens the AAC encoder, arms the record timer and the hold and asks for
// a key frame.
int MP4RecordStart();
// Closes the open file (if any) under its final name and returns the recorder to idle; the
// record timer and hold are stopped and the AAC encoder closed in every case.
void MP4RecordStop();
// Record hold countdown = 5 s.
void MP4RecordHold();
// One NAL unit of channel 0, led by its 4-byte start code (counted in length), of H.264 type 1,
// 5, 7 or 8. The first SPS, then the first PPS after it, make the track; slices are written
// from then on, each over its own start code (the buffer's first four bytes are overwritten).
// Returns 0 (the encoder thread does not look at failures: a failed write closes the file).
int MP4Encoder_WriteVideo(uint8_t* nal, uint32_t length, uint32_t nalType, uint64_t pts);

// The audio tracks of the open file: AAC-LC at 8 kHz, mono, and the private track of 16-bit PCM
// at 8 kHz (which makes the file a QuickTime one: the MP4 muxer takes no such track). Only before
// the first key frame has written the file's header (refused, -1, and logged after it, or with no
// file open). 0 or -1.
int MP4AddAudioTracks();
// One ADTS frame of the AAC encoder into the audio track, without its header, lasting 1024
// samples. Taken only once the file's header is out; the first four after the file's open are
// dropped (the encoder's start). 0 written or dropped, -1 no ADTS frame or a failed write (which
// closes the file, as for video).
int MP4Encoder_WriteAAC(const uint8_t* adts, uint32_t length);
// 16-bit mono samples at 8 kHz into the private track, lasting length / 2 samples. Taken only
// once the file's header is out; 0 written or nothing to write to, -1 an odd or empty length or a
// failed write (which closes the file).
int MP4Encoder_WritePCM(const uint8_t* pcm, uint32_t length);
// One sample of 3600 (40 ms) into the further track: -1 while the file has none, which is always
// (nothing adds it); a failed write closes the file.
int MP4Encoder_WriteFurtherTrack(const uint8_t* data, uint32_t length);

// Event recording start of the detection thread: MP4RecordStart when recording is allowed
// (card mounted, SD recording on, not in floor model), no playback runs, the recorder is idle
// and the hold is stopped. MP4RecordStart's result, or -1 when not allowed.
int MotionRecordStart();

// A recording cut by a power loss (still under its start name): cut after its last complete
// fragment and renamed "HHMMSS_HHMMSS.mp4", end = start + duration. 1 recovered; 0 left alone
// (the recorder's open file, a file that cannot be read now); -1 nothing to keep (no complete
// fragment, or a name that is no start name), which the caller removes.
int MP4RecoverFile(const char* unitPath);
// The card thread, once per newly mounted card: ClearBadFile under the file lock, so nothing of
// the recorder runs meanwhile.
void MP4RecoverRecordings();

// Fills the links of the encoder thread, the card and the door-phone control with the recorder.
void Mp4RecordInstallLinks();
