// Door-phone control: the unit's main state (idle, call, monitor, talk, coding busy), the bus
// thread ProcessTalkData that acts on the orders heard on the intercom bus, the room address of a
// floor-model bus, the take-up room and the unlock session, and the doorbell push (snapshot,
// delay, SendImageThread). The ring and key threads, the timer task and the viewer events drive
// the same state through the operations here.
#pragma once

#include <cstdint>

// SystemMainState: the main state in the high byte, door + 1 in the low byte (1 = door 0,
// "Door 1"; 2 = door 1, "Door 2").
enum SYSTEM_MAIN_STATE_E : uint16_t {
    SYS_STATE_IDLE = 0x0000,
    SYS_STATE_CALL = 0x0100,         // a door rings
    SYS_STATE_MONITOR = 0x0200,      // a viewer or the motion detection watches a door
    SYS_STATE_TALK = 0x0300,
    SYS_STATE_CODING_BUSY = 0x0500,  // another room of a floor-model bus is busy
};

// Orders of the intercom bus: talk orders 0..17, coding orders 32 and above.
enum COM_ORDER_E : uint8_t {
    ComOrder_DeviceTriger = 0,    // a door station calls
    ComOrder_StateQuery = 3,      // a station asks for the unit's state
    ComOrder_TakeOff = 5,         // a room hangs up
    ComOrder_MonitorOn = 6,       // a door is asked to show
    ComOrder_TakeUp = 8,          // a room takes the call up (from the unit: talk start)
    ComOrder_GateOpen = 12,
    ComOrder_UnLock = 13,
    ComOrder_UnLockFeedback = 14, // the door station reports the lock open for value1 seconds
    ComOrder_StateQuery2 = 16,
    ComOrder_StateReply = 17,
    ComOrder_CodingCall = 32,
    ComOrder_CodingBusy = 35,
    ComOrder_CodingRing = 36,
    ComOrder_CodingAnswer = 38,
    ComOrder_CodingUnlock = 40,
    ComOrder_CodingTakeOff = 42,
    ComOrder_CodingAssign = 44,
    ComOrder_CodingAddress = 46,  // the unit tells its room address
    ComOrder_CodingConfig = 47,
    ComOrder_CodingTalk = 58,
};

// Countdown values of the door-phone control, in 10 ms ticks.
constexpr uint16_t kCallTimeoutBaseTicks = 3000;      // plus the push-delay setting
constexpr uint16_t kMonitorTimeoutTicks = 9600;
constexpr uint16_t kFloorSessionTicks = 12400;
constexpr uint16_t kTakeUpTimeoutTicks = 200;
constexpr uint16_t kUnlockSessionTicks = 500;
constexpr uint16_t kViewingTicks = 200;
constexpr uint16_t kCodingReplyTicks = 200;
constexpr uint16_t kPushGuardTicks = 1000;
constexpr uint16_t kPushWaitTicks = 200;
constexpr uint16_t kCallRingGuardTicks = 500;    // ring pulse guard after a call order
constexpr uint16_t kCodingRingGuardTicks = 300;  // ring pulse guard after a coding ring
constexpr uint16_t kMotionResumeLongTicks = 3500;
constexpr uint16_t kMotionResumeShortTicks = 500;
constexpr uint32_t kPushDelayMin = 100;  // a setting below this is taken as 15 ticks
constexpr uint32_t kPushDelayShort = 15;

constexpr const char* kSnapshotFile = "/dev/demo_snapshot.jpg";
constexpr const char* kLogoFile = "/customer/res/logo.jpg";
constexpr long kSnapshotMaxBytes = 0x100000;  // 1 MiB

// The main state (SystemMainState AND 0xFF00) and the door + 1 byte.
uint16_t GetSystemMainState();
uint8_t GetSystemSubState();
// Stores the state and sets the countdowns that go with it: the call time-out (call: 3000 +
// push delay; monitor, talk: 9600; idle, coding busy: stopped), the motion resume and the push
// wait guard, and the floor-model session (12400 in floor model for call, talk, coding busy).
void SetSystemMainState(uint16_t value);

// Start-up step 7: the alarm, SD-record and watermark settings into gDeviceState.
void LoadDoorSettings();

// Whether the motion alarm, motion recording and plain detection may run now: never on a
// floor-model bus; recording also needs the card and its setting, the alarm its setting.
int MotionAlarmAllowed();
int MotionRecordAllowed();
int DetectionAllowed();

// The intercom side of watching a door: on asks the door to show (talk order 6), off hangs up
// (talk order 5, after coding order 42 while the unit's user talks on a floor-model bus).
void ComMonitorControl(uint8_t door, int on);
// The board's monitor path and then the intercom side.
void DoorMonitorControl(uint8_t door, int on);
// Asks the bus to open a door (talk order 13, or coding order 40 on a floor-model bus); 0 when
// the order was queued for the bus, -1 when it was not (logged).
int DoorUnlock(uint8_t door);
// The lock pulse of the current door and the unlock order on the bus.
void UnlockCurrentDoor();
// The gate pulse and the gate order on the bus (talk order 12).
void GateOpen();
// Both doors back to "not ringing" and the ring tone off.
void RingReset();

// The doorbell push: arms the ring thread's push guard and marks a push in progress, then hands
// the waits for the picture, the snapshot and the push delay (at whose end the timer task starts
// SendImageThread) to the door-phone worker, so the caller never waits. Returns at once while a
// push started less than 2 s ago (only the push guard is re-armed) or its waits run.
void PushMsgTrigger();
// The worker's part of the push: the waits (door 1 or no video 1 s, floor-model door 0 5 s, up
// to 11 x 200 ms while the picture changes, 1 s), the snapshot and the push delay. Ends early,
// with nothing armed, once the push is cancelled.
void PushCapture(bool floor, uint8_t door, int videoLoss);
// A take-up: the push delay stops and a push whose waits run takes no snapshot.
void PushCancel();
// Waits until the worker has finished the push (tests, an orderly stop).
void PushWaitIdle();
// Starts SendImageThread (detached). The pthread_create result.
int StartSendImageThread();
void* SendImageThread(void* arg);
// The body of SendImageThread: waits for the snapshot (at most 11 waits of 300 ms), reads it
// (or the logo), hands it to the doorbell notification and removes the snapshot. Returns the
// bytes of the picture (0: a push without picture), or -1 when neither file opened.
int SendDoorbellImage();

// Stops a running recording, flushes the file systems and restarts the board. Does not return.
[[noreturn]] void SafeReboot();

// The bus thread, started by start-up step 15 after InitTalkSerial.
int StartProcessTalkData();
void* ProcessTalkData(void* arg);
// Its start: floor model off, the command queues, the room address from the room file, the
// announce frame and coding order 46. 0, or -1 when the command queue could not be made.
int ProcessTalkDataInit();
// One pass of the bus thread: the link's pass (one queued order, bytes, echo tick) and every
// frame heard handed to HandleTalkFrame. The number of frames handled.
int ProcessTalkPass();
// The order handling of one received frame (decoded, 12 bytes).
void HandleTalkFrame(const uint8_t* frame12);

// Session end after an unlock: idle, monitor off, and where motion watching is allowed the
// unit goes back to watching door 0.
void DoorSessionEnd();

// Countdown actions of the timer task.
void PushDelayExpired();
void FloorSessionExpired();
void CallTimeoutExpired();
void UnlockSessionExpired();
// A door the phone opened through the bus is reported closed again.
void BusUnlockExpired(uint8_t door);
void MotionResumeExpired();
void RecordTimerExpired();
void CodingReplyExpired();
