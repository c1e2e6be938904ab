// The detection thread: each pass takes two frames of the detection picture 120 ms apart, runs
// the person and the motion detection on them and decides whether the pass is a motion alarm.
// An alarm raises the motion push's flag and starts or holds an event recording; every pass
// keeps the recordings of the record mode going (an event recording ends 5 s after its last
// alarm, once it has lasted 10 s; continuous recording opens the next file as soon as one
// closes). The same module applies the alarm zone to the scaler channel of the detection picture.
#pragma once

#include "platform/mi/mi_sys.h"

#include <cstdint>

constexpr uint32_t kDetectStartDelayMs = 5000;  // the picture settles after start-up
constexpr uint32_t kDetectFrameGapMs = 120;     // between the two frames of a pass
constexpr uint32_t kDetectPassGapMs = 60;       // after a pass
// An event recording stops only once the record timer is down to this (1001 ticks recorded).
constexpr uint16_t kEventRecordStopTimerMax = 5499;
// A person keeps the human flag up for this many passes without one.
constexpr uint8_t kHumanMissMax = 20;

// Starts DetectThread (run flag 1). The pthread_create result.
int StartDetectThread();
// Clears the run flag and waits for the thread, which finishes its pass and releases the
// detectors. Nothing when it does not run.
void StopDetectThread();
// 1 while the thread is to run.
uint8_t GetDetectThreadRun();
void* DetectThread(void* arg);

// One turn of the thread's loop: frame A, the wait, frame B, the pass and the recording upkeep,
// both frames given back (B first), the wait. True when both frames were taken.
bool DetectThreadStep();
// The decision of one pass on frames A and B: the detectors, the human flag, and on an alarm
// the push flag, the event start and the hold. 1 when the pass is an alarm.
uint8_t DetectPass(const MI_SYS_BufInfo_t* a, const MI_SYS_BufInfo_t* b);
// The record mode's upkeep, every pass that had both frames.
void RecordingUpkeep();

// The alarm of a pass: a flagged person (human filter on) whatever the motion; with the filter
// off, any motion (a non-zero count, failures included).
uint8_t CheckMotionAlarm(int32_t changedBlocks);
// The human flag: up on a person found, down on the 21st pass in a row without one.
void SetHumanFliterResult(uint8_t found);
uint8_t GetHumanFliterResult();
// 2 with the human filter off, else the human flag (1 or 0).
int CheckHumanFliter();

// The alarm zone (percent of the picture) on the detection picture: when on, the crop of the
// 640x360 input and the output size follow x, y, width and height; when off, the whole picture
// at 480x288. The crop is kept inside the picture and both are at least 32x32. 0, or the status
// of the last SoC call that failed.
int MotionDetectSetZone(uint8_t on, uint8_t x, uint8_t y, uint8_t width, uint8_t height);

// The motion push's flag, read and cleared at once: 1 when an alarm came since the last call.
int TakeMotionPushFlag();

// The detectors and the waits of the thread; tests replace them.
struct DETECT_OPS_S {
    int (*Human)(const MI_SYS_BufInfo_t* a, const MI_SYS_BufInfo_t* b);
    int (*Motion)(const MI_SYS_BufInfo_t* a, const MI_SYS_BufInfo_t* b);
    // A wait of the thread; the default one ends early when the thread is stopped.
    void (*Sleep)(uint32_t ms);
};
extern DETECT_OPS_S gDetectOps;

// Fills the settings store's zone link and the push thread's motion flag link.
void DetectThreadInstallLinks();
