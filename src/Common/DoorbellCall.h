// Two small services that turn door events into cloud notifications: the motion push thread
// (a motion alarm becomes a snapshot notification, at most once a minute) and the doorbell call
// tracking (press notification, the phone's answer, a notification for an unanswered call, a
// video message when nobody answers), on one POSIX timer. Notifications never run on the caller's
// thread: the phone's answer comes on the MQTT task, whose PUBACKs a notification waits for, so
// they are handed to the door-phone worker.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>

// The press snapshot the call record keeps, and the motion push's buffer.
constexpr uint32_t kCallSnapshotMax = 102400;
constexpr uint32_t kMdSnapshotMax = 0x100000;
constexpr uint16_t kMdCooldownTicks = 6000;  // 60 s of the timer task
// The motion snapshot (the encoder's capture mode 0) and the press snapshot below the demo
// resources.
constexpr const char* kMdSnapshotFile = "/dev/demo_snapshot.jpg";
constexpr const char* kPressSnapshotFmt = "%s/resource/media/demo_snapshot.jpg";

enum DOORBELL_CALL_STATE_E : uint32_t {
    DOORBELL_IDLE = 0,
    DOORBELL_WAIT_MSG = 1,   // unanswered: a second press leaves a message
    DOORBELL_RECORDING = 2,  // a message is being recorded
    DOORBELL_TALKING = 3,
};

// True once the cloud link has been up.
bool IsCloudOnline();

// POSIX timers on the real-time clock, their callback run on a thread of its own. 0 or -1.
int CreateCallTimer(void (*callback)(union sigval), timer_t* out);
// One-shot when interval_ms is 0.
int ArmCallTimer(timer_t timer, uint64_t value_ms, uint64_t interval_ms);
int StopCallTimer(timer_t timer);
int DeleteCallTimer(timer_t timer);

// A doorbell press through the cloud (no caller on this unit: the intercom's call path notifies
// the cloud through the doorbell push).
void DoorbellPress();
// The phone's answer: "accept" (and any other text), "stop", "heartbeat". Returns at once.
void DoorbellStatusHandle(const char* status);
// 0 accept, 1 stop, 2 heartbeat.
void DoorbellStatus(int code);
// The call timer's callback, and what its expiry does (tests call the latter directly).
void DoorbellTimerCb(union sigval value);
void DoorbellTimerExpired();

// The motion snapshot for cloud recording and notifications: read into buf (102400 bytes) with
// its size. A picture that cannot be read whole (missing, 102400 bytes or more) counts as none:
// size 0 and -1.
int IPC_APP_read_snapshot(void* buf, int* size);
// The bytes of a picture file (board path) into buf: its size, or 0 when it is missing, empty or
// does not fit `capacity` (a cut JPEG is no picture).
uint32_t ReadSnapshotFile(const char* path, uint8_t* buf, uint32_t capacity);

// The motion push thread (link MdProcThread): MdProcPass in a loop.
void* thread_md_proc(void* arg);
// One pass: 1 when a motion alarm was taken (pushed or not), else 0.
int MdProcPass();
// Every wait of the motion push and the call tracking's worker hand-over; tests replace it.
extern void (*gMdSleep)(uint32_t ms);
// Call timers run this many times faster (tests; 1 on the unit).
extern uint32_t gCallTimerSpeedup;

// The call record as it is (tests).
struct DOORBELL_CALL_VIEW_S {
    uint32_t state;
    uint32_t pressed;
    uint32_t snapshotSize;
    uint64_t remainingMs;  // of the call timer, 0 when it is not armed
};
DOORBELL_CALL_VIEW_S DoorbellCallView();
// Waits until the notifications handed over so far have run (tests).
void DoorbellCallWaitIdle();

// Fills the links of the cloud-side start that this part answers, and those of the video-message
// service (its start, the doorbell's message, the phone's answers back to the call tracking).
void DoorbellCallInstall();
