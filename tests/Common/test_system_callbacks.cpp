// The system callbacks on the simulated board: the indicator's patterns, the factory reset (from
// the cloud and from the key), the upgrade's progress, install and failures, and the clock taken
// from the cloud core into the system clock and the real-time clock, hourly without waiting.
#include "board_io_util.h"
#include "talk_test_util.h"

#include "AppWorker.h"
#include "ConfigFileParse.h"
#include "NoxaSettings.h"
#include "PCF8563.h"
#include "SystemCallbacks.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_base/kv_storge/kv_storge.h"
#include "noxa_iot_sdk/noxa_cloud/noxa_ws_db.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "platform/board.h"
#include "platform/board_path.h"

#include <chrono>
#include <filesystem>
#include <future>

namespace {

using namespace std::chrono_literals;

int gReboots = 0;
std::vector<uint32_t> gProgress;

// Each part found in `text` after the one before.
bool InOrder(const std::string& text, const std::vector<std::string>& parts)
{
    size_t at = 0;
    for (const auto& p : parts) {
        if ((at = text.find(p, at)) == std::string::npos) {
            return false;
        }
        at += p.size();
    }
    return true;
}

class SystemCallbacks : public BoardIoTest {
protected:
    void SetUp() override
    {
        BoardIoTest::SetUp();
        gReboots = 0;
        gSystemReboot = [] { ++gReboots; };
        gProgress.clear();
        gNoxaIpcOps.upgd_progress_rept = [](uint32_t percent, const char*, uint32_t) {
            gProgress.push_back(percent);
            return 0;
        };
        noxa_ipc_api_reset_state();
        // The cloud API answers nowhere: a status report fails at once, on loopback.
        mSb.Write("/etc/cloud.conf", "api_url=https://127.0.0.1:1/d.json\n");
        SystemCallbacksInstall();
        uni_log_init(LOG_LEVEL_DEBUG, 1024, uni_log_output);  // the service API's lines on stdout
    }
    void TearDown() override
    {
        // The cloud's clock as a case set it, and a reset's stop of the device files, would stay
        // for the process's next cases.
        uni_time_reset_for_test();
        ResumeDeviceFileWritesForTest();
        gNoxaIpcOps.service_time_sync = nullptr;
        BoardIoTest::TearDown();
    }
    std::string Rm(const std::string& unit) const { return "run: rm " + mSb.Root() + unit + "\n"; }
};

// The indicator as the owner sees it through the unit's life, the LED thread stepping after each
// event: a slow blink of LED 0 at start, a fast one while sniffing and joining (a resume leaves
// it), then the network's LED lit steadily online (a resume or an unknown event leaves it), and
// the fast blink again for a reset.
TEST_F(SystemCallbacks, IndicatorEventsSelectTheirPattern)
{
    constexpr uint8_t L0 = kHc595Led0, L1 = kHc595Led1, L2 = kHc595Led2;
    struct Shown {
        uint8_t leds[3];  // after each of three steps of the LED thread
        uint32_t wait;    // between the steps, ms
    };
    const struct {
        int event;
        uint8_t wired;
        Shown shown;
    } rows[] = {
        {INDICATOR_START, 0, {{L0, 0, L0}, 800}},
        {INDICATOR_SNIFFER, 0, {{0, L0, 0}, 80}},
        {INDICATOR_STA_RESUME, 0, {{L0, 0, L0}, 80}},
        {INDICATOR_STA_JOIN, 0, {{0, L0, 0}, 80}},
        {INDICATOR_ONLINE, 0, {{L2, L2, L2}, 500}},
        {INDICATOR_STA_RESUME, 0, {{L2, L2, L2}, 500}},
        {6, 0, {{L2, L2, L2}, 500}},
        {INDICATOR_RESET, 0, {{L0 | L2, L2, L0 | L2}, 80}},
        {INDICATOR_ONLINE, 1, {{L1, L1, L1}, 500}},
    };
    for (const auto& r : rows) {
        gAppState.Wired = r.wired;
        testing::internal::CaptureStdout();
        SetIndicatorEvent(r.event);
        EXPECT_EQ("curr event:" + std::to_string(r.event) + "\n", testing::internal::GetCapturedStdout());
        for (int step = 0; step < 3; ++step) {
            EXPECT_EQ(r.shown.wait, LedStep()) << "event " << r.event << " step " << step;
            EXPECT_EQ(r.shown.leds[step], Hc595Image() & (L0 | L1 | L2)) << "event " << r.event << " step " << step;
        }
    }
    gAppState.Wired = 0;
}

TEST_F(SystemCallbacks, AResetFromTheCloudOrTheKeyRemovesTheStoresAndRestartsASecondLater)
{
    QueueGuard queues;
    const auto reset = [this](bool fromKey) {
        if (!fromKey) {
            IPC_APP_on_reset(GW_REMOTE_RESET_FACTORY);
            return;
        }
        Key(true);
        for (int i = 0; i < 30 && gReboots == 0; ++i) {
            KeyDetectStep();
        }
    };
    for (bool fromKey : {false, true}) {
        for (const char* f : {"/DeviceInfo/noxa/noxa_user.db", "/DeviceInfo/RoomInfo.conf", "/DeviceInfo/Channel.conf",
                              "/DeviceInfo/noxa.cfgs/sub/noxa_sd_record_on_off"}) {
            std::filesystem::create_directories(std::filesystem::path(mSb.Path(f)).parent_path());
            mSb.Write(f, "x\n");
        }
        SetLed(1, 1);
        gReboots = 0;
        gSleeps.clear();
        gDuringSleep = [](uint32_t) { EXPECT_EQ(0, gReboots) << "the restart comes after the wait"; };
        const size_t mark = mSb.Read("/.board/shell.log").size();
        reset(fromKey);
        EXPECT_TRUE(InOrder(mSb.Read("/.board/shell.log").substr(mark),
                            {Rm("/DeviceInfo/noxa/*"), Rm("/DeviceInfo/RoomInfo.conf"), Rm("/DeviceInfo/PushInfo.conf"),
                             Rm("/DeviceInfo/Channel.conf"), Rm("/DeviceInfo/noxa.cfgs/* -r")}))
            << mSb.Read("/.board/shell.log");
        EXPECT_FALSE(mSb.Exists("/DeviceInfo/noxa/noxa_user.db")) << fromKey;
        EXPECT_FALSE(mSb.Exists("/DeviceInfo/noxa.cfgs/sub")) << fromKey;
        EXPECT_FALSE(mSb.Exists("/DeviceInfo/RoomInfo.conf")) << fromKey;
        EXPECT_EQ(0, BoardHc595LastImage() & (kHc595Led0 | kHc595Led1 | kHc595Led2)) << fromKey;
        EXPECT_EQ(1, gAppState.ResetFlag.load());
        EXPECT_EQ((std::vector<std::array<uint8_t, 4>>{{5, 0, 0, 0}}), TakePostedOrders()) << "talk order 5";
        EXPECT_EQ(1000u, gSleeps.back());
        EXPECT_EQ(1, gReboots) << fromKey;
    }
}

// Writers late by a moment (the store's, the online start's channel file, a room address, a
// setting) in the second before the restart bring nothing back: the next start finds the store
// empty (unactivated, no old record, nothing that fails to decrypt) and no device file.
TEST_F(SystemCallbacks, NothingWrittenInTheResetsLastSecondComesBack)
{
    UniTestClock clock;
    const uint8_t storeKey[16] = {7, 1, 7, 2, 7, 3, 7, 4, 7, 5, 7, 6, 7, 7, 7, 8};
    ASSERT_EQ(0, kvs_init("/DeviceInfo/noxa/", storeKey, 16));
    GW_ACTV_IF_S ai = {};
    strcpy(ai.key, "oldDeviceId0000000000001");
    strcpy(ai.lckey, "0ld1ocalKey0f16c");
    ASSERT_EQ(0, wd_gw_actv_if_write(&ai));
    ASSERT_EQ(0, SaveRoomAddress(10000001));
    // The last backup a minute ago: the next change backs the store up at once.
    clock.Advance(61000);
    gDuringSleep = [](uint32_t) {
        EXPECT_NE(0, kvs_write("gw_bi", "late", 5));
        EXPECT_NE(0, LoadChannelNames()) << "the defaults written again";
        EXPECT_NE(0, SaveRoomAddress(20000002));
        EXPECT_NE(0, SetCfgInt("noxa_sd_record_on_off", 1));
    };
    IPC_APP_on_reset(GW_REMOTE_RESET_FACTORY);
    EXPECT_EQ(1, gReboots);
    for (const char* f : {"/DeviceInfo/noxa/noxa_user.db", "/DeviceInfo/noxa/noxa_user.db_bak",
                          "/DeviceInfo/noxa/noxa_user.db_jnl", "/DeviceInfo/noxa/noxa_enckey.db",
                          "/DeviceInfo/RoomInfo.conf", "/DeviceInfo/Channel.conf",
                          "/DeviceInfo/noxa.cfgs/noxa_sd_record_on_off"}) {
        EXPECT_FALSE(mSb.Exists(f)) << f;
    }
    // The next start.
    kvs_deinit();
    ASSERT_EQ(0, kvs_init("/DeviceInfo/noxa/", storeKey, 16));
    GW_ACTV_IF_S back = {};
    EXPECT_EQ(KVS_ERR_NOT_FOUND, wd_gw_actv_if_read(&back)) << "the old activation came back";
    uint8_t* v = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(KVS_ERR_NOT_FOUND, kvs_read("gw_bi", &v, &n));
    kvs_deinit();
}

TEST_F(SystemCallbacks, UpgradeDataReportsItsShareAndAppendsTheChunk)
{
    const struct {
        uint32_t total;
        uint32_t offset;
        uint32_t percent;
    } rows[] = {
        {1000, 0, 0}, {1000, 500, 49}, {1000, 999, 99},
        {60000000, 50000000, 83},  // offset x 100 is past 32 bits
        {4000000000u, 3999999999u, 99},
    };
    const uint8_t chunk[3] = {1, 2, 3};
    for (const auto& r : rows) {
        noxa_ipc_api_reset_state();
        gProgress.clear();
        FILE* f = tmpfile();
        uint32_t remain = 77;
        ASSERT_EQ(0, IPC_APP_upgrade_data(nullptr, r.total, r.offset, chunk, sizeof(chunk), &remain, f));
        EXPECT_EQ(0u, remain);
        EXPECT_EQ(3L, ftell(f));
        fclose(f);
        EXPECT_EQ(std::vector<uint32_t>{r.percent}, gProgress) << r.offset << " of " << r.total;
    }
    // A chunk that cannot be written stops the download.
    mSb.Write("/dev/ro.bin", "");
    FILE* ro = fopen(mSb.Path("/dev/ro.bin").c_str(), "r");
    uint32_t remain = 0;
    EXPECT_NE(0, IPC_APP_upgrade_data(nullptr, 1000, 0, chunk, sizeof(chunk), &remain, ro));
    fclose(ro);
}

TEST_F(SystemCallbacks, AFinishedDownloadIsInstalledAndAFailedOneReportedAndEitherRestarts)
{
    const std::string image = "image bytes of the new firmware";
    const struct {
        const char* what;
        int result;
        bool installer;
        bool installed;
    } rows[] = {{"download failed", -6, true, false}, {"no installer", 0, false, false}, {"good", 0, true, true}};
    for (const auto& r : rows) {
        if (!r.installer) {
            std::filesystem::rename(mSb.Path(kUpgradeScript), mSb.Path("/customer/aside"));
        }
        gReboots = 0;
        gProgress.clear();
        noxa_ipc_api_reset_state();
        FILE* f = BoardFopen(kUpgradeImagePath, "w+b");
        ASSERT_NE(nullptr, f);
        fwrite(image.data(), 1, image.size(), f);
        const size_t mark = mSb.Read("/.board/shell.log").size();
        NOXA_FW_INFO_S fw = {};
        testing::internal::CaptureStdout();
        IPC_APP_upgrade_finish(&fw, r.result, f);
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string shell = mSb.Read("/.board/shell.log").substr(mark);
        EXPECT_EQ(!r.installed, out.find("send gw upgrade status to app [4]") != std::string::npos) << r.what << out;
        const std::string root = mSb.Root();
        EXPECT_EQ(r.installed, InOrder(shell, {"run: sync\n", "drop_caches\n",
                                                "run: cp " + root + "/customer/upgrade.sh " + root + "/dev/\n",
                                                "run: " + root + "/dev/upgrade.sh\n"}))
            << r.what << shell;
        EXPECT_EQ(r.installed ? image : "", mSb.Read("/.board/flash/app.bin")) << r.what;
        EXPECT_EQ(r.result == 0 ? std::vector<uint32_t>{100} : std::vector<uint32_t>{}, gProgress) << r.what;
        EXPECT_EQ(1, gReboots) << r.what;
        if (!r.installer) {
            std::filesystem::rename(mSb.Path("/customer/aside"), mSb.Path(kUpgradeScript));
        }
    }
}

TEST_F(SystemCallbacks, AnUpgradeNoticeStopsTheMediaAndDownloadsOnceAtATime)
{
    static int downloads = 0;
    static void* file = nullptr;
    gNoxaIpcOps.upgrade_gw = [](const NOXA_FW_INFO_S*, void* data, void* finish, void* priv) {
        EXPECT_EQ(reinterpret_cast<void*>(IPC_APP_upgrade_data), data);
        EXPECT_EQ(reinterpret_cast<void*>(IPC_APP_upgrade_finish), finish);
        ++downloads;
        file = priv;
        return 0;
    };
    SetLed(1, 1);
    NOXA_FW_INFO_S fw = {};
    fw.file_size = 1000;
    ASSERT_EQ(0, IPC_APP_upgrade_inform(&fw));
    EXPECT_EQ(kLedPatternUpgrade, GetLedPattern());
    EXPECT_EQ(0, BoardHc595LastImage() & (kHc595Led0 | kHc595Led1 | kHc595Led2));
    ASSERT_EQ(1, downloads);
    // A notice while the download runs is refused, and the running one goes on.
    EXPECT_EQ(-1, IPC_APP_upgrade_inform(&fw));
    EXPECT_EQ(1, downloads);
    IPC_APP_upgrade_finish(&fw, -6, file);
    EXPECT_EQ(1, gReboots);
    // An image file that cannot be opened: reported and restarted, never left with the media down.
    std::filesystem::remove(mSb.Path(kUpgradeImagePath));
    std::filesystem::create_directory(mSb.Path(kUpgradeImagePath));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, IPC_APP_upgrade_inform(&fw));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(InOrder(out, {"Err:cannot open /dev/VN204QH_APP.bin", "send gw upgrade status to app [4]"})) << out;
    EXPECT_EQ(1, downloads);
    EXPECT_EQ(2, gReboots);
}

