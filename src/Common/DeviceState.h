// gDeviceState: the door-phone state record, one process-wide instance. Other threads read and
// write its words without a lock, so the shared words are atomics.
#pragma once

#include "ComPort.h"
#include "Countdown.h"
#include "I2C.h"

#include <atomic>
#include <cstdint>
#include <mutex>

struct DEVICE_STATE_S {
    // Countdowns of the timer task, in the order it runs them.
    Countdown PushDelayTimer{kCountdownStopped};       // doorbell push delay
    Countdown MinuteTimer{kCountdownStopped};          // uptime minutes
    Countdown UnlockHoldTimer{kCountdownStopped};      // door lock output pulse
    Countdown FloorSessionTimer{kCountdownStopped};    // floor-model call/talk session
    Countdown CallTimeoutTimer{kCountdownStopped};     // call/monitor time-out
    Countdown MotionResumeTimer{kCountdownStopped};    // motion alarm back on
    Countdown ViewingTimer{kCountdownStopped};         // viewing mark and key frame
    Countdown KeyWindowTimer{kCountdownStopped};       // key press window
    Countdown CodingReplyTimer{kCountdownStopped};     // coding reply on the bus
    Countdown UnlockSessionTimer{kCountdownStopped};   // unlock session end
    Countdown BusUnlockTimer[2] = {{kCountdownStopped}, {kCountdownStopped}};  // a door opened on the bus closes
    Countdown RecordTimer{kCountdownStopped};          // MP4 recording length
    Countdown VideoSettleTimer{0};                     // not initialised by the timer task
    Countdown AnnounceGuardTimer{kCountdownStopped};   // bus announce frame guard
    Countdown LevelGuardTimer{kCountdownStopped};      // bus level frame guard
    Countdown RingPulseGuardTimer{kCountdownStopped};  // ring output pulse guard
    Countdown MotionCooldownTimer{kCountdownStopped};  // motion push cool-down
    Countdown CaptureWaitTimer{kCountdownStopped};     // snapshot capture arm
    Countdown TalkAudioSettleTimer{kCountdownStopped}; // talk audio settle
    Countdown PushGuardTimer{kCountdownStopped};       // not initialised by the timer task
    Countdown RingToneTimer{kCountdownStopped};        // ring tone length
    Countdown RecordHoldTimer{kCountdownStopped};      // not initialised; held at 0 once expired

    // Settings copied from the settings store at start (LoadDoorSettings); the values are those
    // of a unit whose settings were never changed.
    std::atomic<uint8_t> AlarmSetting{0};       // 1: motion alarm on
    std::atomic<uint8_t> SdRecordSetting{0};    // 1: SD recording on
    std::atomic<uint32_t> WatermarkSetting{1};  // 1: time stamp shown

    // Door-phone state (kept by the door-phone control, DoorPhone.h).
    std::atomic<uint16_t> SystemMainState{0};  // high byte main state, low byte door + 1
    std::atomic<int32_t> ViewerCount{0};       // cloud viewers watching
    std::atomic<uint32_t> DoorAddress{0};      // calling station's address on a floor-model bus
    std::atomic<uint32_t> CodingAddress{0};    // the unit's room address
    std::atomic<uint8_t> TakeUpRoom{255};      // source number of the room that took the call, 255 none
    std::atomic<uint8_t> TalkFlag{0};          // 1: the unit's user talks through a floor-model bus
    std::atomic<uint8_t> ViewingMark{0};       // 1 while a live session with a door runs

    // Intercom bus link. The records below the queue ids are touched only under the link's lock.
    std::atomic<int> MsgQueueId2{-1};  // second queue: created, never read
    std::atomic<int> CmdQueueId{-1};   // command queue of the bus thread; -1 until created
    uint8_t LastSent[kComEchoPending][kComFrameLen] = {};
    uint8_t LastSentIndex = 0;
    COM_PORT_REC_S ComPort[kComPortCount];
    std::atomic<uint32_t> BusFree{0};

    // Board I/O.
    std::atomic<uint32_t> KeyStep{0};          // key step counter; the key owns the LEDs while non-zero
    std::atomic<uint32_t> LedPattern{0};       // what the LED thread shows
    std::atomic<uint32_t> LedPatternSaved{0};  // the pattern to restore after the key window
    uint8_t Hc595Image = 0;                    // 74HC595 outputs; changed only under the register's lock
    std::atomic<uint8_t*> Hc595ImagePtr{nullptr};  // null until the register is set up
    I2C_BUS_S I2cBus[kI2cBusCount];

    // Names of door 0 and door 1 as the user calls them; touched only under the lock of the
    // device files (ConfigFileParse.h).
    char ChannelName[2][36] = {};

    // Network set-up: held by each pass of the network status thread and by a Wi-Fi join.
    std::mutex NetMutex;
};

extern DEVICE_STATE_S gDeviceState;

// Guard of the doorbell push trigger: a trigger returns at once while it runs.
extern Countdown gPushWaitTimer;
