// Operations of parts of the unit that are not built yet (the data points and cloud reports,
// the settings store, the recorder, the motion detection) which the door-phone control, the
// board I/O, the timer task and the device files call. The part that provides one sets its entry
// at start-up; an empty entry means that part is not there and nothing is done in its place.
#pragma once

#include <cstdint>

struct DOOR_PHONE_LINKS_S {
    // Data points: a door ringing (idle 0) or no longer ringing (idle 1) (ResponedDoorbell).
    void (*RespondDoorbell)(uint8_t door, uint8_t idle);
    // Data points: a door's lock open (1) or closed (0) (ReportDoorLockState).
    void (*ReportDoorLockState)(uint8_t door, uint8_t open);
    // Service API: the channel list as a string data point (noxa_ipc_dp_report, id 231).
    void (*ReportChannelList)(const char* text);
    // Service API: the doorbell notification with its JPEG picture (length 0: none)
    // (noxa_ipc_notify_door_bell_press_generic).
    void (*NotifyDoorbell)(const uint8_t* jpeg, uint32_t length);
    // Settings store getters read at start: motion alarm on/off, SD recording on/off, watermark.
    uint8_t (*AlarmSetting)();
    uint8_t (*SdRecordSetting)();
    uint32_t (*WatermarkSetting)();
    // Recorder: stops a running recording (MP4RecordStop).
    void (*RecordStop)();
    // Detection: 1 while the motion alarm is on (GetMDMsgState); switches it (NoxaMDMsgHandle).
    uint8_t (*MotionAlarmState)();
    void (*MotionAlarmSwitch)(uint8_t on);
    // Detection: the motion flag of the alarm decision, read and cleared (empty: 0, no motion).
    int (*TakeMotionFlag)();
};

extern DOOR_PHONE_LINKS_S gDoorPhoneLinks;

// Calls a link when it is set.
template <typename Fn, typename... Args>
inline void DoorPhoneLink(Fn fn, Args... args)
{
    if (fn != nullptr) {
        fn(args...);
    }
}