// The core's clock as the cloud set it: now, a zone, and summer time covering now or not.
void CoreClock(const char* zone, bool summer)
{
    uni_time_init();
    const TIME_T now = static_cast<TIME_T>(time(nullptr));
    ASSERT_EQ(0, uni_time_set(now, 1));
    ASSERT_EQ(0, uni_set_time_zone(zone));
    const SUM_ZONE_S dst = {now - 3600, now + 3600};
    uni_set_sum_zone_tbl(summer ? &dst : nullptr, summer ? 1 : 0);
}

TEST_F(SystemCallbacks, TheClocksHoldLocalTime)
{
    const struct {
        const char* zone;
        bool summer;
        int offset;
    } rows[] = {{"+01:00", true, 7200}, {"-05:00", false, -18000}, {"-03:30", true, -9000}, {"+08:00", false, 28800}};
    for (const auto& r : rows) {
        ASSERT_NO_FATAL_FAILURE(CoreClock(r.zone, r.summer));
        const time_t utc = time(nullptr);
        ASSERT_EQ(0, SyncUtcTimeFromCore()) << r.zone;
        EXPECT_EQ(r.offset, GetLocalTimeOffset()) << r.zone;
        const time_t board = BoardTime(nullptr);
        EXPECT_NEAR(static_cast<double>(utc + r.offset), static_cast<double>(board), 2.0) << r.zone;
        RTC_TIME_S rtc = {};
        ASSERT_EQ(0, PCF8563_GetTime(&rtc));
        struct tm tm = {};
        tm.tm_year = rtc.year - 1900;
        tm.tm_mon = rtc.month - 1;
        tm.tm_mday = rtc.day;
        tm.tm_hour = rtc.hour;
        tm.tm_min = rtc.minute;
        tm.tm_sec = rtc.second;
        EXPECT_NEAR(static_cast<double>(board), static_cast<double>(timegm(&tm)), 2.0) << r.zone << ": the chip too";
    }
}

