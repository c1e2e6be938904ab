// The settings store: files byte for byte, values of missing files, the zone parser's limits,
// the sensitivity levels, and the format worker's sequence on the simulated card.
#include "DoorPhoneLinks.h"
#include "NoxaSettings.h"
#include "sd_card_util.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

std::vector<std::string> gSteps;
std::vector<int> gThresholds;
std::vector<std::string> gZones;
std::atomic<int> gSecondFormat{1};

class NoxaSettings : public SdCardTest {
protected:
    void SetUp() override
    {
        SdCardTest::SetUp();
        gSteps.clear();
        gThresholds.clear();
        gZones.clear();
        gSecondFormat = 1;
        gSettingsSleep = [](uint32_t ms) { gSteps.push_back("sleep " + std::to_string(ms)); };
        gSdFormatProgressReport = [](uint32_t p) { gSteps.push_back("progress " + std::to_string(p)); };
        gSdCapacityReport = [] { gSteps.push_back("capacity"); };
        gSdStatusReport = [](uint32_t s) { gSteps.push_back("status " + std::to_string(s)); };
        gNoxaSettingsLinks.MotionSetThreshold = [](int t) {
            gThresholds.push_back(t);
            return 0;
        };
        gNoxaSettingsLinks.MotionDetectSetZone = [](uint8_t on, uint8_t x, uint8_t y, uint8_t w, uint8_t h) {
            char text[48];
            snprintf(text, sizeof(text), "%u %u,%u,%u,%u", on, x, y, w, h);
            gZones.push_back(text);
            return 0;
        };
        gDoorPhoneLinks.RecordStop = [] { ++gRecordStops; };
    }
    std::string File(const std::string& key) const { return sb.Read(std::string(kCfgDir) + "/" + key); }
    bool HasFile(const std::string& key) const { return sb.Exists(std::string(kCfgDir) + "/" + key); }
};

std::string Zone(int num, const char* quote = "\"")
{
    std::string q = quote;
    std::string t = "{" + q + "num" + q + ":" + std::to_string(num);
    for (int i = 0; i < num; ++i) {
        t += "," + q + "region" + std::to_string(i) + q + ":{" + q + "x" + q + ":" + std::to_string(10 + i) + "," + q +
             "y" + q + ":20," + q + "xlen" + q + ":30," + q + "ylen" + q + ":40}";
    }
    return t + "}";
}

}  // namespace

TEST_F(NoxaSettings, KeyFilesByteForByte)
{
    const struct {
        std::function<void()> set;
        const char* key;
        std::string bytes;
    } rows[] = {
        {[] { SetCfgInt("noxa_sleep_mode", 1); }, "noxa_sleep_mode", "1\n"},
        {[] { SetCfgInt("noxa_light_onoff", -2); }, "noxa_light_onoff", "-2\n"},
        {[] { IPC_APP_set_watermark_onoff(0); }, "noxa_watermark_onoff", "0\n"},
        {[] { IPC_APP_set_alarm_function_onoff(1); }, "noxa_alarm_on_off", "1\n"},
        {[] { IPC_APP_set_sd_record_mode(2); }, "noxa_sd_record_mode", "2\n"},
        {[] { IPC_APP_set_night_mode("1"); }, "noxa_night_mode", "1\n"},
        {[] { SetCfgText("noxa_night_mode", "  a \t \"b\"   c "); }, "noxa_night_mode", "a b c\n"},
        // A shell would have run this; written directly it is only text.
        {[] { SetCfgText("alarm_zone_cloud", "$(reboot) `id`"); }, "alarm_zone_cloud", "$(reboot) `id`\n"},
        {[] { IPC_APP_set_alarm_sensitivity("2"); }, "noxa_alarm_sen", "2\n"},
    };
    for (const auto& r : rows) {
        r.set();
        EXPECT_EQ(r.bytes, File(r.key)) << r.key;
    }
    EXPECT_EQ(1, gDeviceState.AlarmSetting.load());
    EXPECT_EQ(0u, gDeviceState.WatermarkSetting.load());
    EXPECT_EQ("", sb.Read("/.board/shell.log"));
}

TEST_F(NoxaSettings, MissingFilesReadZeroAndTheWatermarkOne)
{
    EXPECT_EQ(0, GetCfgInt("noxa_sleep_mode"));
    EXPECT_EQ(0, IPC_APP_get_alarm_function_onoff());
    EXPECT_EQ(0, IPC_APP_get_sd_record_mode());
    EXPECT_EQ(1u, IPC_APP_get_watermark_onoff());
    EXPECT_STREQ("", IPC_APP_get_night_mode());
    EXPECT_STREQ("0", IPC_APP_get_alarm_sensitivity());
    EXPECT_STREQ("", IPC_APP_get_alarm_zone_draw());
    // A stored 0 of the SD recording stops a running one.
    EXPECT_EQ(0, IPC_APP_get_sd_record_onoff());
    EXPECT_EQ(1, gRecordStops);
}

// The detection pass reads the human filter, the zone switch and the record mode without a file:
// the values the restore or the last setter left.
TEST_F(NoxaSettings, CachedValuesForTheDetectionPass)
{
    for (const char* key : {"noxa_human_fliter", "alarm_zone_on_off", "noxa_sd_record_mode"}) {
        sb.Write(std::string(kCfgDir) + "/" + key, "1\n");
    }
    EXPECT_EQ(0, CachedHumanFilter());
    EXPECT_EQ(0, CachedAlarmZoneOn());
    EXPECT_EQ(0, CachedSdRecordMode());
    RestoreNoxaSettings();
    std::filesystem::remove_all(sb.Path(kCfgDir));
    EXPECT_EQ(1, CachedHumanFilter());
    EXPECT_EQ(1, CachedAlarmZoneOn());
    EXPECT_EQ(1, CachedSdRecordMode());
    IPC_APP_set_human_filter(0);
    IPC_APP_set_alarm_zone_onoff(0);
    IPC_APP_set_sd_record_mode(2);
    EXPECT_EQ(0, CachedHumanFilter());
    EXPECT_EQ(0, CachedAlarmZoneOn());
    EXPECT_EQ(2, CachedSdRecordMode());
}

