// The settings store: files byte for byte, values of missing and unreadable files, the zone
// parser's limits, the sensitivity levels, writes under power cuts and failures, and the format
// worker's sequence on the simulated card.
#include "ConfigFileParse.h"
#include "DoorPhoneLinks.h"
#include "NoxaSettings.h"
#include "platform/board_file_sim.h"
#include "file_race_util.h"
#include "sd_card_util.h"
#include "whole_file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

std::vector<std::string> gSteps;
std::vector<int> gLevels;  // handed to the motion detection
std::vector<std::string> gZones;
std::atomic<int> gSecondFormat{1};

class NoxaSettings : public SdCardTest {
protected:
    void SetUp() override
    {
        SdCardTest::SetUp();
        gSteps.clear();
        gLevels.clear();
        gZones.clear();
        gSecondFormat = 1;
        gSettingsSleep = [](uint32_t ms) { gSteps.push_back("sleep " + std::to_string(ms)); };
        gSdFormatProgressReport = [](uint32_t p) { gSteps.push_back("progress " + std::to_string(p)); };
        gSdCapacityReport = [] { gSteps.push_back("capacity"); };
        gSdStatusReport = [](uint32_t s) { gSteps.push_back("status " + std::to_string(s)); };
        gNoxaSettingsLinks.SetMotionSensitivity = [](uint8_t level) {
            gLevels.push_back(level);
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
        int level;
    } rows[] = {
        {"10", "0\n", 0}, {"1", "1\n", 1}, {"21", "1\n", 1}, {"2", "2\n", 2}, {"x", "0\n", 0},
    };
    for (const auto& r : rows) {
        std::string caller = r.text;
        IPC_APP_set_alarm_sensitivity(caller.data());
        EXPECT_EQ(r.stored, File("noxa_alarm_sen")) << r.text;
        EXPECT_EQ(r.level, gLevels.back()) << r.text;
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

namespace {

// A file's modification time set far back, so that any rewrite shows however fast it comes.
void Age(const std::string& hostPath)
{
    const timespec times[2] = {{978307200, 0}, {978307200, 0}};  // 2001-01-01
    ASSERT_EQ(0, utimensat(AT_FDCWD, hostPath.c_str(), times, 0)) << hostPath;
}

time_t Mtime(const std::string& hostPath)
{
    struct stat st = {};
    return stat(hostPath.c_str(), &st) == 0 ? st.st_mtime : 0;
}

int Count(const std::string& text, const std::string& part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

// A power cut at any step of a setting's write leaves the old value or the new one, never an empty
// or half file; a write that returned has its value on the storage.
TEST_F(NoxaSettings, PowerCutLeavesTheOldValueOrTheNew)
{
    const std::string zoneOld = Zone(1);
    const std::string zoneNew = Zone(2);
    const auto file = [this](const char* key) { return [this, key] { return File(key); }; };
    const WHOLE_FILE_CASE_S files[] = {
        {"noxa_watermark_onoff", [](bool n) { IPC_APP_set_watermark_onoff(n ? 0 : 1); },
         file("noxa_watermark_onoff"), "1\n", "0\n"},
        {"noxa_alarm_sen", [](bool n) { IPC_APP_set_alarm_sensitivity(n ? "2" : "1"); }, file("noxa_alarm_sen"),
         "1\n", "2\n"},
        {"alarm_zone", [&](bool n) { IPC_APP_set_alarm_zone_draw((n ? zoneNew : zoneOld).c_str()); },
         file("alarm_zone"), zoneOld + std::string(1, '\0'), zoneNew + std::string(1, '\0')},
    };
    ExpectOldOrNewAfterEveryCut(files, std::size(files));
    // What a restarted unit reads: the watermark on (its old value), never the 0 of an empty file.
    EXPECT_EQ(1u, IPC_APP_get_watermark_onoff());
}

// A failed write keeps the old value, leaves nothing aside and says so.
TEST_F(NoxaSettings, FailedWriteKeepsTheOldValue)
{
    BoardPowerModel(true);
    ASSERT_EQ(0, SetCfgInt("noxa_sleep_mode", 1));
    for (BoardFileStep step : {BoardFileStep::Open, BoardFileStep::Write, BoardFileStep::Sync, BoardFileStep::Rename,
                               BoardFileStep::SyncDir}) {
        BoardFileFault("noxa_sleep_mode", step, false);
        testing::internal::CaptureStdout();
        const int rc = SetCfgInt("noxa_sleep_mode", 0);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(-1, rc) << int(step);
        EXPECT_NE(std::string::npos, out.find("noxa_sleep_mode not written")) << out;
        EXPECT_FALSE(HasFile("noxa_sleep_mode.tmp")) << int(step);
        if (step != BoardFileStep::SyncDir) {
            EXPECT_EQ("1\n", File("noxa_sleep_mode")) << int(step);
        }
        ASSERT_EQ(0, SetCfgInt("noxa_sleep_mode", 1));
    }
    BoardPowerModel(false);
}

// Once a factory reset has begun a setting makes nothing: not its file, not the folders the reset
// emptied or removed.
TEST_F(NoxaSettings, NothingIsMadeOnceAResetBegan)
{
    ASSERT_EQ(0, SetCfgInt("noxa_sleep_mode", 1));
    StopDeviceFileWrites();
    const std::pair<const char*, std::function<int()>> rows[] = {
        {kCfgDir, [] { return SetCfgInt("noxa_sleep_mode", 0); }},
        {kCfgDir, [] { return SetCfgText("noxa_night_mode", "1"); }},
        {"/DeviceInfo", [] { return SetCfgInt("noxa_light_onoff", 1); }},
    };
    for (const auto& [removed, set] : rows) {
        std::filesystem::remove_all(sb.Path(removed));
        EXPECT_EQ(-1, set()) << removed;
        EXPECT_FALSE(sb.Exists(removed)) << removed << " made again during the reset";
    }
    ResumeDeviceFileWritesForTest();
}

// Two setters of one setting at once: the value kept is one that answered 0 (the one, when the
// other failed), and neither fails because of the other.
TEST_F(NoxaSettings, TwoSettersOfOneSettingKeepAnAnsweredValue)
{
    const FILE_RACE_COUNTS_S c = RaceSettingSetters(100);
    EXPECT_EQ(100u, c.rounds);
    EXPECT_EQ(0u, c.answeredButLost) << "rounds whose only answered value was not the one kept";
    EXPECT_EQ(0u, c.bothFailed);
}

// A FIFO at a setting's path would hold its reader for ever, a link to a device would feed it
// without end: the setting reads its default at once. (A reader that hangs is ended by the alarm.)
TEST_F(NoxaSettings, SettingThatIsNoRegularFileReadsTheDefault)
{
    ASSERT_EQ(0, SetCfgInt("noxa_sleep_mode", 1));
    const std::string path = sb.Path(std::string(kCfgDir) + "/noxa_sleep_mode");
    for (const char* kind : {"fifo", "device"}) {
        std::filesystem::remove(path);
        if (std::string(kind) == "fifo") {
            ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
        } else {
            std::filesystem::create_symlink("/dev/zero", path);
        }
        EXPECT_EXIT(
            {
                alarm(5);
                std::exit(GetCfgInt("noxa_sleep_mode"));
            },
            testing::ExitedWithCode(0), "")
            << kind;
    }
    std::filesystem::remove(path);
}

// Nothing is written that would not change: not a setting set to its value, not the zone files at
// start (every write is one more chance for a power cut to hit the file).
TEST_F(NoxaSettings, UnchangedFilesAreNotWrittenAgain)
{
    const std::string z = Zone(2);
    ASSERT_EQ(0, IPC_APP_set_alarm_zone_draw(z.c_str()));
    IPC_APP_set_alarm_function_onoff(1);
    IPC_APP_set_alarm_sensitivity("2");
    const char* keys[] = {"alarm_zone", "alarm_zone_cloud", "noxa_alarm_on_off", "noxa_alarm_sen"};
    for (const char* k : keys) {
        Age(sb.Path(std::string(kCfgDir) + "/" + k));
    }
    gZones.clear();
    gLevels.clear();
    RestoreNoxaSettings();
    EXPECT_EQ(std::vector<std::string>{"0 11,20,30,40"}, gZones) << "the stored zone is applied at start";
    EXPECT_EQ(std::vector<int>{2}, gLevels) << "and the stored sensitivity";
    ASSERT_EQ(0, IPC_APP_set_alarm_zone_draw(z.c_str()));
    IPC_APP_set_alarm_function_onoff(1);
    IPC_APP_set_alarm_sensitivity("2");
    for (const char* k : keys) {
        EXPECT_EQ(978307200, Mtime(sb.Path(std::string(kCfgDir) + "/" + k))) << k << " was written again";
    }
    IPC_APP_set_alarm_function_onoff(0);
    EXPECT_NE(978307200, Mtime(sb.Path(std::string(kCfgDir) + "/noxa_alarm_on_off")));
}

// A missing, empty or garbled file reads as the setting's default, logged once a key; door-facing
// texts that are no UTF-8 never leave as they are.
TEST_F(NoxaSettings, UnreadableFilesReadTheDefaultAndAreLoggedOnce)
{
    const struct {
        const char* key;
        const char* bytes;  // nullptr: no file
        std::function<std::string()> get;
        const char* value;
        bool logged;
    } rows[] = {
        {"noxa_watermark_onoff", nullptr, [] { return std::to_string(IPC_APP_get_watermark_onoff()); }, "1", true},
        {"noxa_watermark_onoff", "", [] { return std::to_string(IPC_APP_get_watermark_onoff()); }, "1", true},
        {"noxa_watermark_onoff", "on\n", [] { return std::to_string(IPC_APP_get_watermark_onoff()); }, "1", true},
        {"noxa_watermark_onoff", "0\n", [] { return std::to_string(IPC_APP_get_watermark_onoff()); }, "0", false},
        {"noxa_alarm_on_off", "1x\n", [] { return std::to_string(IPC_APP_get_alarm_function_onoff()); }, "0", true},
        {"noxa_alarm_on_off", " 1 \n", [] { return std::to_string(IPC_APP_get_alarm_function_onoff()); }, "1", false},
        {"noxa_sleep_mode", "99999999999\n", [] { return std::to_string(GetCfgInt("noxa_sleep_mode")); }, "0", true},
        {"noxa_night_mode", "\xff\n", [] { return std::string(IPC_APP_get_night_mode()); }, "", true},
        {"noxa_night_mode", "2\n", [] { return std::string(IPC_APP_get_night_mode()); }, "2", false},
        {"noxa_alarm_sen", "7\n", [] { return std::string(IPC_APP_get_alarm_sensitivity()); }, "0", true},
        {"alarm_zone_cloud", "{num:1 \xc3\x28}\n", [] { return std::string(IPC_APP_get_alarm_zone_draw()); }, "",
         true},
    };
    for (const auto& r : rows) {
        const std::string path = std::string(kCfgDir) + "/" + r.key;
        std::filesystem::remove(sb.Path(path));
        if (r.bytes != nullptr) {
            sb.Write(path, r.bytes);
        }
        testing::internal::CaptureStdout();
        const std::string first = r.get();
        const std::string second = r.get();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(r.value, first) << r.key << " " << (r.bytes ? r.bytes : "(none)");
        EXPECT_EQ(first, second);
        EXPECT_EQ(r.logged ? 1 : 0, Count(out, path)) << r.key << " " << (r.bytes ? r.bytes : "(none)") << "\n" << out;
        // Written again, the key may be logged again the next time its file is bad.
        SetCfgText(r.key, "x");
    }
}

// A zone is in percent of the picture: a value above 100 or a region past the edge is refused, and
// the phone hears the stored zone back.
TEST_F(NoxaSettings, ZoneOutsideThePictureIsRefused)
{
    auto zone = [](int x, int y, int w, int h) {
        return "{\"num\":1,\"region0\":{\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) +
               ",\"xlen\":" + std::to_string(w) + ",\"ylen\":" + std::to_string(h) + "}}";
    };
    ASSERT_EQ(0, IPC_APP_set_alarm_zone_draw(zone(10, 10, 20, 20).c_str()));
    const std::string stored = IPC_APP_get_alarm_zone_draw();
    const struct {
        std::string text;
        int result;
    } rows[] = {
        {zone(300, 0, 10, 10), -1},
        {zone(0, 0, 101, 10), -1},
        {zone(60, 0, 50, 10), -1},
        {zone(0, 51, 10, 50), -1},
        {zone(-1, 0, 10, 10), -1},
        {"{\"num\":-1}", -1},
        {"{\"num\":1,\"region0\":{\"x\":1,\"y\":1,\"xlen\":1,\"ylen\":1,\"n\":\"\xff\"}}", -1},
        {zone(50, 0, 50, 100), 0},  // right up to both edges
    };
    for (const auto& r : rows) {
        gZones.clear();
        EXPECT_EQ(r.result, IPC_APP_set_alarm_zone_draw(r.text.c_str())) << r.text;
        if (r.result != 0) {
            EXPECT_TRUE(gZones.empty()) << r.text;
            EXPECT_EQ(stored, IPC_APP_get_alarm_zone_draw()) << r.text;
        }
    }
    ASSERT_EQ(1u, gZones.size());
    EXPECT_EQ("0 50,0,50,100", gZones.back());
}