// The core's record counts years from 1900 and months from 0; the line shows the calendar's.
TEST_F(SystemCallbacks, TheShowOsdHookPrintsTheCalendarDate)
{
    UniTestClock clock;
    const struct {
        TIME_T utc;
        bool summer;
        const char* line;
    } rows[] = {
        {1709622489, false, "Dbg:show OSD [2024-03-05 07:08:09]\r\n"},
        {1704067199, false, "Dbg:show OSD [2023-12-31 23:59:59]\r\n"},
        {1704067199, true, "Dbg:show OSD [2024-01-01 00:59:59]\r\n"},  // summer time's hour
    };
    for (const auto& r : rows) {
        uni_time_init();
        ASSERT_EQ(0, uni_time_set(r.utc, 1));
        const SUM_ZONE_S dst = {r.utc - 3600, r.utc + 3600};
        uni_set_sum_zone_tbl(r.summer ? &dst : nullptr, r.summer ? 1 : 0);
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, ShowOsdTime()) << r.line;
        EXPECT_EQ(r.line, testing::internal::GetCapturedStdout());
    }
}

TEST_F(SystemCallbacks, TheHourlyRowNeverWaitsOrAsksTheCloudAndSyncsOnceAtATime)
{
    static int asked = 0;
    gNoxaIpcOps.service_time_sync = [] {
        ++asked;
        return -1;
    };
    // Not synced yet: the row returns at once, its sync only reads the core's clock.
    uni_time_init();
    gAppState.UptimeMinutes = 59;
    gDeviceState.MinuteTimer = 1;
    auto start = std::chrono::steady_clock::now();
    TimeTaskTick();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    DoorPhoneWorker().WaitIdle();
    EXPECT_EQ(0, asked);
    EXPECT_FALSE(mSb.Exists("/.board/clock_offset")) << "the clock left alone";
    EXPECT_EQ(-1, IPC_APP_Sync_Utc_Time()) << "the sync once online asks the cloud itself";
    EXPECT_EQ(1, asked);
    // Synced, with the worker busy: two rows leave one sync queued.
    ASSERT_NO_FATAL_FAILURE(CoreClock("+01:00", false));
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    ASSERT_TRUE(DoorPhoneWorker().Post([gate] { gate.wait(); }));
    testing::internal::CaptureStdout();
    ClockSyncHourly();
    ClockSyncHourly();
    release.set_value();
    DoorPhoneWorker().WaitIdle();
    ClockSyncHourly();  // the first one is done: this one runs
    DoorPhoneWorker().WaitIdle();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(InOrder(out, {"Get Server Time Success", "Get Server Time Success"})) << out;
    EXPECT_FALSE(InOrder(out, {"Get Server Time Success", "Get Server Time Success", "Get Server Time Success"}));
    EXPECT_EQ(3600, GetLocalTimeOffset());
}

}  // namespace
