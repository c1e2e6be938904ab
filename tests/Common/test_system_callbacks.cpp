// The system callbacks on the simulated board: the indicator's patterns, the factory reset (from
// the cloud and from the key), the upgrade's progress, install and failures, and the clock taken
// from the cloud core into the system clock and the real-time clock, hourly without waiting.
#include "board_io_util.h"
#include "talk_test_util.h"

#include "AppWorker.h"
#include "PCF8563.h"
#include "SystemCallbacks.h"
#include "noxa_adapter/utilities/uni_log.h"
#include "noxa_adapter/utilities/uni_time.h"
#include "noxa_ipc_sdk/noxa_ipc_api.h"
#include "platform/board.h"
#include "platform/board_path.h"
#include "process.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>

namespace {

using namespace std::chrono_literals;

int gReboots = 0;
std::vector<uint32_t> gProgress;

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
        // The service API's lines (the status report's among them) on standard output.
        uni_log_init(LOG_LEVEL_DEBUG, 1024, uni_log_output);
    }

    size_t ShellMark() const { return mSb.Read("/.board/shell.log").size(); }
    std::string ShellSince(size_t mark) const { return mSb.Read("/.board/shell.log").substr(mark); }
};

TEST_F(SystemCallbacks, IndicatorEventsSelectTheirPattern)
{
    const struct {
        int event;
        uint32_t pattern;  // 7: left as it was
    } rows[] = {{0, 0}, {1, 3}, {2, 7}, {3, 3}, {4, 2}, {5, 3}, {6, 7}, {-1, 7}};
    for (const auto& r : rows) {
        SetLedPattern(7);
        testing::internal::CaptureStdout();
        SetIndicatorEvent(r.event);
        EXPECT_EQ("curr event:" + std::to_string(r.event) + "\n", testing::internal::GetCapturedStdout());
        EXPECT_EQ(r.pattern, GetLedPattern()) << "event " << r.event;
    }
}

TEST_F(SystemCallbacks, ResetRemovesTheStoresInOrderDarkensAndRebootsASecondLater)
{
    QueueGuard queues;
    for (const char* f : {"/DeviceInfo/noxa/noxa_user.db", "/DeviceInfo/RoomInfo.conf", "/DeviceInfo/PushInfo.conf",
                          "/DeviceInfo/Channel.conf", "/DeviceInfo/noxa.cfgs/sub/noxa_sd_record_on_off"}) {
        std::filesystem::create_directories(std::filesystem::path(mSb.Path(f)).parent_path());
        mSb.Write(f, "x\n");
    }
    for (int led = 0; led < 3; ++led) {
        SetLed(led, 1);
    }
    gDuringSleep = [](uint32_t) { EXPECT_EQ(0, gReboots) << "the reboot comes after the wait"; };
    const size_t mark = ShellMark();
    IPC_APP_on_reset(GW_REMOTE_RESET_FACTORY);
    const std::string root = mSb.Root();
    const std::vector<std::string> removals = {
        "run: rm " + root + "/DeviceInfo/noxa/*", "run: rm " + root + "/DeviceInfo/RoomInfo.conf",
        "run: rm " + root + "/DeviceInfo/PushInfo.conf", "run: rm " + root + "/DeviceInfo/Channel.conf",
        "run: rm " + root + "/DeviceInfo/noxa.cfgs/* -r"};
    std::string shell = ShellSince(mark);
    size_t at = 0;
    for (const auto& r : removals) {
        size_t next = shell.find(r + "\n", at);
        ASSERT_NE(std::string::npos, next) << r << "\n" << shell;
        at = next + 1;
    }
    EXPECT_FALSE(mSb.Exists("/DeviceInfo/noxa/noxa_user.db"));
    EXPECT_TRUE(mSb.Exists("/DeviceInfo/noxa")) << "the store's folder stays";
    EXPECT_FALSE(mSb.Exists("/DeviceInfo/noxa.cfgs/sub"));
    EXPECT_FALSE(mSb.Exists("/DeviceInfo/Channel.conf"));
    EXPECT_EQ(0, BoardHc595LastImage() & (kHc595Led0 | kHc595Led1 | kHc595Led2));
    EXPECT_EQ(1, gAppState.ResetFlag.load());
    EXPECT_EQ(3u, GetLedPattern());
    EXPECT_EQ((std::vector<std::array<uint8_t, 4>>{{5, 0, 0, 0}}), TakePostedOrders()) << "talk order 5 to the bus";
    EXPECT_EQ(std::vector<uint32_t>{1000}, gSleeps);
    EXPECT_EQ(1, gReboots);
}