TEST_F(NoxaSettings, ZoneLimitsAndItsTwoFiles)
{
    const struct {
        std::string text;
        int result;
    } rows[] = {
        {Zone(6), 0},
        {Zone(7), -1},
        {"{\"num\":1}", -1},  // region0 missing
        {"not json", -1},
        {"{\"x\":1}", -1},  // no num
        {"{\"num\":0,\"pad\":\"" + std::string(495, 'a') + "\"}", -1},  // 513 characters
        {"{\"num\":0,\"pad\":\"" + std::string(494, 'a') + "\"}", 0},   // 512
    };
    for (const auto& r : rows) {
        gZones.clear();
        std::filesystem::remove_all(sb.Path(kCfgDir));
        EXPECT_EQ(r.result, IPC_APP_set_alarm_zone_draw(r.text.c_str())) << r.text;
        EXPECT_EQ(r.result == 0, HasFile("alarm_zone")) << r.text;
        EXPECT_EQ(r.result == 0, HasFile("alarm_zone_cloud")) << r.text;
        EXPECT_EQ(r.result == 0 ? 1u : 0u, gZones.size()) << r.text;
    }
    const std::string z = Zone(2);
    ASSERT_EQ(0, IPC_APP_set_alarm_zone_draw(z.c_str()));
    // The raw file keeps the quotes and the NUL; the cloud file has them removed, as echo would.
    EXPECT_EQ(z + std::string(1, '\0'), File("alarm_zone"));
    EXPECT_EQ(Zone(2, "") + "\n", File("alarm_zone_cloud"));
    EXPECT_EQ("0 11,20,30,40", gZones.back());  // the last region wins
    IPC_APP_set_alarm_zone_onoff(1);
    EXPECT_EQ("1 11,20,30,40", gZones.back());
    EXPECT_EQ(Zone(2, ""), IPC_APP_get_alarm_zone_draw());
}

TEST_F(NoxaSettings, SensitivityLevels)
{
    const struct {
        const char* text;
        const char* stored;
        int threshold;
    } rows[] = {
        {"10", "0\n", 8160}, {"1", "1\n", 6720}, {"21", "1\n", 6720}, {"2", "2\n", 2880}, {"x", "0\n", 8160},
    };
    for (const auto& r : rows) {
        std::string caller = r.text;
        IPC_APP_set_alarm_sensitivity(caller.data());
        EXPECT_EQ(r.stored, File("noxa_alarm_sen")) << r.text;
        EXPECT_EQ(r.threshold, gThresholds.back()) << r.text;
        EXPECT_EQ(r.text, caller) << "the caller's text is left alone";
    }
    // An empty text has room for nothing: it too stays as it is.
    char empty[1] = {'\0'};
    IPC_APP_set_alarm_sensitivity(empty);
    EXPECT_EQ('\0', empty[0]);
    EXPECT_EQ("0\n", File("noxa_alarm_sen"));
}

TEST_F(NoxaSettings, FormatReportsEachStepAndEmptiesTheCard)
{
    Mount();
    CardFile("/mnt/sdcard/DVR/20240101/120000_120100.mp4", 1 << 20);
    // A second format asked for while the first runs is refused.
    gSettingsSleep = [](uint32_t ms) {
        if (gSecondFormat == 1) {
            gSecondFormat = StartSdFormat();
        }
        gSteps.push_back("sleep " + std::to_string(ms));
    };
    ASSERT_EQ(0, StartSdFormat());
    for (int i = 0; i < 200 && SdFormatRunning() != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(0, SdFormatRunning());
    EXPECT_EQ(-1, gSecondFormat.load());
    const std::vector<std::string> want = {"progress 0",  "sleep 1000", "progress 10", "sleep 1000", "progress 30",
                                           "sleep 1000",  "progress 80", "sleep 1000", "capacity",   "progress 100"};
    EXPECT_EQ(want, gSteps);
    EXPECT_TRUE(Names("/mnt/sdcard").empty());
    EXPECT_EQ(100u, GetSdFormatProgress());
}

TEST_F(NoxaSettings, FormatWithoutCardReportsTheCardStateAndNeverHundred)
{
    ASSERT_EQ(0, Card("remove"));
    SdFormatRun();
    ASSERT_FALSE(gSteps.empty());
    EXPECT_EQ("status 5", gSteps.back());
    EXPECT_EQ(std::find(gSteps.begin(), gSteps.end(), "progress 80"), gSteps.end());
    EXPECT_EQ(std::find(gSteps.begin(), gSteps.end(), "progress 100"), gSteps.end());
    EXPECT_EQ(0, SdFormatRunning());
}

TEST_F(NoxaSettings, UnmountStopsTheRecordingFirst)
{
    EXPECT_EQ(1, SdUnmount());
    EXPECT_EQ(1, gRecordStops);
}

TEST_F(NoxaSettings, CapacityFromTheCard)
{
    Mount();
    ASSERT_EQ(0, Card("fill 500"));
    uint32_t total = 0, used = 0, free = 0;
    GetSdCapacity(&total, &used, &free);
    EXPECT_GT(total, 0u);
    EXPECT_EQ(total, used + free);
    EXPECT_GT(used, 0u);
}
