// The seam through which the door-phone control, the board I/O, the timer task and the device
// files reach the rooms above them (the data points and cloud reports, the settings store, the
// recorder, the motion detection) without including them. The room that answers an entry fills
// it at start-up, before the first thread; every entry is filled in the unit, so an empty one is
// a wiring fault: DoorPhoneLink logs it once, naming the link, and nothing is done in its place.
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
    // Detection: 1 when a motion alarm came since the last call, which clears it (the motion
    // push thread's flag); empty: 0.
    int (*TakeMotionFlag)();
};

extern DOOR_PHONE_LINKS_S gDoorPhoneLinks;

// Logs an empty entry of gDoorPhoneLinks (`entry` is its address) as a wiring fault, once;
// entries of other tables are left to their callers.
void DoorPhoneLinkEmpty(const void* entry);

// Calls a link entry; an empty one of gDoorPhoneLinks is logged.
template <typename Fn, typename... Args>
inline void DoorPhoneLink(Fn& fn, Args... args)
{
    if (fn != nullptr) {
        fn(args...);
    } else {
        DoorPhoneLinkEmpty(&fn);
    }
}