TEST_F(SystemCallbacks, AKeyHeldForThreeSecondsResets)
{
    mSb.Write("/DeviceInfo/RoomInfo.conf", "1\n");
    Key(true);
    for (int i = 0; i < 30 && gReboots == 0; ++i) {
        KeyDetectStep();
    }
    EXPECT_EQ(1, gReboots);
    EXPECT_FALSE(mSb.Exists("/DeviceInfo/RoomInfo.conf"));
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
    for (const auto& r : rows) {
        noxa_ipc_api_reset_state();
        gProgress.clear();
        FILE* f = tmpfile();
        const uint8_t chunk[3] = {1, 2, 3};
        uint32_t remain = 77;
        ASSERT_EQ(0, IPC_APP_upgrade_data(nullptr, r.total, r.offset, chunk, sizeof(chunk), &remain, f));
        EXPECT_EQ(0u, remain);
        EXPECT_EQ(3L, ftell(f));
        fclose(f);
        EXPECT_EQ(std::vector<uint32_t>{r.percent}, gProgress) << r.offset << " of " << r.total;
    }
    // A chunk that cannot be written stops the download.
    std::string path = mSb.Path("/dev/ro.bin");
    mSb.Write("/dev/ro.bin", "");
    FILE* ro = fopen(path.c_str(), "r");
    const uint8_t chunk[3] = {1, 2, 3};
    uint32_t remain = 0;
    EXPECT_NE(0, IPC_APP_upgrade_data(nullptr, 1000, 0, chunk, sizeof(chunk), &remain, ro));
    fclose(ro);
}

TEST_F(SystemCallbacks, AFinishedImageIsInstalledAndTheUnitRestarts)
{
    const std::string image = "image bytes of the new firmware";
    FILE* f = BoardFopen(kUpgradeImagePath, "w+b");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(image.size(), fwrite(image.data(), 1, image.size(), f));
    const size_t mark = ShellMark();
    NOXA_FW_INFO_S fw = {};
    IPC_APP_upgrade_finish(&fw, 0, f);
    EXPECT_EQ(std::vector<uint32_t>{100}, gProgress);
    std::string shell = ShellSince(mark);
    size_t at = 0;
    for (const std::string& cmd : std::vector<std::string>{"run: sync", "run: echo 1 > " + mSb.Root() + "/proc/sys/vm/drop_caches",
                            "run: cp " + mSb.Root() + "/customer/upgrade.sh " + mSb.Root() + "/dev/",
                            "run: " + mSb.Root() + "/dev/upgrade.sh"}) {
        size_t next = shell.find(cmd + "\n", at);
        ASSERT_NE(std::string::npos, next) << cmd << "\n" << shell;
        at = next + 1;
    }
    EXPECT_EQ(image, mSb.Read("/.board/flash/app.bin"));
    EXPECT_NE(std::string::npos, mSb.Read("/.board/tools.log").find("reboot")) << "the installer restarts the board";
    EXPECT_EQ(1, gReboots);
}

TEST_F(SystemCallbacks, AFailedUpgradeRunsNoInstallerAndRestarts)
{
    std::filesystem::remove(mSb.Path("/customer/upgrade.sh"));
    const struct {
        const char* what;
        int result;
    } rows[] = {{"download failed", -6}, {"no installer", 0}};
    for (const auto& r : rows) {
        gReboots = 0;
        gProgress.clear();
        noxa_ipc_api_reset_state();
        FILE* f = BoardFopen(kUpgradeImagePath, "w+b");
        ASSERT_NE(nullptr, f);
        NOXA_FW_INFO_S fw = {};
        testing::internal::CaptureStdout();
        IPC_APP_upgrade_finish(&fw, r.result, f);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find("send gw upgrade status to app [4]")) << r.what << out;
        EXPECT_FALSE(mSb.Exists("/.board/flash/app.bin")) << r.what;
        EXPECT_EQ(1, gReboots) << r.what;
    }
}

