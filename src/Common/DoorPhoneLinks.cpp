#include "DoorPhoneLinks.h"

#include "AppLog.h"

#include <atomic>
#include <cstddef>
#include <iterator>

void DoorPhoneLinkEmpty(const void* entry)
{
    const DOOR_PHONE_LINKS_S& l = gDoorPhoneLinks;
    const struct {
        const void* at;
        const char* name;
    } kEntries[] = {
        {&l.RespondDoorbell, "RespondDoorbell"},
        {&l.ReportDoorLockState, "ReportDoorLockState"},
        {&l.ReportChannelList, "ReportChannelList"},
        {&l.NotifyDoorbell, "NotifyDoorbell"},
        {&l.AlarmSetting, "AlarmSetting"},
        {&l.SdRecordSetting, "SdRecordSetting"},
        {&l.WatermarkSetting, "WatermarkSetting"},
        {&l.RecordStop, "RecordStop"},
        {&l.MotionAlarmState, "MotionAlarmState"},
        {&l.MotionAlarmSwitch, "MotionAlarmSwitch"},
        {&l.TakeMotionFlag, "TakeMotionFlag"},
    };
    static std::atomic<uint32_t> logged{0};
    for (size_t i = 0; i < std::size(kEntries); ++i) {
        if (kEntries[i].at != entry) {
            continue;
        }
        // Once per entry: a call site on the bus path would otherwise fill the log.
        if ((logged.fetch_or(1u << i) & (1u << i)) == 0) {
            APP_ERR("wiring fault: link gDoorPhoneLinks.%s is empty", kEntries[i].name);
        }
        return;
    }
    // An entry of another table (the viewer events' playback links): its caller answers for it.
}
