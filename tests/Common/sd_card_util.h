// Shared by the SD card suites: a sandbox whose card can be mounted, filled, taken out and
// written to, and the card code's links to the recorder, the motion alarm and the reports
// replaced by counters.
#pragma once

#include "AppState.h"
#include "DeviceState.h"
#include "RecordFile.h"
#include "SDCard.h"
#include "platform/board_card.h"
#include "sandbox.h"
#include "sdcard_tool.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// What the card code asked of the other parts of the unit.
inline uint8_t gRecording = 0;
inline int gRecordStops = 0;
inline uint8_t gMotionAlarm = 0;
inline std::vector<int> gMotionSwitches;
inline std::vector<uint32_t> gReports;

class SdCardTest : public testing::Test {
protected:
    void SetUp() override
    {
        MP4RecordLockInit();
        gRecording = 0;
        gRecordStops = 0;
        gMotionAlarm = 0;
        gMotionSwitches.clear();
        gReports.clear();
        gSdCardLinks.RecordState = [] { return gRecording; };
        gSdCardLinks.RecordStop = [] {
            ++gRecordStops;
            gRecording = 0;
        };
        gSdCardLinks.MotionAlarmState = [] { return gMotionAlarm; };
        gSdCardLinks.MotionAlarmSwitch = [](uint8_t on) {
            gMotionSwitches.push_back(on);
            gMotionAlarm = on;
        };
        gSdCardLinks.ReportState = [](uint32_t state) { gReports.push_back(state); };
        gAppState.Online = 0;
        gAppState.FloorModel = 0;
        gDeviceState.SystemMainState = 0;
        gDeviceState.AlarmSetting = 0;
        gDeviceState.SdRecordSetting = 0;
        gDeviceState.RecordTimer = kCountdownStopped;
        setenv("TZ", "UTC0", 1);
        tzset();
    }

    int Card(const std::string& args) const { return SdCardTool(sb, args); }
    void Mount() const { ASSERT_EQ(0, BoardMount(kSdPartition, kSdMountPoint, "vfat", 0, nullptr)); }
    bool Mounted() const { return sb.Read("/proc/mounts").find(" /mnt/sdcard vfat rw,") != std::string::npos; }

    void CardFile(const std::string& unitPath, off_t bytes = 1) const
    {
        ASSERT_TRUE(SdCardFile(sb, unitPath, bytes)) << unitPath;
    }
    // Names in a folder of the sandbox, sorted; empty when it is missing.
    std::vector<std::string> Names(const std::string& unitPath) const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(sb.Path(unitPath), ec)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TestSandbox sb;
};