struct DownloadCall {
    int calls = 0;
    void* data = nullptr;
    void* finish = nullptr;
    void* file = nullptr;
};
DownloadCall gDownload;

TEST_F(SystemCallbacks, AnUpgradeNoticeStopsTheMediaAndDownloadsOnceAtATime)
{
    gDownload = {};
    gNoxaIpcOps.upgrade_gw = [](const NOXA_FW_INFO_S*, void* data, void* finish, void* priv) {
        gDownload = {gDownload.calls + 1, data, finish, priv};
        return 0;
    };
    SetLed(1, 1);
    const size_t mark = ShellMark();
    NOXA_FW_INFO_S fw = {};
    fw.file_size = 1000;
    ASSERT_EQ(0, IPC_APP_upgrade_inform(&fw));
    EXPECT_EQ(4u, GetLedPattern());
    EXPECT_EQ(0, BoardHc595LastImage() & (kHc595Led0 | kHc595Led1 | kHc595Led2));
    EXPECT_NE(std::string::npos, ShellSince(mark).find("drop_caches")) << ShellSince(mark);
    ASSERT_EQ(1, gDownload.calls);
    EXPECT_EQ(reinterpret_cast<void*>(IPC_APP_upgrade_data), gDownload.data);
    EXPECT_EQ(reinterpret_cast<void*>(IPC_APP_upgrade_finish), gDownload.finish);
    ASSERT_NE(nullptr, gDownload.file);
    // A notice while the download runs is refused, and the running one goes on.
    EXPECT_EQ(-1, IPC_APP_upgrade_inform(&fw));
    EXPECT_EQ(1, gDownload.calls);
    EXPECT_EQ(0, gReboots);
    IPC_APP_upgrade_finish(&fw, -6, gDownload.file);
    EXPECT_EQ(1, gReboots);
    // An image file that cannot be opened: reported and restarted, never left with the media down.
    std::filesystem::remove(mSb.Path(kUpgradeImagePath));
    std::filesystem::create_directory(mSb.Path(kUpgradeImagePath));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, IPC_APP_upgrade_inform(&fw));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Err:cannot open /dev/VN204QH_APP.bin")) << out;
    EXPECT_NE(std::string::npos, out.find("send gw upgrade status to app [4]")) << out;
    EXPECT_EQ(1, gDownload.calls);
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

TEST_F(SystemCallbacks, AnUnsyncedCoreLeavesTheClockAndTheHourlyRowNeverAsksTheCloud)
{
    static int asked = 0;
    gNoxaIpcOps.service_time_sync = [] {
        ++asked;
        return -1;
    };
    uni_time_init();
    const time_t before = BoardTime(nullptr);
    EXPECT_EQ(-1, SyncUtcTimeFromCore());
    EXPECT_FALSE(mSb.Exists("/.board/clock_offset"));
    // The hourly row: it returns at once and its sync only reads the core's clock.
    gAppState.UptimeMinutes = 59;
    gDeviceState.MinuteTimer = 1;
    auto start = std::chrono::steady_clock::now();
    TimeTaskTick();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    DoorPhoneWorker().WaitIdle();
    EXPECT_EQ(0, asked);
    EXPECT_NEAR(static_cast<double>(before), static_cast<double>(BoardTime(nullptr)), 2.0);
    // The sync after the unit came online asks the cloud itself, once.
    EXPECT_EQ(-1, IPC_APP_Sync_Utc_Time());
    EXPECT_EQ(1, asked);
}

TEST_F(SystemCallbacks, OneHourlySyncAtATime)
{
    ASSERT_NO_FATAL_FAILURE(CoreClock("+01:00", false));
    // The worker is busy meanwhile: two rows leave one sync queued.
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
    size_t syncs = 0;
    for (size_t at = out.find("Get Server Time Success"); at != std::string::npos;
         at = out.find("Get Server Time Success", at + 1)) {
        ++syncs;
    }
    EXPECT_EQ(2u, syncs) << out;
    EXPECT_EQ(3600, GetLocalTimeOffset());
}

}  // namespace
